#include "flvlivefeeder.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdlib>

#include "avcsps.h"
#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"
#include "flvio/flvreader.h"
#include "flvtaginfo.h"

namespace {

// Far more than any file puts in front of its first audio and video tags.
constexpr int kProbeTags = 256;
constexpr int kSegment = 1;  // any non-zero value: the recorder's own file length

struct TagRelease {
    void operator()(CFlvioTag* tag) const { tag->ReleaseReference(); }
};
using TagPtr = std::unique_ptr<CFlvioTag, TagRelease>;

bool ParseSeconds(const std::string& text, unsigned long& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return true;
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A package that wraps the bytes without copying them.
std::unique_ptr<CDataPackage> Wrap(const std::string& bytes) {
    return std::make_unique<CDataPackage>(bytes.size(), bytes.data(), CDataPackage::FLAG_WRAP, bytes.size());
}

}  // namespace

bool CFlvLiveFeeder::Configure(const std::vector<std::string>& args, std::string& in, std::string& dir,
                               std::string& problem) {
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--pace") {
            m_bPace = true;
        } else if (arg == "--window" || arg == "--margin") {
            unsigned long value = 0;
            if (i + 1 >= args.size() || !ParseSeconds(args[i + 1], value)) {
                problem = arg + " takes a number of seconds";
                return false;
            }
            (arg == "--window" ? m_dwWindow : m_dwMargin) = value;
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            problem = "unknown option " + arg;
            return false;
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) {
        problem = "live takes IN and DIR";
        return false;
    }
    in = files[0];
    dir = files[1];
    return true;
}

void CFlvLiveFeeder::OnFileFinished(const std::string& name, unsigned long, unsigned long, unsigned long) {
    ++m_nFinished;
    std::fprintf(m_pOut, "%s%s\n", m_strDir.c_str(), name.c_str());
    std::fflush(m_pOut);
}

void CFlvLiveFeeder::OnFileRemoved(const std::string&) {}

void CFlvLiveFeeder::OnFileDeleted(const std::string&) {}

void CFlvLiveFeeder::Probe(const std::string& in) {
    CFlvReader reader;
    if (reader.Init(in, 1, 0, 1) != 0) return;
    CFlvioHeader header;
    if (reader.ReadHeader(header) != 0) return;
    bool sawAudio = false;
    for (int i = 0; i < kProbeTags && !(sawAudio && m_nWidth); ++i) {
        CFlvioTag* raw = nullptr;
        if (reader.GetNextTag(raw) != 0 || !raw) break;
        TagPtr tag(raw);
        const CFlvTagInfo info(*tag);
        if (info.IsAudio() && !info.IsEmpty() && !sawAudio) {
            sawAudio = true;
            m_audio.format = static_cast<FlvSoundType>(info.GetSoundFormat());
            m_audio.rate = static_cast<FlvSoundRate>(info.GetSoundRate());
            m_audio.is8Bit = info.GetSampleBits() == 8;
            m_audio.isMono = info.GetChannels() == 1;
        }
        if (info.IsVideo() && info.GetAvcPacketType() == CFlvTagInfo::AVC_SEQUENCE_HEADER && !m_nWidth) {
            const std::string body = tag->GetData()->FlattenPackage();
            CAvcSps sps;
            if (body.size() > 5 &&
                sps.ParseDecoderConfig(reinterpret_cast<const std::uint8_t*>(body.data()) + 5, body.size() - 5)) {
                m_nWidth = sps.GetWidth();
                m_nHeight = sps.GetHeight();
            }
        }
    }
}

void CFlvLiveFeeder::Pace(std::uint32_t timeStamp) {
    if (!m_bPace) return;
    if (!m_bHavePaceStart) {
        m_bHavePaceStart = true;
        m_dwFirstStamp = timeStamp;
        m_nWallStartMs = NowMs();
        return;
    }
    if (timeStamp <= m_dwFirstStamp) return;
    const std::int64_t due = m_nWallStartMs + (timeStamp - m_dwFirstStamp);
    // Wait in short steps so that a stop request is seen quickly.
    for (std::int64_t now = NowMs(); now < due; now = NowMs())
        if (StopRequested(static_cast<unsigned>(std::min<std::int64_t>(due - now, 50)))) break;
}

bool CFlvLiveFeeder::StopRequested(unsigned ms) {
    if (!m_bStop && m_pSignals && m_pSignals->WaitForStop(ms)) m_bStop = true;
    return m_bStop;
}

