// CUCFileMemory: a read-only file over a copy of the bytes given to Open
// (which may contain NUL bytes).
#pragma once

#include <cstdint>
#include <string>

#include "ucfileobject.h"

class CUCFileMemory final : public CUCFileObject {
public:
    CUCFileMemory() = default;

    int Open(const std::string& data, const char* mode) override;
    int Close() override;
    int Seek(long offset, int origin) override;
    int Flush() override;
    long WriteString(const char* text) override;
    long Write(const void* data, unsigned long n) override;
    long Read(void* data, unsigned long n) override;
    long Tell() override;
    int IsEof() override;

private:
    ~CUCFileMemory() override = default;

    std::string m_strData;
    std::int64_t m_nPos = 0;  // may lie behind the end after a seek
    bool m_bOpen = false;
    bool m_bEof = false;
};
