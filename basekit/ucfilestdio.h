// CUCFileStdio: a file on disk behind a stdio stream with a buffer of a given
// size, opened with O_CLOEXEC and 64-bit offsets. Reads clear the stream's
// end-of-file state first, so that data another process appended since the
// last read is seen.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "ucfileobject.h"

class CUCFileStdio : public CUCFileObject {
public:
    int Open(const std::string& path, const char* mode) override;
    int Close() override;
    int Seek(long offset, int origin) override;
    int Flush() override;
    long WriteString(const char* text) override;
    long Write(const void* data, unsigned long n) override;
    long Read(void* data, unsigned long n) override;
    long Tell() override;
    int IsEof() override;

    // Parses "rb", "wb", "ab", "r+b", "w+b", "a+b" (the 'b' optional, also
    // after the '+') into open(2) flags; false for anything else.
    static bool ParseMode(const char* mode, int& flags);

protected:
    explicit CUCFileStdio(std::size_t bufferSize);
    ~CUCFileStdio() override;
    // Called after a successful open with the descriptor and the open flags.
    virtual void OnOpened(int fd, int flags);

private:
    enum class Direction { None, Read, Write };
    // stdio needs a positioning call between reading and writing on one stream.
    void SwitchDirection(Direction next);
    int WriteFailed(int error);

    const std::size_t m_nBufferSize;
    std::unique_ptr<char[]> m_pBuffer;  // the stream's buffer, outlives m_pFile
    std::FILE* m_pFile = nullptr;
    Direction m_direction = Direction::None;
    // The first write failure since Open; Close reports it even when stdio
    // dropped the data that could not be written.
    int m_nWriteError = 0;
};
