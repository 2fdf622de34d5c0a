// IUCFile: the reference-counted file object of the base library, and
// CUCFileFactory, which hands them out.
#pragma once

#include <string>

class IUCFile {
public:
    virtual int AddReference() = 0;      // the new count
    virtual int ReleaseReference() = 0;  // the new count; deletes the file at 0

    // Modes "wb", "rb", "r+b" (also "ab", "w+b"). For the in-memory type the
    // argument holds the data bytes instead of a path. 0 on success, otherwise
    // the errno of the failure (or EINVAL for a bad mode).
    virtual int Open(const std::string& path, const char* mode) = 0;
    virtual int Close() = 0;
    // origin 0 from the start, 1 from the current position, 2 from the end;
    // 0 on success, an errno otherwise.
    virtual int Seek(long offset, int origin) = 0;
    virtual int Flush() = 0;
    virtual long WriteString(const char* text) = 0;
    // Bytes written; fewer than n (or -1) on failure, see GetLastError().
    virtual long Write(const void* data, unsigned long n) = 0;
    // Bytes read; 0 at the end of the data.
    virtual long Read(void* data, unsigned long n) = 0;
    virtual long Tell() = 0;  // the position, -1 without an open file
    // Non-zero once a read has hit the end of the data, or without an open file.
    virtual int IsEof() = 0;
    // errno of the last failed operation, 0 when none failed.
    virtual int GetLastError() const = 0;

protected:
    virtual ~IUCFile() = default;
};

class CUCFileFactory {
public:
    enum {
        UCFILE_ORDINARY = 0,  // a file that another party may still be writing
        UCFILE_MEDIA = 1,     // a complete media file, read or written in large blocks
        UCFILE_MEMORY = 2,    // a read-only file in memory; Open takes the bytes
    };
    // A new file object holding one reference, or null for an unknown type.
    static IUCFile* CreateUCFile(int type);
};

// Holds one reference of an IUCFile (or of any object with the same two
// reference operations) and releases it when it goes.
template <class T>
class CUCAutoPtr {
public:
    CUCAutoPtr() = default;
    // Adopts the reference the caller holds.
    explicit CUCAutoPtr(T* p) : m_p(p) {}
    ~CUCAutoPtr() { Reset(); }
    CUCAutoPtr(const CUCAutoPtr&) = delete;
    CUCAutoPtr& operator=(const CUCAutoPtr&) = delete;
    CUCAutoPtr(CUCAutoPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    CUCAutoPtr& operator=(CUCAutoPtr&& o) noexcept {
        if (this != &o) {
            Reset();
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }
    void Reset(T* p = nullptr) {
        if (m_p) m_p->ReleaseReference();
        m_p = p;
    }
    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};
