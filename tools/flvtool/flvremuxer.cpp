#include "flvremuxer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "avcsps.h"
#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"
#include "flvdamageprobe.h"
#include "flvio/flvreader.h"
#include "flvio/flvwriter.h"
#include "flvmetadata.h"
#include "flvtaginfo.h"

namespace {

constexpr std::uint64_t kFirstTagOffset = 13;
// Far more than any file puts in front of its first audio and video tags.
constexpr std::size_t kMaxReadAhead = 256;
// The writer's header kinds.
constexpr int kAudioOnly = 0;
constexpr int kVideoOnly = 1;
constexpr int kAudioAndVideo = 2;

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

unsigned PictureSide(double v) {
    return std::isfinite(v) && v >= 1 && v <= 65535 ? static_cast<unsigned>(v) : 0;
}

}  // namespace

void CFlvRemuxer::TagRelease::operator()(CFlvioTag* tag) const { tag->ReleaseReference(); }

CFlvRemuxer::CFlvRemuxer() = default;

CFlvRemuxer::~CFlvRemuxer() = default;

CFlvRemuxer::TagPtr CFlvRemuxer::NextTag() {
    if (m_bDamaged) return nullptr;
    CFlvioTag* tag = nullptr;
    int rv = m_pReader->GetNextTag(tag);
    if (rv == 0 && tag) {
        TagPtr held(tag);
        m_nOffset += tag->GetEncodeLen();
        return held;
    }
    if (rv != UC_ERR_NO_ROOM) {
        m_bDamaged = true;
        m_strError = "damaged file at offset " + std::to_string(m_nOffset) + ": " +
                     CFlvDamageProbe(m_strIn, m_nInSize).CheckTag(m_nOffset, rv ? rv : UC_ERR_NO_ROOM);
    }
    return nullptr;
}

void CFlvRemuxer::Learn(const CFlvioTag& tag) {
    const CFlvTagInfo info(tag);
    if (info.IsAudio() && !m_bSawAudio && !info.IsEmpty()) {
        m_bSawAudio = true;
        m_nAudioCodec = info.GetSoundFormat();
    }
    if (info.IsVideo() && !m_bSawVideo && !info.IsEmpty()) {
        m_bSawVideo = true;
        m_nVideoCodec = info.GetCodecId();
    }
    if (info.IsVideo() && info.GetAvcPacketType() == CFlvTagInfo::AVC_SEQUENCE_HEADER &&
        !m_nWidth && tag.GetData()) {
        const std::string body = tag.GetData()->FlattenPackage();
        CAvcSps sps;
        if (body.size() > 5 &&
            sps.ParseDecoderConfig(reinterpret_cast<const std::uint8_t*>(body.data()) + 5,
                                   body.size() - 5)) {
            m_nWidth = sps.GetWidth();
            m_nHeight = sps.GetHeight();
        }
    }
    if (info.IsScript() && info.GetScriptName() == "onMetaData" && !m_bSawMetaData && tag.GetData()) {
        m_bSawMetaData = true;
        CFlvMetaData meta;
        meta.Decode(*tag.GetData());
        double width = 0, height = 0;
        if (meta.GetNumber("width", width) && meta.GetNumber("height", height)) {
            m_nMetaWidth = PictureSide(width);
            m_nMetaHeight = PictureSide(height);
        }
    }
}

bool CFlvRemuxer::KnowsEnough(bool needAudio, bool needVideo) const {
    if (needAudio && !m_bSawAudio) return false;
    if (!needVideo) return true;
    // For AVC the picture size comes from the metadata or the sequence header.
    const bool haveSize = (m_nMetaWidth && m_nMetaHeight) || m_nWidth;
    return m_bSawVideo && (m_nVideoCodec != FLV_CODEC_AVC || haveSize);
}

void CFlvRemuxer::ReadAhead(bool announcesAudio, bool announcesVideo) {
    // A header that announces nothing: look for both.
    const bool needAudio = announcesAudio || !announcesVideo;
    const bool needVideo = announcesVideo || !announcesAudio;
    while (m_readAhead.size() < kMaxReadAhead && !KnowsEnough(needAudio, needVideo)) {
        TagPtr tag = NextTag();
        if (!tag) break;
        Learn(*tag);
        m_readAhead.push_back(std::move(tag));
    }
}

int CFlvRemuxer::Write(const CFlvioTag& tag) {
    CDataPackage empty;
    CDataPackage& body = tag.GetData() ? *tag.GetData() : empty;
    const unsigned ts = tag.GetTimeStampAll();
    int rv = 0;
    switch (tag.GetTagType()) {
        case TAG_TYPE_AUDIO:
            rv = m_pWriter->WriteAudio(ts, body, m_dwAudioStreamId, nullptr);
            if (ts > m_dwMaxTimeStamp) m_dwMaxTimeStamp = ts;
            break;
        case TAG_TYPE_VIDEO:
            rv = m_pWriter->WriteVideo(ts, body, m_dwVideoStreamId, nullptr);
            if (ts > m_dwMaxTimeStamp) m_dwMaxTimeStamp = ts;
            break;
        default:
            // The input's own metadata is replaced by the one written first.
            if (CFlvTagInfo(tag).GetScriptName() == "onMetaData") return 0;
            rv = m_pWriter->WriteData(ts, body, 1, 0, nullptr);
            break;
    }
    if (rv == 0 && m_pWriter->GetLastWriteError() != 0) rv = m_pWriter->GetLastWriteError();
    if (rv != 0) {
        m_strError = "cannot write " + m_strOut + ": " +
                     (m_pWriter->GetLastWriteError() ? std::strerror(m_pWriter->GetLastWriteError())
                                                     : "writer result " + std::to_string(rv));
        return rv;
    }
    ++m_nTagsWritten;
    return 0;
}

