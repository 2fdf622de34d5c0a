#include "flvio/ts/tswriter.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"

std::uint32_t CTsWriter::m_crc32_table[256];
bool CTsWriter::m_bInitCrcTable = false;

namespace {

constexpr int kPacket = CTsWriter::TS_PACKET_SIZE;
constexpr int kTsHeader = 4;
constexpr int kPcrField = 8;   // adaptation field length, flags, 6 PCR bytes
constexpr int kPesHeader = 14; // start code, id, length, flags, header length, PTS
constexpr std::int64_t kTimestampDelay = 90000;
constexpr std::int64_t kFirstKeyWindow = 45000;
constexpr std::int64_t kPcrLead = 45000;
constexpr std::int64_t kSmoothingWindow = 90000;
constexpr int kSdtRepeat = 199;
constexpr int kPatPmtRepeat = 40;
constexpr int kPcrRepeat = 2;
constexpr std::int64_t kMask33 = (std::int64_t{1} << 33) - 1;
constexpr unsigned char kAccessUnitDelimiter[6] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};

std::once_flag g_crcOnce;

}  // namespace

void CTsWriter::InitCRCTable() {
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
        m_crc32_table[i] = c;
    }
    m_bInitCrcTable = true;
}

std::uint32_t CTsWriter::Crc32(const unsigned char* data, std::size_t len) {
    std::call_once(g_crcOnce, InitCRCTable);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < len; ++i) crc = (crc << 8) ^ m_crc32_table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

CTsWriter::CTsWriter()
    : m_szTsStreamBuf(new unsigned char[MAX_TSSTREAM_LEN]),
      m_szAudioBuf(new unsigned char[AUDIO_GATHER_SIZE]) {
    m_pBufPoint = m_szTsStreamBuf.get();
    std::call_once(g_crcOnce, InitCRCTable);
}

CTsWriter::~CTsWriter() { Stop(); }

int CTsWriter::Init(const std::string& path, int bHaveVideo, int mp3, unsigned long audioUnitBytes,
                    int audioUnitTicks, int plainTimestamps) {
    if (m_file) {
        UC_ASSERT_TEXT("m_file.Get() == NULL");
        return UC_ERR_NO_ROOM;
    }
    m_file.Reset(CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_MEDIA));
    if (!m_file) {
        UC_ASSERT_TEXT("m_file.Get()");
        return UC_ERR_NO_FILE;
    }
    const int rv = m_file->Open(path, "wb");
    if (rv != 0) m_file.Reset();
    m_bHaveVideo = bHaveVideo;
    m_wPCRPid = bHaveVideo ? TS_VIDEO_PID : TS_AUDIO_PID;
    m_nSDTPackets = 200;
    m_nPATPMTPackets = 200;
    SetAudioCodec(mp3);
    m_dwAudioUnitBytes = audioUnitBytes;
    m_nAudioUnitTicks = audioUnitTicks;
    m_nPCRPackets = 2;
    m_nFirstTimeStamp = -1;
    m_bWaitFirstKey = 1;
    m_nLastAudioTimeStamp = 0;
    m_dwAudioLen = 0;
    m_dwLastBoundary = 0;
    m_bPlainTimestamps = plainTimestamps;
    return rv;
}

void CTsWriter::SetAudioCodec(int codec) { m_nAudioCodec = codec ? CODEC_ID_MP3 : CODEC_ID_AAC; }

void CTsWriter::ApplyTimestampBase(std::int64_t timeStamp) {
    if (m_nFirstTimeStamp != -1) return;
    if (m_bPlainTimestamps) {
        m_nFirstTimeStamp = 0;
        m_nTimeStampDelay = 0;
    } else {
        m_nFirstTimeStamp = timeStamp;
        m_nTimeStampDelay = kTimestampDelay;
    }
}

