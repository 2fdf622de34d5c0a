#include "flvdumper.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "basekit/resultcodes.h"
#include "flvdamageprobe.h"
#include "flvinput.h"
#include "flvio/flviotag.h"
#include "flvio/flvreader.h"
#include "flvtaginfo.h"
#include "stopsignals.h"

namespace {

constexpr std::uint64_t kFirstTagOffset = 13;
constexpr std::uint64_t kSmallestTag = 15;

}  // namespace

std::string CFlvDumper::FormatTag(const CFlvioTag& tag, std::uint64_t offset) {
    const CFlvTagInfo info(tag);
    char head[96];
    std::snprintf(head, sizeof head, "%11" PRIu64 " %-6s %8u %10u %6u ", offset,
                  CFlvTagInfo::TagTypeName(tag.GetTagType()).c_str(), tag.GetDataSize(),
                  tag.GetTimeStampAll(), tag.GetStreamID());
    return head + info.Describe();
}

void CFlvDumper::PrintHeader(const CFlvioHeader& header) {
    std::fprintf(m_pOut, "# FLV version %u, flags 0x%02X (audio %s, video %s), data offset %u\n",
                 header.GetVersion(), header.GetFlags(), (header.GetFlags() & 0x04) ? "yes" : "no",
                 (header.GetFlags() & 0x01) ? "yes" : "no", header.GetDataOffset());
    std::fprintf(m_pOut, "#     offset type       size  timestamp stream details\n");
}

int CFlvDumper::Damaged(std::uint64_t offset, const std::string& what) {
    m_strError = "damaged file at offset " + std::to_string(offset) + ": " + what;
    return DUMP_DAMAGED;
}

int CFlvDumper::Dump(const std::string& path) {
    std::uint64_t size = 0;
    m_strError = CFlvDamageProbe::CheckInput(path, size);
    if (!m_strError.empty()) return DUMP_FAILED;
    CFlvReader reader;
    int rv = reader.Init(path, 1, 0, 1);
    if (rv != 0) {
        m_strError = "cannot open " + path + ": " + std::strerror(rv);
        return DUMP_FAILED;
    }
    CFlvDamageProbe probe(path, size);
    CFlvioHeader header;
    rv = reader.ReadHeader(header);
    std::string damage = probe.CheckHeader();
    if (!damage.empty()) return Damaged(0, damage);
    if (rv != 0) return Damaged(0, "the header cannot be read (result " + std::to_string(rv) + ")");
    PrintHeader(header);

    std::uint64_t offset = kFirstTagOffset;
    for (;;) {
        CFlvioTag* tag = nullptr;
        rv = reader.GetNextTag(tag);
        if (rv == UC_ERR_NO_ROOM) return DUMP_OK;
        if (rv != 0 || !tag) return Damaged(offset, probe.CheckTag(offset, rv ? rv : UC_ERR_NO_ROOM));
        std::fprintf(m_pOut, "%s\n", FormatTag(*tag, offset).c_str());
        offset += tag->GetEncodeLen();
        tag->ReleaseReference();
    }
}

int CFlvDumper::Follow(const std::string& path, unsigned pollMs) {
    std::uint64_t size = 0;
    m_strError = CFlvDamageProbe::CheckInput(path, size);
    if (!m_strError.empty()) return DUMP_FAILED;
    CStopSignals stop;
    CFlvReader reader;
    int rv = reader.Init(path, 1, 0, 0);
    if (rv != 0) {
        m_strError = "cannot open " + path + ": " + std::strerror(rv);
        return DUMP_FAILED;
    }
    // The reader takes a growing file only once it holds 16 KiB.
    CFlvioHeader header;
    while (reader.ReadHeader(header) != 0) {
        if (stop.WaitForStop(pollMs)) return DUMP_OK;
    }
    std::string damage = CFlvDamageProbe(path, CFlvInput::FileSize(path)).CheckHeader();
    if (!damage.empty()) return Damaged(0, damage);
    PrintHeader(header);
    std::fflush(m_pOut);

    std::uint64_t offset = kFirstTagOffset;
    std::uint64_t triedSize = 0;  // file size at the last read that found no whole tag
    for (;;) {
        size = CFlvInput::FileSize(path);
        // Ask the reader only when a whole tag may be there that was not before:
        // each fruitless read costs a reopen and a log line.
        if (size >= offset + kSmallestTag && size != triedSize) {
            CFlvioTag* tag = nullptr;
            rv = reader.GetNextTag(tag);
            if (rv != 0) return Damaged(offset, CFlvDamageProbe(path, size).CheckTag(offset, rv));
            if (tag) {
                std::fprintf(m_pOut, "%s\n", FormatTag(*tag, offset).c_str());
                std::fflush(m_pOut);
                offset += tag->GetEncodeLen();
                tag->ReleaseReference();
                continue;
            }
            triedSize = size;
            // A growing file's undecodable tag header reads as "nothing yet".
            damage = CFlvDamageProbe(path, size).CheckGrowingTagHeader(offset, size);
            if (!damage.empty()) return Damaged(offset, damage);
        }
        if (stop.WaitForStop(pollMs)) return DUMP_OK;
    }
}
