#include "flvio/ts/tsreader.h"

#include <algorithm>
#include <cstring>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "flvio/ts/tswriter.h"

namespace {

constexpr int kPidCount = 8192;
constexpr int kNullPid = 0x1FFF;
constexpr int kPatPid = 0;
constexpr int kSdtPid = 0x11;
constexpr int kHeaderProbe = 8192;
constexpr int kGuessMinBytes = 1021;
constexpr int kResyncLimit = 65536;
constexpr int kSectionMax = 4096;
constexpr int kSectionLengthMax = 4093;
constexpr std::size_t kUnboundedPes = 2097152;
constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kPesHeaderMax = 6 + 3 + 255;

enum PesState { PES_HEADER, PES_PES_HEADER, PES_HEADER_FILL, PES_PAYLOAD, PES_SKIP };

struct StreamTypeRow {
    int type;
    int kind;
    int codec;
};

constexpr int V = CTSReader::CODEC_KIND_VIDEO;
constexpr int A = CTSReader::CODEC_KIND_AUDIO;
constexpr int O = CTSReader::CODEC_KIND_OTHER;

constexpr StreamTypeRow kIsoTypes[] = {
    {0x01, V, CODEC_ID_MPEG1VIDEO}, {0x02, V, CODEC_ID_MPEG2VIDEO}, {0x03, A, CODEC_ID_MP3},
    {0x04, A, CODEC_ID_MP3},        {0x0F, A, CODEC_ID_AAC},        {0x10, V, CODEC_ID_MPEG4},
    {0x11, A, CODEC_ID_AAC_LATM},   {0x1B, V, CODEC_ID_H264},       {0xD1, V, CODEC_ID_DIRAC},
    {0xEA, V, CODEC_ID_VC1},
};
constexpr StreamTypeRow kHdmvTypes[] = {
    {0x80, A, CODEC_ID_PCM_BLURAY}, {0x81, A, CODEC_ID_AC3}, {0x82, A, CODEC_ID_DTS},
    {0x83, A, CODEC_ID_TRUEHD},     {0x84, A, CODEC_ID_EAC3}, {0x85, A, CODEC_ID_DTS},
    {0x86, A, CODEC_ID_DTS},        {0xA1, A, CODEC_ID_EAC3}, {0xA2, A, CODEC_ID_DTS},
    {0x90, O, CODEC_ID_HDMV_PGS_SUBTITLE},
};
constexpr StreamTypeRow kMiscTypes[] = {
    {0x81, A, CODEC_ID_AC3},
    {0x8A, A, CODEC_ID_DTS},
};

template <std::size_t N>
const StreamTypeRow* FindType(const StreamTypeRow (&table)[N], int type) {
    for (const StreamTypeRow& row : table) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

constexpr std::uint32_t FourCC(char a, char b, char c, char d) {
    return (std::uint32_t(std::uint8_t(a)) << 24) | (std::uint32_t(std::uint8_t(b)) << 16) |
           (std::uint32_t(std::uint8_t(c)) << 8) | std::uint32_t(std::uint8_t(d));
}

std::int64_t ReadTimestamp(const unsigned char* p) {
    return (static_cast<std::int64_t>((p[0] >> 1) & 0x07) << 30) | (static_cast<std::int64_t>(p[1]) << 22) |
           (static_cast<std::int64_t>(p[2] >> 1) << 15) | (static_cast<std::int64_t>(p[3]) << 7) |
           static_cast<std::int64_t>(p[4] >> 1);
}

// Position of the next 00 00 01 at or after `from`, or `n`.
std::size_t FindStartCode(const unsigned char* buf, std::size_t from, std::size_t n) {
    std::size_t i = from + 2;
    while (i < n) {
        const void* hit = std::memchr(buf + i, 0x01, n - i);
        if (!hit) return n;
        i = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - buf);
        if (buf[i - 1] == 0 && buf[i - 2] == 0) return i - 2;
        ++i;
    }
    return n;
}

}  // namespace