int CTsWriter::WriteAVCVideo(std::int64_t timeStamp, const unsigned char* data, unsigned long length,
                             int keyFrame) {
    if (!m_bHaveVideo) {
        UC_ASSERT_TEXT("m_bHaveVideo");
        return UC_ERR_BAD_DATA;
    }
    if (!m_file) {
        UC_ASSERT_TEXT("m_file.Get()");
        return UC_ERR_NO_ROOM;
    }
    ApplyTimestampBase(timeStamp);
    // Audio gathered before the first picture: a picture close to it starts the time line.
    if (!m_bPlainTimestamps && m_bWaitFirstKey && m_dwAudioLen > 0 &&
        timeStamp <= m_nFirstTimeStamp + kFirstKeyWindow) {
        // The audio already gathered keeps its place on the moved time line.
        m_nAudioFirstTimeStamp -= timeStamp - m_nFirstTimeStamp;
        m_nFirstTimeStamp = timeStamp;
    }
    if (keyFrame && m_bWaitFirstKey) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CTsWriter::WriteAVCVideo, get first key,dwTimeStamp="
                                               << static_cast<long long>(timeStamp) << ",diff="
                                               << static_cast<long long>((timeStamp - m_nFirstTimeStamp) / 90));
        m_bWaitFirstKey = 0;
    }
    return EncFrame(timeStamp - m_nFirstTimeStamp, data, length, CODEC_ID_H264, keyFrame, MODE_NORMAL);
}

int CTsWriter::WriteAudio(std::int64_t timeStamp, const unsigned char* data, unsigned long length,
                          int smoothing) {
    if (!m_file) {
        UC_ASSERT_TEXT("m_file.Get()");
        return UC_ERR_NO_ROOM;
    }
    ApplyTimestampBase(timeStamp);
    if (m_nAudioCodec == CODEC_ID_MP3 && m_nAudioUnitTicks != 0 && m_dwAudioUnitBytes != 0 &&
        smoothing && !m_bPlainTimestamps) {
        const std::int64_t step =
            static_cast<std::int64_t>(length / m_dwAudioUnitBytes) * m_nAudioUnitTicks;
        const std::int64_t predicted = timeStamp + step;
        if (m_nLastAudioTimeStamp == 0) {
            m_nLastAudioTimeStamp = predicted;
        } else {
            const std::int32_t diff = static_cast<std::int32_t>(static_cast<std::uint32_t>(timeStamp) -
                                                                static_cast<std::uint32_t>(m_nLastAudioTimeStamp));
            if (diff > -kSmoothingWindow && diff < kSmoothingWindow) {
                timeStamp = m_nLastAudioTimeStamp;
                m_nLastAudioTimeStamp += step;
            } else {
                UC_LOG_THIS(CLogWrapper::LOG_WARNING,
                            "CTsWriter::WriteAudio,too big difference timestmap dwTimeStamp="
                                << static_cast<long long>(timeStamp) << ", m_nLastAudioTimeStamp="
                                << static_cast<long long>(m_nLastAudioTimeStamp));
                m_nLastAudioTimeStamp = predicted;
            }
        }
    }
    return EncFrame(timeStamp - m_nFirstTimeStamp, data, length, m_nAudioCodec, 0, MODE_NORMAL);
}

int CTsWriter::FlushGatheredAudio() {
    if (m_dwAudioLen == 0) return 0;
    return EncFrame(m_nAudioFirstTimeStamp, m_szAudioBuf.get(), m_dwAudioLen, m_nAudioCodec, 0,
                    MODE_FLUSH);
}

int CTsWriter::EncFrame(std::int64_t timeStamp, const unsigned char* data, unsigned long length,
                        int codec, int keyFrame, int mode) {
    if (!data || !length) {
        UC_ASSERT_TEXT("pData && nLen");
        return UC_ERR_BAD_ARGUMENT;
    }
    const bool audio = codec == CODEC_ID_AAC || codec == CODEC_ID_MP3;
    if (audio && mode != MODE_FLUSH) {
        if (m_dwAudioLen > 0 && m_dwAudioLen + length > m_dwAudioBufSize) {
            const int rv = FlushGatheredAudio();
            if (rv != 0) return rv;
        }
        if (length <= m_dwAudioBufSize) {
            if (m_dwAudioLen == 0) m_nAudioFirstTimeStamp = timeStamp;
            std::memcpy(m_szAudioBuf.get() + m_dwAudioLen, data, length);
            m_dwAudioLen += static_cast<std::uint32_t>(length);
            if (m_dwAudioLen < m_dwAudioBufSize) return 0;
            return FlushGatheredAudio();
        }
        // Too big to gather: a PES of its own.
    }
    m_pBufPoint = m_szTsStreamBuf.get();
    m_nWriteResult = 0;
    EncPES(timeStamp + m_nTimeStampDelay, data, length, codec, keyFrame);
    const int rv = WriteBuffered();
    if (audio) m_dwAudioLen = 0;
    return rv != 0 ? rv : m_nWriteResult;
}

