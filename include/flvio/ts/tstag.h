// CTsTag: what CTSReader hands out: one H.264 NAL unit run or one audio PES
// with its 90 kHz time stamps; CTsTagPtr holds one reference of a tag.
// Tags are reference counted (not thread-safe): one thread uses them.
#pragma once

#include <cstdint>
#include <list>

#include "basekit/referencecontrol.h"

class CDataPackage;

// One NAL unit run or one audio PES.
class CTsTag : public CReferenceControlT<CSingleThreadMutexWrapper> {
public:
    enum { TS_TAG_MP3 = 32, TS_TAG_AAC = 33 };

    // Takes ownership of `payload` (a heap package, released with the tag).
    CTsTag(int type, std::int64_t timeStamp, std::int64_t dts, CDataPackage* payload);
    ~CTsTag() override;

    // The NAL unit type (low 5 bits of the NAL header) for video, 32 MP3, 33 AAC.
    int GetType() const { return m_nType; }
    // The PES's presentation time (90 kHz), -1 when it had none.
    std::int64_t GetTimeStamp() const { return m_nTimeStamp; }
    // The PES's decoding time (the PTS when the PES gave only that), -1 without one.
    std::int64_t GetDts() const { return m_nDts; }
    CDataPackage* GetData() const { return m_pData; }

private:
    int m_nType;
    std::int64_t m_nTimeStamp;
    std::int64_t m_nDts;
    CDataPackage* m_pData;
};

// Holds one reference of a CTsTag.
class CTsTagPtr {
public:
    CTsTagPtr() = default;
    // Adopts the reference the caller holds.
    explicit CTsTagPtr(CTsTag* tag) : m_p(tag) {}
    CTsTagPtr(const CTsTagPtr& o) : m_p(o.m_p) {
        if (m_p) m_p->AddReference();
    }
    CTsTagPtr& operator=(const CTsTagPtr& o) {
        if (o.m_p) o.m_p->AddReference();
        Reset(o.m_p);
        return *this;
    }
    CTsTagPtr(CTsTagPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    CTsTagPtr& operator=(CTsTagPtr&& o) noexcept {
        if (this != &o) {
            Reset(o.m_p);
            o.m_p = nullptr;
        }
        return *this;
    }
    ~CTsTagPtr() { Reset(); }
    void Reset(CTsTag* p = nullptr) {
        if (m_p) m_p->ReleaseReference();
        m_p = p;
    }
    CTsTag* Get() const { return m_p; }
    CTsTag* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    CTsTag* m_p = nullptr;
};

using CTsTagList = std::list<CTsTagPtr>;