struct CTSReader::SectionFilter {
    std::array<unsigned char, kSectionMax> buf{};
    int nHeld = 0;
    int nExpected = -1;
    bool bDone = true;
    bool bCheckCrc = true;
    std::string strLast;  // the last section handed on, to skip repeats
};

struct CTSReader::PesContext {
    int nPid = 0;
    int nProgram = -1;
    int nStreamType = 0;
    int nKind = CODEC_KIND_OTHER;
    int nCodec = CODEC_ID_NONE;
    int nState = PES_SKIP;
    int nHeld = 0;  // header bytes held
    int nPesLength = 0;
    int nHeaderLength = 0;
    std::int64_t nPts = -1;
    std::int64_t nDts = -1;
    std::size_t nLimit = 0;
    unsigned char header[kPesHeaderMax]{};
    std::vector<unsigned char> payload;
};

struct CTSReader::Filter {
    std::unique_ptr<SectionFilter> section;
    std::unique_ptr<PesContext> pes;
    int nLastCc = -1;
    std::array<unsigned char, 188> lastPacket{};
};

CTSReader::CTSReader() : m_filters(kPidCount) {}

CTSReader::~CTSReader() {
    Close();
    if (m_file) {
        m_file->Close();
        m_file.Reset();
    }
}

int CTSReader::Close() {
    m_programs.clear();
    m_streamOrder.clear();
    for (auto& f : m_filters) f.reset();
    m_bPmtSeen = 0;
    m_bPesBeforePmt = 0;
    m_bRestarted = 0;
    return 0;
}

int CTSReader::Init(const std::string& path, int bMemFile, int bFinished, unsigned long dwFileSize) {
    Close();
    if (m_file) {
        m_file->Close();
        m_file.Reset();
    }
    m_file.Reset(CUCFileFactory::CreateUCFile(bMemFile ? CUCFileFactory::UCFILE_MEMORY
                                                       : CUCFileFactory::UCFILE_MEDIA));
    if (!m_file) return UC_ERR_NO_FILE;
    m_bMemFile = bMemFile;
    m_strPath = bMemFile ? std::string() : path;
    int rv = m_file->Open(path, "rb");
    if (rv != 0) {
        m_file.Reset();
        return rv;
    }
    if (!bMemFile && bFinished && dwFileSize != 0) {
        m_file->Seek(0, 2);
        const long len = m_file->Tell();
        if (len < 0 || static_cast<unsigned long>(len) != dwFileSize) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CTSReader::Init,wrong filesize,strFileName="
                                                      << path << ",dwFileSize=" << dwFileSize
                                                      << ", dwFileLen=" << len << ",bMemFile=" << bMemFile);
            return UC_ERR_BAD_DATA;
        }
        m_file->Seek(0, 0);
    }
    m_nSavedPos = 0;
    m_nCacheStart = 0;
    m_cache.clear();
    m_bCacheEof = false;
    m_nContinuityErrors = 0;
    m_nPackets = 0;
    m_bSyncLost = 0;
    m_bFinished = bMemFile ? 1 : bFinished;
    m_bHeaderRead = 0;
    rv = ReadHeader();
    if (rv != 0) {
        m_bHeaderRead = 0;
        rv = m_bFinished ? UC_ERR_BAD_DATA : 0;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CTSReader::Init,bMemFile=" << bMemFile << ",rv=" << rv
                                                                   << ",dwFileSize=" << dwFileSize);
    return rv;
}

void CTSReader::Finished(const std::string& path, int bNewName, int bFinished) {
    if (bFinished) m_bFinished = 1;
    if (bNewName) m_strPath = path;
    m_cache.clear();
    m_nCacheStart = m_nSavedPos;
    m_bCacheEof = false;
    ReopenAtSavedPos();
}

int CTSReader::ReopenAtSavedPos() {
    if (!m_file) return UC_ERR_NO_FILE;
    if (!m_bMemFile) {
        m_file->Close();
        const int rv = m_file->Open(m_strPath, "rb");
        if (rv != 0) return rv;
    }
    return m_file->Seek(static_cast<long>(m_nSavedPos), 0);
}