int CTsWriter::WriteBuffered() {
    const std::size_t len = static_cast<std::size_t>(m_pBufPoint - m_szTsStreamBuf.get());
    m_pBufPoint = m_szTsStreamBuf.get();
    if (len == 0) return 0;
    if (!m_file) return UC_ERR_NO_ROOM;
    const long written = m_file->Write(m_szTsStreamBuf.get(), len);
    if (written < 0 || static_cast<std::size_t>(written) != len) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CTsWriter write failed, len=" << len << ",written="
                                                                                << written);
        return UC_ERR_BAD_DATA;
    }
    return 0;
}

int CTsWriter::ReservePacket() {
    // A frame larger than the buffer is written out in pieces rather than lost.
    if (m_szTsStreamBuf.get() + MAX_TSSTREAM_LEN - m_pBufPoint < kPacket) {
        const int rv = WriteBuffered();
        if (rv != 0 && m_nWriteResult == 0) m_nWriteResult = rv;
        return rv;
    }
    return 0;
}

void CTsWriter::PutSection(int pid, std::uint32_t& counter, int tableId, int extension,
                           const unsigned char* body, std::size_t bodyLen) {
    // Header bytes before the CRC: table id, length (2), extension (2),
    // version, section number, last section number, body.
    const std::size_t beforeCrc = 8 + bodyLen;
    if (beforeCrc > 184 - 1 - 4) return;
    ReservePacket();
    unsigned char* p = m_pBufPoint;
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>(0x40 | ((pid >> 8) & 0x1F));
    p[2] = static_cast<unsigned char>(pid & 0xFF);
    p[3] = static_cast<unsigned char>(0x10 | (counter & 0x0F));
    counter = (counter + 1) & 0x0F;
    p[4] = 0;  // pointer field
    unsigned char* s = p + 5;
    const std::size_t sectionLength = 5 + bodyLen + 4;
    s[0] = static_cast<unsigned char>(tableId);
    s[1] = static_cast<unsigned char>(0xB0 | ((sectionLength >> 8) & 0x0F));
    s[2] = static_cast<unsigned char>(sectionLength & 0xFF);
    s[3] = static_cast<unsigned char>(extension >> 8);
    s[4] = static_cast<unsigned char>(extension & 0xFF);
    s[5] = static_cast<unsigned char>((0 << 1) | 0xC1);
    s[6] = 0;
    s[7] = 0;
    std::memcpy(s + 8, body, bodyLen);
    const std::uint32_t crc = Crc32(s, beforeCrc);
    unsigned char* c = s + beforeCrc;
    c[0] = static_cast<unsigned char>(crc >> 24);
    c[1] = static_cast<unsigned char>(crc >> 16);
    c[2] = static_cast<unsigned char>(crc >> 8);
    c[3] = static_cast<unsigned char>(crc);
    unsigned char* end = c + 4;
    std::memset(end, 0xFF, static_cast<std::size_t>(p + kPacket - end));
    m_pBufPoint += kPacket;
}

void CTsWriter::PutPAT() {
    const unsigned char body[] = {0x00, 0x01, static_cast<unsigned char>(0xE0 | (TS_PMT_PID >> 8)),
                                  TS_PMT_PID & 0xFF};
    PutSection(TS_PAT_PID, m_nPATCounter, 0x00, 1, body, sizeof(body));
}

void CTsWriter::PutPMT() {
    unsigned char body[32];
    std::size_t n = 0;
    body[n++] = static_cast<unsigned char>(0xE0 | (m_wPCRPid >> 8));
    body[n++] = static_cast<unsigned char>(m_wPCRPid & 0xFF);
    body[n++] = 0xF0;  // program info length 0
    body[n++] = 0x00;
    auto stream = [&](unsigned char type, int pid) {
        body[n++] = type;
        body[n++] = static_cast<unsigned char>(0xE0 | (pid >> 8));
        body[n++] = static_cast<unsigned char>(pid & 0xFF);
        body[n++] = 0xF0;  // ES info length 0
        body[n++] = 0x00;
    };
    if (m_bHaveVideo) stream(0x1B, TS_VIDEO_PID);
    stream(m_nAudioCodec == CODEC_ID_MP3 ? 0x03 : 0x0F, TS_AUDIO_PID);
    PutSection(TS_PMT_PID, m_nPMTCounter, 0x02, 1, body, n);
}