int CFlvLiveFeeder::FeedTag(CFLVRecorder& recorder, const CFlvioTag& tag) {
    const CFlvTagInfo info(tag);
    if (!tag.GetData() || info.IsEmpty() || info.IsScript()) return UC_OK;
    const std::string body = tag.GetData()->FlattenPackage();
    const unsigned long ts = tag.GetTimeStampAll();
    if (info.IsVideo()) {
        if (info.GetCodecId() != FLV_CODEC_AVC) return UC_ERR_NOT_SUPPORTED;
        const int packetType = info.GetAvcPacketType();
        if (packetType == CFlvTagInfo::AVC_END_OF_SEQUENCE) return UC_OK;
        if (body.size() <= 5) return UC_ERR_BAD_DATA;
        if (info.GetCompositionTime() != 0 && !m_bWarnedCts) {
            // The recorder writes every picture with composition time 0.
            m_bWarnedCts = true;
            std::fprintf(stderr, "flvtool: the input reorders pictures (B-frames); the live files show them in "
                                 "decoding order\n");
        }
        Pace(tag.GetTimeStampAll());
        const std::string frame = body.substr(5);
        const AVCPackageType type = packetType == CFlvTagInfo::AVC_SEQUENCE_HEADER ? AVC_PACKAGE_CONFIG
                                    : info.IsKeyFrame()                            ? AVC_PACKAGE_KEY
                                                                                   : AVC_PACKAGE_INTER;
        return recorder.RecordRawAVC(ts, *Wrap(frame), type, 0);
    }
    if (!info.IsAudio()) return UC_OK;
    if (info.GetSoundFormat() != FLV_SOUND_AAC) {
        Pace(tag.GetTimeStampAll());
        const std::string frame = body.substr(1);
        return recorder.RecordRawMP3(ts, *Wrap(frame), 0);
    }
    if (body.size() < 2) return UC_ERR_BAD_DATA;
    if (info.GetAacPacketType() == CFlvTagInfo::AAC_SEQUENCE_HEADER) {
        m_strAacConfig = body.substr(2);
        return UC_OK;
    }
    if (m_strAacConfig.size() < 2) return UC_ERR_NO_ROOM;
    Pace(tag.GetTimeStampAll());
    // The recorder takes ADTS frames, as an encoder hands them out.
    const std::string raw = body.substr(2);
    char adts[7];
    int adtsLen = sizeof(adts);
    if (!GetAdtsFromDecInfo(adts, &adtsLen, reinterpret_cast<const unsigned char*>(m_strAacConfig.data()), 2,
                            static_cast<unsigned>(raw.size())))
        return UC_ERR_BAD_DATA;
    const std::string frame = std::string(adts, sizeof(adts)) + raw;
    return recorder.RecordRawMP3(ts, *Wrap(frame), 0);
}

int CFlvLiveFeeder::Run(const std::string& in, const std::string& dir) {
    m_strDir = dir;
    if (!m_strDir.empty() && m_strDir.back() != '/') m_strDir += '/';
    CFlvReader reader;
    if (reader.Init(in, 1, 0, 1) != 0) {
        m_strError = "cannot open " + in;
        return LIVE_FAILED;
    }
    CFlvioHeader header;
    if (reader.ReadHeader(header) != 0) {
        m_strError = in + " is not an FLV file";
        return LIVE_DAMAGED;
    }
    Probe(in);

    CFLVRecorder recorder;
    recorder.SetFileNotify(this);
    recorder.SetRemovalMargin(m_dwMargin * 1000);
    const int started = recorder.Start(m_strDir + "record.xml", static_cast<unsigned short>(m_nWidth),
                                       static_cast<unsigned short>(m_nHeight), m_audio, kSegment, m_dwWindow, "", "");
    if (started != 0) {
        m_strError = "cannot record into " + dir + " (code " + std::to_string(started) + ")";
        return LIVE_FAILED;
    }
    const CStopSignals signals;
    m_pSignals = &signals;
    int result = LIVE_OK;
    std::uint64_t offset = header.GetEncodeLen();
    while (!StopRequested(0)) {
        CFlvioTag* raw = nullptr;
        const int rv = reader.GetNextTag(raw);
        if (rv == UC_ERR_NO_ROOM) break;  // the end of the file
        if (rv != 0 || !raw) {
            m_strError = "damaged file at offset " + std::to_string(offset) + " (code " + std::to_string(rv) + ")";
            result = LIVE_DAMAGED;
            break;
        }
        TagPtr tag(raw);
        offset += tag->GetEncodeLen();
        if (FeedTag(recorder, *tag) != 0) ++m_nRefused;
    }
    recorder.Stop();
    recorder.SetFileNotify(nullptr);
    m_pSignals = nullptr;
    if (m_nRefused > 0)
        std::fprintf(stderr, "flvtool: the recorder refused %llu tags\n", static_cast<unsigned long long>(m_nRefused));
    return result;
}