bool CTSReader::Fill(std::size_t need) {
    // The cache holds file bytes from m_nCacheStart; keep what lies behind the
    // saved position and read on.
    const std::int64_t keepFrom = m_nSavedPos;
    if (keepFrom > m_nCacheStart) {
        const std::size_t drop = std::min<std::size_t>(m_cache.size(), static_cast<std::size_t>(keepFrom - m_nCacheStart));
        m_cache.erase(m_cache.begin(), m_cache.begin() + static_cast<std::ptrdiff_t>(drop));
        m_nCacheStart += static_cast<std::int64_t>(drop);
    }
    if (!m_file) return false;
    const std::int64_t fileEnd = m_nCacheStart + static_cast<std::int64_t>(m_cache.size());
    if (m_bCacheEof || m_file->Tell() != fileEnd) {
        // A growing file is reopened to see what was appended since.
        if (!m_bFinished && !m_bMemFile) {
            m_file->Close();
            if (m_file->Open(m_strPath, "rb") != 0) return false;
        }
        if (m_file->Seek(static_cast<long>(fileEnd), 0) != 0) return false;
        m_bCacheEof = false;
    }
    const std::size_t want = std::max(need, kReadChunk);
    while (m_cache.size() < need + static_cast<std::size_t>(m_nSavedPos - m_nCacheStart)) {
        const std::size_t old = m_cache.size();
        m_cache.resize(old + want);
        const long got = m_file->Read(m_cache.data() + old, want);
        m_cache.resize(old + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got <= 0) {
            m_bCacheEof = true;
            return false;
        }
    }
    return true;
}

// Bytes available at the saved position (after trying to get `need`).
std::size_t CTSReader::Available(std::size_t need) {
    std::size_t offset = static_cast<std::size_t>(m_nSavedPos - m_nCacheStart);
    if (m_nSavedPos < m_nCacheStart || offset > m_cache.size()) {
        m_cache.clear();
        m_nCacheStart = m_nSavedPos;
        m_bCacheEof = false;
        offset = 0;
    }
    if (m_cache.size() - offset < need) {
        Fill(need);
        offset = static_cast<std::size_t>(m_nSavedPos - m_nCacheStart);
    }
    return m_cache.size() - offset;
}

const unsigned char* CTSReader::At() const {
    return m_cache.data() + static_cast<std::size_t>(m_nSavedPos - m_nCacheStart);
}

int CTSReader::GuessPacketSize(const unsigned char* buf, int len) const {
    if (len < kGuessMinBytes) return 188;
    const int sizes[3] = {188, 192, 204};
    int best[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
        std::vector<int> buckets(static_cast<std::size_t>(sizes[c]), 0);
        for (int i = 0; i + 3 < len; ++i) {
            if (buf[i] == 0x47 && !(buf[i + 1] & 0x80) && (buf[i + 3] & 0x30)) {
                int& b = buckets[static_cast<std::size_t>(i % sizes[c])];
                if (++b > best[c]) best[c] = b;
            }
        }
    }
    if (best[0] > best[1] && best[0] > best[2]) return 188;
    if (best[1] > best[0] && best[1] > best[2]) return 192;
    if (best[2] > best[0] && best[2] > best[1]) return 204;
    return 188;
}

int CTSReader::ReadHeader() {
    const std::size_t have = Available(kHeaderProbe);
    // A finished file shorter than the probe is read as it is (a few
    // packets make a valid stream); a growing one waits for the probe.
    if (have < static_cast<std::size_t>(kHeaderProbe) && (!m_bFinished || have < 188)) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "len=" << have);
        return -1;
    }
    m_nPacketSize = GuessPacketSize(At(), static_cast<int>(std::min<std::size_t>(have, kHeaderProbe)));
    OpenSectionFilter(kSdtPid, true);
    OpenSectionFilter(kPatPid, true);
    m_bAutoGuess = 1;
    m_bHeaderRead = 1;
    return 0;
}