void CTsWriter::PutSDT() {
    static const char kProvider[] = "Orvix";
    static const char kService[] = "Service01";
    const std::size_t providerLen = sizeof(kProvider) - 1;
    const std::size_t serviceLen = sizeof(kService) - 1;
    const std::size_t descriptorLen = 3 + providerLen + serviceLen;  // type, two length bytes
    const std::size_t loopLen = 2 + descriptorLen;
    unsigned char body[64];
    std::size_t n = 0;
    body[n++] = 0x00;  // original network id 1
    body[n++] = 0x01;
    body[n++] = 0xFF;
    body[n++] = 0x00;  // service id 1
    body[n++] = 0x01;
    body[n++] = 0xFC;
    body[n++] = static_cast<unsigned char>((4 << 5) | ((loopLen >> 8) & 0x0F));  // running
    body[n++] = static_cast<unsigned char>(loopLen & 0xFF);
    body[n++] = 0x48;
    body[n++] = static_cast<unsigned char>(descriptorLen);
    body[n++] = 0x01;  // digital television service
    body[n++] = static_cast<unsigned char>(providerLen);
    std::memcpy(body + n, kProvider, providerLen);
    n += providerLen;
    body[n++] = static_cast<unsigned char>(serviceLen);
    std::memcpy(body + n, kService, serviceLen);
    n += serviceLen;
    PutSection(TS_SDT_PID, m_nSDTCounter, 0x42, 1, body, n);
}