void CFlvRemuxer::ShowProgress() {
    if (!m_bShowProgress || m_nInSize == 0) return;
    const unsigned percent = static_cast<unsigned>(m_nOffset * 100 / m_nInSize);
    if (percent == m_nLastPercent) return;
    m_nLastPercent = percent;
    std::fprintf(stderr, "\rflvtool: remux %3u%%", percent > 100 ? 100 : percent);
    std::fflush(stderr);
}

int CFlvRemuxer::Finish() {
    // Same keys, all numbers: the rewritten tag has the size of the first one.
    m_nDuration = m_dwMaxTimeStamp / 1000;
    unsigned long pos = m_dwMetaDataPos;
    unsigned long len = 0;
    int rv = m_pWriter->Seek(static_cast<long>(m_dwMetaDataPos), 0);
    if (rv == 0) {
        rv = m_pWriter->CreateMetaData(m_nDuration, m_nWidth, m_nHeight, 0, 0, m_nVideoCodec, 0, 0.0,
                                       m_nAudioCodec, 1, pos, len, 1);
    }
    m_pWriter->Flush();
    m_pWriter->Finished();
    const int writeError = m_pWriter->GetLastWriteError();
    if (rv == 0 && writeError == 0 && len == m_dwMetaDataLen) return 0;
    const std::string why = writeError ? std::string(std::strerror(writeError))
                            : rv       ? "writer result " + std::to_string(rv)
                                       : std::string("the rewritten onMetaData has another size");
    if (!m_strError.empty()) m_strError += "; ";
    m_strError += "cannot patch the duration in " + m_strOut + ": " + why;
    return rv ? rv : writeError ? writeError : -1;
}

int CFlvRemuxer::Remux(const std::string& in, const std::string& out) {
    m_strIn = in;
    m_strOut = out;
    if (SameFile(in, out)) {
        m_strError = "IN and OUT are the same file";
        return REMUX_SAME_FILE;
    }
    m_strError = CFlvDamageProbe::CheckInput(in, m_nInSize);
    if (!m_strError.empty()) return REMUX_FAILED;

    m_pReader = std::make_unique<CFlvReader>();
    int rv = m_pReader->Init(in, 1, 0, 1);
    if (rv != 0) {
        m_strError = "cannot open " + in + ": " + std::strerror(rv);
        return REMUX_FAILED;
    }
    CFlvioHeader header;
    rv = m_pReader->ReadHeader(header);
    std::string damage = CFlvDamageProbe(in, m_nInSize).CheckHeader();
    if (damage.empty() && rv != 0) damage = "the header cannot be read (result " + std::to_string(rv) + ")";
    if (!damage.empty()) {
        m_strError = "damaged file at offset 0: " + damage;
        return REMUX_DAMAGED;
    }
    m_nOffset = kFirstTagOffset;

    const bool announcesAudio = header.GetFlags() & 0x04;
    const bool announcesVideo = header.GetFlags() & 0x01;
    ReadAhead(announcesAudio, announcesVideo);
    const bool audio = announcesAudio || m_bSawAudio;
    const bool video = announcesVideo || m_bSawVideo;
    // The engine's values for a stream announced but not seen yet.
    if (audio && !m_bSawAudio) m_nAudioCodec = FLV_SOUND_AAC;
    if (video && !m_bSawVideo) m_nVideoCodec = FLV_CODEC_AVC;
    if (m_nMetaWidth && m_nMetaHeight) {
        m_nWidth = m_nMetaWidth;
        m_nHeight = m_nMetaHeight;
    }

    m_pWriter = std::make_unique<CFlvWriter>();
    const int kinds = audio && !video ? kAudioOnly : video && !audio ? kVideoOnly : kAudioAndVideo;
    rv = m_pWriter->Init(out, 0, 0, kinds);
    if (rv != 0) {
        m_strError = "cannot create " + out + ": " + std::strerror(rv);
        return REMUX_FAILED;
    }
    rv = m_pWriter->CreateMetaData(0, m_nWidth, m_nHeight, 0, 0, m_nVideoCodec, 0, 0.0, m_nAudioCodec,
                                   1, m_dwMetaDataPos, m_dwMetaDataLen, 1);
    if (rv == 0) rv = m_pWriter->CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, m_dwAudioStreamId);
    if (rv == 0) rv = m_pWriter->CreateVideoStream(FLV_CODEC_AVC, m_dwVideoStreamId);
    if (rv != 0) {
        m_strError = "cannot write " + out + ": writer result " + std::to_string(rv);
        return REMUX_FAILED;
    }

    rv = 0;
    for (TagPtr& tag : m_readAhead) {
        if (rv == 0) rv = Write(*tag);
    }
    m_readAhead.clear();
    while (rv == 0) {
        TagPtr tag = NextTag();
        if (!tag) break;
        rv = Write(*tag);
        ShowProgress();
    }
    if (m_bShowProgress && m_nLastPercent <= 100) std::fputc('\n', stderr);
    const bool writeFailed = rv != 0;
    if (Finish() != 0 || writeFailed) return REMUX_FAILED;
    return m_bDamaged ? REMUX_DAMAGED : REMUX_OK;
}
