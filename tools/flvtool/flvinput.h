// CFlvInput: the input side of the flvtool commands that copy an FLV file
// (remux, to-ts, hls): opens it with a finished CFlvReader, checks the
// header, hands out tags one by one and, when the reading stops early, says
// where and why (CFlvDamageProbe). It also shows the reading's progress on
// stderr when asked. One thread uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flvio/flviotag.h"

class CFlvReader;

class CFlvInput {
public:
    enum { OPEN_OK = 0, OPEN_FAILED = 1, OPEN_DAMAGED = 2 };

    struct TagRelease {
        void operator()(CFlvioTag* tag) const;
    };
    using TagPtr = std::unique_ptr<CFlvioTag, TagRelease>;

    CFlvInput();
    ~CFlvInput();
    CFlvInput(const CFlvInput&) = delete;
    CFlvInput& operator=(const CFlvInput&) = delete;

    // OPEN_FAILED (cannot read the file) or OPEN_DAMAGED (a bad header),
    // with GetError() saying what.
    int Open(const std::string& path, CFlvioHeader& header);
    // The next tag, or null at the end or on damage (then IsDamaged()).
    TagPtr NextTag();
    bool IsDamaged() const { return m_bDamaged; }
    const std::string& GetError() const { return m_strError; }

    // "\rflvtool: <what> NN%" on stderr when the percentage changes;
    // EndProgress ends the line.
    void ShowProgress(const char* what);
    void EndProgress();
    void SetShowProgress(bool show) { m_bShowProgress = show; }

    // True when both paths name one existing file.
    static bool SameFile(const std::string& a, const std::string& b);
    // The file's size now, 0 when it cannot be read.
    static std::uint64_t FileSize(const std::string& path);

private:
    std::unique_ptr<CFlvReader> m_pReader;
    std::string m_strPath;
    std::string m_strError;
    bool m_bDamaged = false;
    bool m_bShowProgress = false;
    std::uint64_t m_nSize = 0;
    std::uint64_t m_nOffset = 0;  // of the next tag
    unsigned m_nLastPercent = 101;
};