int CTsWriter::EncPES(std::int64_t pts, const unsigned char* data, unsigned long length, int codec,
                      int keyFrame) {
    int pid = 0;
    std::uint32_t* counter = nullptr;
    unsigned char streamId = 0;
    bool addDelimiter = false;
    if (codec == CODEC_ID_H264) {
        pid = TS_VIDEO_PID;
        counter = &m_nVideoCounter;
        streamId = 0xE0;
        addDelimiter = !(length > 4 && data[4] == 9);
    } else if (codec == CODEC_ID_AAC || codec == CODEC_ID_MP3) {
        pid = TS_AUDIO_PID;
        counter = &m_nAudioCounter;
        streamId = 0xC0;
    } else {
        return 0;
    }
    pts &= kMask33;
    const std::uint64_t total = length + (addDelimiter ? sizeof(kAccessUnitDelimiter) : 0);
    std::uint64_t done = 0;  // payload bytes (delimiter included) written
    bool first = true;
    while (done < total) {
        // Tables first, each in a packet of its own.
        ++m_nSDTPackets;
        ++m_nPATPMTPackets;
        if (m_nSDTPackets > kSdtRepeat) {
            PutSDT();
            m_nSDTPackets = 0;
        }
        if (m_nPATPMTPackets >= kPatPmtRepeat || (first && keyFrame)) {
            PutPAT();
            PutPMT();
            m_nPATPMTPackets = 0;
        }
        bool pcr = false;
        if (pid == m_wPCRPid) {
            if (first || m_nAudioCodec == CODEC_ID_AAC) ++m_nPCRPackets;
            if (m_nPCRPackets >= kPcrRepeat) {
                m_nPCRPackets = 0;
                pcr = true;
            } else if (first && keyFrame && m_bHaveVideo) {
                pcr = true;
            }
        }
        ReservePacket();
        unsigned char* p = m_pBufPoint;
        const int headerLen = kTsHeader + (pcr ? kPcrField : 0) + (first ? kPesHeader : 0);
        const std::uint64_t room = static_cast<std::uint64_t>(kPacket - headerLen);
        const std::uint64_t part = std::min(room, total - done);
        const int stuffing = static_cast<int>(room - part);

        p[0] = 0x47;
        p[1] = static_cast<unsigned char>((first ? 0x40 : 0) | ((pid >> 8) & 0x1F));
        p[2] = static_cast<unsigned char>(pid & 0xFF);
        const bool adaptation = pcr || stuffing > 0;
        p[3] = static_cast<unsigned char>(0x10 | (adaptation ? 0x20 : 0) | (*counter & 0x0F));
        *counter = (*counter + 1) & 0x0F;
        unsigned char* q = p + kTsHeader;
        if (pcr) {
            const std::uint64_t value =
                static_cast<std::uint64_t>((pts - kPcrLead) & kMask33) * 300;
            const std::uint64_t base = (value / 300) & kMask33;
            const std::uint64_t ext = value % 300;
            q[0] = static_cast<unsigned char>(7 + stuffing);
            q[1] = 0x10;
            q[2] = static_cast<unsigned char>(base >> 25);
            q[3] = static_cast<unsigned char>(base >> 17);
            q[4] = static_cast<unsigned char>(base >> 9);
            q[5] = static_cast<unsigned char>(base >> 1);
            q[6] = static_cast<unsigned char>(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1));
            q[7] = static_cast<unsigned char>(ext & 0xFF);
            q += kPcrField;
            std::memset(q, 0xFF, static_cast<std::size_t>(stuffing));
            q += stuffing;
        } else if (stuffing > 0) {
            q[0] = static_cast<unsigned char>(stuffing - 1);
            if (stuffing > 1) {
                q[1] = 0x00;
                std::memset(q + 2, 0xFF, static_cast<std::size_t>(stuffing - 2));
            }
            q += stuffing;
        }
        if (first) {
            // The PES packet length counts the 8 header bytes behind it; a
            // payload too long for 16 bits is written as unbounded (0).
            const std::uint64_t pesLen = total + 8;
            const unsigned lenField = pesLen > 0xFFFF ? 0 : static_cast<unsigned>(pesLen);
            q[0] = 0x00;
            q[1] = 0x00;
            q[2] = 0x01;
            q[3] = streamId;
            q[4] = static_cast<unsigned char>(lenField >> 8);
            q[5] = static_cast<unsigned char>(lenField & 0xFF);
            q[6] = 0x80;
            q[7] = 0x80;
            q[8] = 5;
            q[9] = static_cast<unsigned char>(0x21 | ((pts >> 29) & 0x0E));
            q[10] = static_cast<unsigned char>((pts >> 22) & 0xFF);
            q[11] = static_cast<unsigned char>(((pts >> 14) & 0xFE) | 1);
            q[12] = static_cast<unsigned char>((pts >> 7) & 0xFF);
            q[13] = static_cast<unsigned char>(((pts << 1) & 0xFE) | 1);
            q += kPesHeader;
        }
        std::uint64_t left = part;
        if (addDelimiter && done < sizeof(kAccessUnitDelimiter)) {
            const std::uint64_t n = std::min<std::uint64_t>(left, sizeof(kAccessUnitDelimiter) - done);
            std::memcpy(q, kAccessUnitDelimiter + done, n);
            q += n;
            done += n;
            left -= n;
        }
        const std::uint64_t offset = done - (addDelimiter ? sizeof(kAccessUnitDelimiter) : 0);
        std::memcpy(q, data + offset, left);
        done += left;
        m_pBufPoint += kPacket;
        first = false;
    }
    return 0;
}

int CTsWriter::AddNewSeg(const std::string& path) {
    int rv = FlushGatheredAudio();
    m_dwAudioLen = 0;
    if (m_file) {
        // The file object may hold written bytes until it closes: a failure
        // there is a failed write too.
        if (m_file->Close() != 0 && rv == 0) {
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CTsWriter close failed, error=" << m_file->GetLastError());
            rv = UC_ERR_BAD_DATA;
        }
        m_file.Reset();
    }
    m_dwLastBoundary = 0;
    if (path.empty()) return rv;
    m_file.Reset(CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_MEDIA));
    if (!m_file) {
        UC_ASSERT_TEXT("m_file.Get()");
        return UC_ERR_NO_FILE;
    }
    rv = m_file->Open(path, "wb");
    if (rv != 0) m_file.Reset();
    return rv;
}

int CTsWriter::AddNewSeg(unsigned long& previousBoundary, unsigned long& currentBoundary) {
    if (!m_file) return UC_ERR_BAD_DATA;
    previousBoundary = m_dwLastBoundary;
    const long pos = m_file->Tell();
    currentBoundary = pos < 0 ? 0 : static_cast<unsigned long>(pos);
    m_dwLastBoundary = static_cast<std::uint32_t>(currentBoundary);
    return 0;
}

void CTsWriter::Stop() {
    if (m_file) {
        FlushGatheredAudio();
        m_file->Close();
        m_file.Reset();
    }
    m_dwAudioLen = 0;
}