int CTSReader::Resync() {
    // From the saved position, byte by byte, to the next sync byte.
    for (int scanned = 0; scanned < kResyncLimit;) {
        const std::size_t have = Available(1);
        if (have == 0) return m_bFinished ? TS_READ_END : TS_READ_AGAIN;
        const unsigned char* p = At();
        const std::size_t span = std::min<std::size_t>(have, static_cast<std::size_t>(kResyncLimit - scanned));
        const void* hit = std::memchr(p, 0x47, span);
        if (hit) {
            m_nSavedPos += static_cast<const unsigned char*>(hit) - p;
            return 0;
        }
        m_nSavedPos += static_cast<std::int64_t>(span);
        scanned += static_cast<int>(span);
    }
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CTSReader, no sync byte in " << kResyncLimit << " bytes at "
                                                                        << static_cast<long long>(m_nSavedPos));
    return TS_READ_END;
}

int CTSReader::ReadPacket() {
    if (m_bSyncLost) return TS_READ_END;
    const std::size_t size = static_cast<std::size_t>(m_nPacketSize);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::size_t have = Available(size);
        // The last packet of a finished file may lack the bytes that follow
        // the 188 (192-byte packets carry them in front of the next one).
        if (have >= 188 && At()[0] == 0x47 && (have >= size || m_bFinished)) {
            std::memcpy(m_packet.data(), At(), 188);
            m_nSavedPos += static_cast<std::int64_t>(std::min(have, size));
            ++m_nPackets;
            return 0;
        }
        if (have < size) {
            if (!m_bFinished) return TS_READ_AGAIN;
            if (have == 0) return TS_READ_END;
            if (have < 188) {
                // A short last packet: its bytes are counted once, then the end.
                m_nSavedPos += static_cast<std::int64_t>(have);
                return static_cast<int>(have);
            }
        }
        const int rv = Resync();
        if (rv != 0) {
            if (rv == TS_READ_END) m_bSyncLost = 1;
            return rv;
        }
    }
    return TS_READ_AGAIN;
}

void CTSReader::OpenSectionFilter(int pid, bool checkCrc) {
    auto filter = std::make_unique<Filter>();
    filter->section = std::make_unique<SectionFilter>();
    filter->section->bCheckCrc = checkCrc;
    m_filters[static_cast<std::size_t>(pid)] = std::move(filter);
}

CTSReader::PesContext* CTSReader::OpenPesContext(int pid, int program) {
    auto filter = std::make_unique<Filter>();
    filter->pes = std::make_unique<PesContext>();
    filter->pes->nPid = pid;
    filter->pes->nProgram = program;
    PesContext* pes = filter->pes.get();
    m_filters[static_cast<std::size_t>(pid)] = std::move(filter);
    return pes;
}

