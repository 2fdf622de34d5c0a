// CFlvDumper: `flvtool dump`: one line per tag (offset, type, body size, time
// stamp, stream id, details), either of a complete file or, in follow mode,
// of a file that another party is still writing: then it reads in the
// reader's growing-file mode and polls for new tags until SIGINT or SIGTERM.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CFlvioHeader;
class CFlvioTag;

class CFlvDumper {
public:
    enum { DUMP_OK = 0, DUMP_DAMAGED = 1, DUMP_FAILED = 2 };

    explicit CFlvDumper(std::FILE* out) : m_pOut(out) {}

    int Dump(const std::string& path);
    // Blocks SIGINT and SIGTERM in the calling thread while it runs and takes
    // them as the signal to stop (DUMP_OK). `pollMs` is the wait between two
    // looks at the file.
    int Follow(const std::string& path, unsigned pollMs = 100);

    // The reason of DUMP_DAMAGED or DUMP_FAILED.
    const std::string& GetError() const { return m_strError; }

    // The line of one tag, without the line end.
    static std::string FormatTag(const CFlvioTag& tag, std::uint64_t offset);

private:
    void PrintHeader(const CFlvioHeader& header);
    int Damaged(std::uint64_t offset, const std::string& what);

    std::FILE* m_pOut;
    std::string m_strError;
};