void CTSReader::HandlePacket(const unsigned char* p) {
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    const bool start = (p[1] & 0x40) != 0;
    const int afc = (p[3] >> 4) & 0x03;
    const int cc = p[3] & 0x0F;
    if (pid == kNullPid) return;
    Filter* filter = m_filters[static_cast<std::size_t>(pid)].get();
    if (!filter) {
        if (!m_bAutoGuess || !start || !(afc & 0x01)) return;
        OpenPesContext(pid, -1);
        filter = m_filters[static_cast<std::size_t>(pid)].get();
    }
    // Only packets with payload advance the counter; a packet sent twice
    // (same counter, same bytes) carries nothing new.
    bool continuityOk = true;
    if (afc & 0x01) {
        if (filter->nLastCc >= 0) {
            if (cc == filter->nLastCc && std::memcmp(filter->lastPacket.data(), p, 188) == 0) return;
            if (cc != ((filter->nLastCc + 1) & 0x0F)) {
                continuityOk = false;
                ++m_nContinuityErrors;
            }
        }
        filter->nLastCc = cc;
        std::memcpy(filter->lastPacket.data(), p, 188);
    }
    int offset = 4;
    if (afc == 0 || afc == 2) return;
    if (afc == 3) {
        offset = 5 + p[4];
        if (offset >= 188) return;
    }
    const unsigned char* data = p + offset;
    const int len = 188 - offset;
    if (filter->section) {
        SectionFilter& sf = *filter->section;
        if (start) {
            const int pointer = data[0];
            if (1 + pointer > len) return;
            if (pointer > 0 && continuityOk) HandleSection(sf, pid, data + 1, pointer, false);
            // The filter may have been replaced by what the section said.
            if (m_filters[static_cast<std::size_t>(pid)].get() != filter) return;
            HandleSection(sf, pid, data + 1 + pointer, len - 1 - pointer, true);
        } else if (continuityOk) {
            HandleSection(sf, pid, data, len, false);
        }
        return;
    }
    if (!m_bPmtSeen) {
        m_bPesBeforePmt = 1;
        return;
    }
    HandlePes(*filter->pes, data, len, start);
}

void CTSReader::HandleSection(SectionFilter& sf, int pid, const unsigned char* data, int len, bool start) {
    for (int guard = 0; guard < 188 && len > 0; ++guard) {
        if (start) {
            if (data[0] == 0xFF) return;  // stuffing behind the last section
            sf.nHeld = 0;
            sf.nExpected = -1;
            sf.bDone = false;
        } else if (sf.bDone) {
            return;
        }
        const int room = kSectionMax - sf.nHeld;
        const int take = std::min(len, room);
        std::memcpy(sf.buf.data() + sf.nHeld, data, static_cast<std::size_t>(take));
        sf.nHeld += take;
        if (sf.nExpected < 0 && sf.nHeld >= 3) {
            const int fieldLen = ((sf.buf[1] & 0x0F) << 8) | sf.buf[2];
            if (fieldLen > kSectionLengthMax) {
                sf.bDone = true;
                return;
            }
            sf.nExpected = fieldLen + 3;
        }
        if (sf.nExpected < 0 || sf.nHeld < sf.nExpected) return;
        sf.bDone = true;
        const int used = take - (sf.nHeld - sf.nExpected);
        const bool crcOk = !sf.bCheckCrc || CTsWriter::Crc32(sf.buf.data(), static_cast<std::size_t>(sf.nExpected)) == 0;
        if (crcOk) {
            const std::string_view section(reinterpret_cast<const char*>(sf.buf.data()),
                                           static_cast<std::size_t>(sf.nExpected));
            if (section != sf.strLast) {
                sf.strLast.assign(section);
                Filter* before = m_filters[static_cast<std::size_t>(pid)].get();
                const std::string copy(section);
                OnSection(pid, reinterpret_cast<const unsigned char*>(copy.data()), sf.nExpected);
                if (m_filters[static_cast<std::size_t>(pid)].get() != before) return;
            }
        }
        // Another section may follow in the same packet.
        data += used;
        len -= used;
        start = true;
    }
}

void CTSReader::OnSection(int pid, const unsigned char* s, int len) {
    if (pid == kPatPid) {
        OnPAT(s, len);
    } else if (pid == kSdtPid) {
        // Service descriptors are read past; nothing is kept.
    } else {
        OnPMT(s, len);
    }
}

void CTSReader::OnPAT(const unsigned char* s, int len) {
    if (len < 12 || s[0] != 0x00) return;
    m_programs.clear();
    for (int i = 8; i + 4 <= len - 4; i += 4) {
        const int number = (s[i] << 8) | s[i + 1];
        const int pmtPid = ((s[i + 2] & 0x1F) << 8) | s[i + 3];
        if (number == 0) continue;
        if (pmtPid == kPatPid || pmtPid == kNullPid) continue;
        OpenSectionFilter(pmtPid, true);
        m_programs.push_back(Program{number, pmtPid, {}});
    }
}

void CTSReader::OnPMT(const unsigned char* s, int len) {
    if (len < 16 || s[0] != 0x02) return;
    const int number = (s[3] << 8) | s[4];
    Program* program = nullptr;
    for (Program& p : m_programs) {
        if (p.nNumber == number) program = &p;
    }
    const int end = len - 4;
    const int infoLen = ((s[10] & 0x0F) << 8) | s[11];
    int pos = 12;
    if (pos + infoLen > end) return;
    std::uint32_t registration = 0;
    for (int d = pos; d + 2 <= pos + infoLen;) {
        const int tag = s[d];
        const int dlen = s[d + 1];
        if (d + 2 + dlen > pos + infoLen) break;
        if (tag == 5 && dlen >= 4) {
            registration = FourCC(static_cast<char>(s[d + 2]), static_cast<char>(s[d + 3]),
                                  static_cast<char>(s[d + 4]), static_cast<char>(s[d + 5]));
        }
        d += 2 + dlen;
    }
    pos += infoLen;
    while (pos + 5 <= end) {
        const int type = s[pos];
        const int pid = ((s[pos + 1] & 0x1F) << 8) | s[pos + 2];
        const int esInfo = ((s[pos + 3] & 0x0F) << 8) | s[pos + 4];
        pos += 5;
        if (pos + esInfo > end) break;
        pos += esInfo;
        // A stream may not take over the table PIDs.
        if (pid == kPatPid || pid == kSdtPid || pid == kNullPid) continue;
        bool isPmtPid = false;
        for (const Program& p : m_programs) isPmtPid = isPmtPid || p.nPmtPid == pid;
        if (isPmtPid) continue;
        Filter* filter = m_filters[static_cast<std::size_t>(pid)].get();
        PesContext* pes = filter && filter->pes ? filter->pes.get() : OpenPesContext(pid, number);
        pes->nProgram = number;
        if (pes->nStreamType == 0) {
            const StreamTypeRow* row = FindType(kIsoTypes, type);
            if (!row && registration == FourCC('H', 'D', 'M', 'V')) row = FindType(kHdmvTypes, type);
            if (!row) row = FindType(kMiscTypes, type);
            pes->nStreamType = type;
            if (row) {
                pes->nKind = row->kind;
                pes->nCodec = row->codec;
            }
        }
        if (std::find(m_streamOrder.begin(), m_streamOrder.end(), pid) == m_streamOrder.end()) {
            m_streamOrder.push_back(pid);
            if (program) program->pids.push_back(pid);
        }
    }
    m_bPmtSeen = 1;
}

std::vector<CTSReader::StreamInfo> CTSReader::GetStreams() const {
    std::vector<StreamInfo> out;
    for (int pid : m_streamOrder) {
        const Filter* f = m_filters[static_cast<std::size_t>(pid)].get();
        if (!f || !f->pes) continue;
        out.push_back(StreamInfo{pid, f->pes->nStreamType, f->pes->nKind, f->pes->nCodec});
    }
    return out;
}

std::vector<int> CTSReader::GetPmtPids() const {
    std::vector<int> out;
    for (const Program& p : m_programs) out.push_back(p.nPmtPid);
    return out;
}

void CTSReader::HandlePes(PesContext& pes, const unsigned char* data, int len, bool start) {
    if (start) {
        if (pes.nState == PES_PAYLOAD && !pes.payload.empty()) {
            CompletePes(pes);
            m_bPesDone = 1;
        }
        pes.nState = PES_HEADER;
        pes.nHeld = 0;
    }
    while (len > 0) {
        switch (pes.nState) {
            case PES_HEADER: {
                const int take = std::min(len, 6 - pes.nHeld);
                std::memcpy(pes.header + pes.nHeld, data, static_cast<std::size_t>(take));
                pes.nHeld += take;
                data += take;
                len -= take;
                if (pes.nHeld < 6) break;
                const unsigned char id = pes.header[3];
                if (pes.header[0] != 0 || pes.header[1] != 0 || pes.header[2] != 1 || id == 0xBE) {
                    pes.nState = PES_SKIP;
                    break;
                }
                pes.nPesLength = (pes.header[4] << 8) | pes.header[5];
                pes.nLimit = pes.nPesLength ? static_cast<std::size_t>(pes.nPesLength) + 8 : kUnboundedPes;
                pes.payload.clear();
                pes.nPts = pes.nDts = -1;
                if (id == 0xBC || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 || id == 0xF8 ||
                    id == 0xFF) {
                    pes.nHeaderLength = 6;
                    pes.nState = PES_PAYLOAD;
                } else {
                    pes.nState = PES_PES_HEADER;
                }
                break;
            }
            case PES_PES_HEADER: {
                const int take = std::min(len, 9 - pes.nHeld);
                std::memcpy(pes.header + pes.nHeld, data, static_cast<std::size_t>(take));
                pes.nHeld += take;
                data += take;
                len -= take;
                if (pes.nHeld < 9) break;
                pes.nHeaderLength = 9 + pes.header[8];
                pes.nState = PES_HEADER_FILL;
                break;
            }
            case PES_HEADER_FILL: {
                const int take = std::min(len, pes.nHeaderLength - pes.nHeld);
                std::memcpy(pes.header + pes.nHeld, data, static_cast<std::size_t>(take));
                pes.nHeld += take;
                data += take;
                len -= take;
                if (pes.nHeld < pes.nHeaderLength) break;
                const int flags = pes.header[7] & 0xC0;
                if (flags == 0x80 && pes.nHeaderLength >= 14) {
                    pes.nPts = pes.nDts = ReadTimestamp(pes.header + 9);
                } else if (flags == 0xC0 && pes.nHeaderLength >= 19) {
                    pes.nPts = ReadTimestamp(pes.header + 9);
                    pes.nDts = ReadTimestamp(pes.header + 14);
                }
                pes.nState = PES_PAYLOAD;
                break;
            }
            case PES_PAYLOAD: {
                std::size_t take = static_cast<std::size_t>(len);
                if (pes.nPesLength) {
                    const std::size_t total = static_cast<std::size_t>(pes.nPesLength) + 6;
                    const std::size_t held = static_cast<std::size_t>(pes.nHeaderLength) + pes.payload.size();
                    take = held >= total ? 0 : std::min(take, total - held);
                }
                if (pes.payload.size() + take > pes.nLimit) {
                    // Longer than its buffer: what is held goes out as one PES.
                    CompletePes(pes);
                    m_bPesDone = 1;
                    pes.nLimit = kUnboundedPes;
                }
                pes.payload.insert(pes.payload.end(), data, data + take);
                data += take;
                len -= static_cast<int>(take);
                if (pes.nPesLength &&
                    static_cast<std::size_t>(pes.nHeaderLength) + pes.payload.size() >=
                        static_cast<std::size_t>(pes.nPesLength) + 6) {
                    CompletePes(pes);
                    m_bPesDone = 1;
                    pes.nState = PES_SKIP;
                }
                if (take == 0) len = 0;
                break;
            }
            default:
                return;
        }
    }
}

void CTSReader::CompletePes(PesContext& pes) {
    if (!pes.payload.empty() && m_pOut) {
        if (pes.nKind == CODEC_KIND_VIDEO && pes.nCodec == CODEC_ID_H264) {
            OutputVideo(pes);
        } else if (pes.nKind == CODEC_KIND_AUDIO &&
                   (pes.nCodec == CODEC_ID_AAC || pes.nCodec == CODEC_ID_MP3)) {
            auto* data = new CDataPackage(pes.payload.size(), pes.payload.data(), CDataPackage::FLAG_NONE,
                                          pes.payload.size());
            const int type = pes.nCodec == CODEC_ID_AAC ? CTsTag::TS_TAG_AAC : CTsTag::TS_TAG_MP3;
            CTsTag* tag = new CTsTag(type, pes.nPts, pes.nDts, data);
            tag->AddReference();
            m_pOut->emplace_back(tag);
        }
    }
    pes.nPts = pes.nDts = -1;
    pes.payload.clear();
}

void CTSReader::OutputVideo(PesContext& pes) {
    const unsigned char* buf = pes.payload.data();
    std::size_t n = pes.payload.size();
    std::size_t pos = 0;
    if (n >= 6 && buf[0] == 0 && buf[1] == 0 && buf[2] == 0 && buf[3] == 1 && buf[4] == 0x09) pos = 6;
    std::size_t sc = FindStartCode(buf, pos, n);
    if (sc >= n) return;
    pos = sc + 3;
    // Units of one type in a row form one tag, kept apart by start codes.
    struct Run {
        int type;
        std::size_t bytes;
        std::size_t firstUnit;
    };
    std::vector<Run> runs;
    std::vector<std::pair<std::size_t, std::size_t>>& units = m_units;
    units.clear();
    while (pos < n) {
        const std::size_t next = FindStartCode(buf, pos, n);
        std::size_t end = next;
        while (end > pos && next < n && buf[end - 1] == 0) --end;  // zeros before the next start code
        if (end <= pos) {
            if (next >= n) {
                UC_ASSERT_TEXT("buf && size");
            }
        } else {
            const int type = buf[pos] & 0x1F;
            if (!runs.empty() && runs.back().type == type) {
                runs.back().bytes += 4 + (end - pos);
            } else {
                runs.push_back(Run{type, end - pos, units.size()});
            }
            units.emplace_back(pos, end);
        }
        if (next >= n) break;
        pos = next + 3;
    }
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::size_t lastUnit = r + 1 < runs.size() ? runs[r + 1].firstUnit : units.size();
        auto* data = new CDataPackage(runs[r].bytes);
        for (std::size_t u = runs[r].firstUnit; u < lastUnit; ++u) {
            if (u > runs[r].firstUnit) data->Write("\x00\x00\x00\x01", 4);
            data->Write(buf + units[u].first, units[u].second - units[u].first);
        }
        CTsTag* tag = new CTsTag(runs[r].type, pes.nPts, pes.nDts, data);
        tag->AddReference();
        m_pOut->emplace_back(tag);
    }
}

void CTSReader::ClearTagsAndRestart() {
    if (m_pOut) m_pOut->clear();
    m_nSavedPos = 0;
    for (auto& f : m_filters) {
        if (!f) continue;
        f->nLastCc = -1;
        if (f->pes) {
            f->pes->nState = PES_SKIP;
            f->pes->payload.clear();
            f->pes->nPts = f->pes->nDts = -1;
        }
    }
    m_bPesBeforePmt = 0;
    m_bRestarted = 1;
}

int CTSReader::mpegts_read_packet(CTsTagList& tags) {
    m_pOut = &tags;
    if (!m_bHeaderRead) {
        if (ReadHeader() != 0) return m_bFinished ? TS_READ_END : TS_READ_AGAIN;
    }
    m_bPesDone = 0;
    int rv = 0;
    while (!m_bPmtSeen) {
        rv = ReadPacket();
        if (rv != 0) break;
        HandlePacket(m_packet.data());
    }
    if (rv == 0 && m_bPesBeforePmt && !m_bRestarted) ClearTagsAndRestart();
    while (rv == 0) {
        rv = ReadPacket();
        if (rv != 0) break;
        HandlePacket(m_packet.data());
        if (m_bPesDone) return TS_READ_OK;
    }
    if (rv != TS_READ_AGAIN) {
        // The end: a PES still held (no length, or cut short) goes out.
        for (auto& f : m_filters) {
            if (f && f->pes && f->pes->nState == PES_PAYLOAD && !f->pes->payload.empty()) {
                CompletePes(*f->pes);
                f->pes->nState = PES_SKIP;
                return TS_READ_OK;
            }
        }
    }
    return rv;
}
