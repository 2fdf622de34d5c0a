#include "flvio/stdflvrecorder.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <new>
#include <random>
#include <system_error>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "basekit/tickcount.h"
#include "basekit/ucfile.h"
#include "basekit/utilapi.h"
#include "flvio/aacutil.h"
#include "flvio/flvwriter.h"
#include "recordtext.h"
#include "xmlfragmentcheck.h"

namespace {

constexpr unsigned long kGapLimit = 8000;          // ms between media time stamps
constexpr unsigned long kGapTickLimit = 2000;      // ms on the tick clock
constexpr unsigned long kConfigRepeat = 30000;     // single file: configuration again after
constexpr unsigned long kFirstSegmentLen = 60000;  // the first key frame's segment length
constexpr unsigned long kMaxSegmentBytes = 0x9FFFFF;
constexpr unsigned long kAudioSilence = 120000;    // no audio for this long cuts a segment
constexpr unsigned long kAudioIndexStep = 5000;
constexpr std::time_t kSaveInterval = 30;          // s between index rewrites (single file)
constexpr unsigned long kAnnoThinning = 1000;
constexpr unsigned long kAnnoAfterPage = 500;
constexpr std::size_t kMaxTitleLen = 1024;
constexpr std::size_t kAdtsLen = 7;

const char* const kModuleOpen[] = {
    "<module name =\"document\">",   "<module name=\"annotation\">", "<module name=\"animationsetting\">",
    "<module name=\"vote\">",        "<module name=\"survey\">",     "<module name=\"document action\">",
    "<module name=\"as\">",          "<module name=\"lottery\">",    "<module name=\"layout\">",
    "<module name=\"browser\">",     "<module name=\"videokey\">",   "<module name=\"videoparam\">",
    "<module name=\"multirecord\">",
};

double Sec(unsigned long ms) { return CRecordText::Seconds(ms); }
unsigned U(unsigned long v) { return static_cast<unsigned>(v); }
const char* Bool(bool b) { return b ? "true" : "false"; }
std::string Esc(const std::string& text) { return CRecordText::Escape(text); }
std::string CData(const std::string& text) { return CRecordText::CData(text); }

// The text of a quoted attribute value after `from`: the positions of its two quotes.
bool QuotesAfter(const std::string& text, std::size_t from, std::size_t& q1, std::size_t& q2) {
    q1 = text.find('"', from);
    if (q1 == std::string::npos) return false;
    q2 = text.find('"', q1 + 1);
    return q2 != std::string::npos;
}

bool HasAttribute(const std::string& xml, const char* name) {
    std::string value;
    return CUtilAPI::XMLGetAttribute(xml, name, value) != 0;
}

}  // namespace

CSTDFLVRecorder::CSTDFLVRecorder() = default;

CSTDFLVRecorder::~CSTDFLVRecorder() { Stop(); }

std::string CSTDFLVRecorder::CreateRecordFilename(long long id, long long time, const std::string& name,
                                                  unsigned long add) {
    std::time_t t = static_cast<std::time_t>(time);
    std::tm tm {};
    gmtime_r(&t, &tm);
    const unsigned now = static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(add);
    return CRecordText::Format("%llu/sbr/%04u_%02u_%02u/", static_cast<unsigned long long>(id), static_cast<unsigned>(tm.tm_year + 1900),
               static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday)) +
           name + CRecordText::Format("_%u/record.xml", now);
}

std::vector<std::string> CSTDFLVRecorder::GetMediaFiles() const {
    std::vector<std::string> names;
    if (m_dwSegmentLen == 0) {
        if (!m_strMediaFile.empty()) names.push_back(m_strMediaFile.substr(m_strRecordPath.size()));
    } else {
        for (const Segment& s : m_segments) names.push_back(s.name);
    }
    return names;
}

int CSTDFLVRecorder::Start(const std::string& sessionName, const std::string& confId,
                           const std::string& recordFileName, unsigned short width, unsigned short height,
                           AudioPriority& audio, int underRecordHome, unsigned long segmentMinutes, int) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Start, confID=" << confId << ", strRecordFileName="
                                           << recordFileName << ", nVideoWidth=" << width
                                           << ", nVideoHigh=" << height);
    if (recordFileName.empty()) return UC_ERR_BAD_ARGUMENT;
    if (m_bStarted) return UC_ERR_NO_ROOM;

    std::string full = recordFileName;
    std::replace(full.begin(), full.end(), '\\', '/');
    if (underRecordHome && full[0] != '/') full = GetRPHome(0) + full;
    const std::size_t slash = full.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string("./") : full.substr(0, slash + 1);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Start, can't create the folder=" << folder);
        return UC_ERR_BAD_DATA;
    }

    const std::size_t xml = full.rfind(".xml");
    std::string indexFile, mediaFile;
    if (xml != std::string::npos) {
        indexFile = full;
        mediaFile = full.substr(0, xml) + ".flv" + full.substr(xml + 4);
    } else {
        mediaFile = full;
        indexFile = full.size() > 3 ? full.substr(0, full.size() - 3) + "xml" : full + ".xml";
    }
    // A fresh session: every buffer, time and counter back to its initial
    // value. The recorder is stopped here and the class is final, so it is
    // rebuilt in place.
    this->~CSTDFLVRecorder();
    new (this) CSTDFLVRecorder();
    m_strRecordPath = folder;
    m_strIndexFile = indexFile;
    m_strMediaFile = mediaFile;
    m_strSessionName = sessionName;
    m_strConfId = confId;
    m_nVideoWidth = width;
    m_nVideoHigh = height;
    SetAudioPriority(audio);
    for (int i = 0; i < MOD_COUNT; ++i) m_modules[i] = kModuleOpen[i];
    m_tStart = std::time(nullptr);
    m_tLastSave = m_tStart;

    if (segmentMinutes != 0) {
        m_dwSegmentLen = std::max(segmentMinutes * 60000ul, 60000ul);
        m_bStarted = true;
        const int rv = SaveAnotherRecordFile();
        if (rv != 0) {
            m_bStarted = false;
            return rv;
        }
        return UC_OK;
    }
    const int rv = OpenMediaFile(m_strMediaFile, 0);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Start, can't open the file, strFullFileName="
                                               << m_strMediaFile << ", rv =" << rv);
        return rv;
    }
    m_bStarted = true;
    return UC_OK;
}

int CSTDFLVRecorder::SetAudioPriority(AudioPriority& audio) {
    m_audio = audio;
    if (m_audio.format == FLV_SOUND_AAC) {
        m_audio.rate = FLV_RATE_44KHZ;
        m_audio.is8Bit = 0;
        m_audio.isMono = 0;
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Start, USE aac");
    }
    m_byAudio = CFlvioTag::GetAudioType(m_audio.format, m_audio.rate, m_audio.is8Bit, m_audio.isMono);
    return UC_OK;
}

int CSTDFLVRecorder::OpenMediaFile(const std::string& path, unsigned long timeBase) {
    auto writer = std::make_unique<CFlvWriter>();
    int rv = writer->Init(path, timeBase, 0, 2);
    if (rv != 0) return rv;
    unsigned long id = 0;
    writer->CreateAudioStream(m_audio.format, m_audio.rate, m_audio.is8Bit, m_audio.isMono, id);
    writer->CreateVideoStream(FLV_CODEC_AVC, id);
    rv = writer->CreateMetaData(0, m_nVideoWidth, m_nVideoHigh, 0, 0, FLV_CODEC_AVC, 0, 0.0, m_audio.format, 0,
                                m_dwMetaPos, m_dwMetaLen, 1);
    if (rv != 0) return rv;
    if (writer->GetLastWriteError() != 0) return writer->GetLastWriteError();
    m_dwMediaDataPos = writer->GetPos();
    m_pWriter = std::move(writer);
    // A new file needs both configurations again before its first frames.
    m_bAacConfigWritten = false;
    m_bConfigPending = !m_strAVCConfig.empty();
    return UC_OK;
}

std::string CSTDFLVRecorder::NextSegmentName() {
    static std::mt19937 rng(static_cast<unsigned>(GetTickNs()));
    unsigned long long value = rng();
    if (value == 0) value = get_tick_count();
    value *= (m_segments.size() + 217) * 59ull;
    std::string digits = std::to_string(value);
    for (char& c : digits) c = static_cast<char>(c + 55);
    if (digits.size() > 10) digits.resize(10);
    std::string name = digits;
    while (m_usedNames.count(name)) name = digits + std::to_string(get_tick_count()) + std::to_string(m_usedNames.size());
    m_usedNames.insert(name);
    return name + ".qrf";
}

int CSTDFLVRecorder::SaveAnotherRecordFile() {
    if (m_pWriter) CloseSegment();
    const std::string name = NextSegmentName();
    const unsigned long start = m_dwLastTime;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::SaveAnotherRecordFile, filename=" << name
                                           << ", m_dwRecordStartTime=" << start);
    const int rv = OpenMediaFile(m_strRecordPath + name, start);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::SaveAnotherRecordFile, can't open the file="
                                               << name << ", rv =" << rv);
        return rv;
    }
    Segment seg;
    seg.name = name;
    seg.start = start;
    seg.videoKeyLen = m_modules[MOD_VIDEOKEY].size();
    m_segments.push_back(seg);
    m_dwSegmentStart = start;
    m_events.Reset(start);
    m_nAnnoSegStart = m_modules[MOD_ANNOTATION].size();
    m_nChatSegStart = m_strChat.size();
    // The index follows every finished segment, so a recording cut off
    // later still describes what it holds.
    if (m_segments.size() > 1) WriteDataIndex(false);
    return UC_OK;
}

void CSTDFLVRecorder::CloseSegment() {
    if (!m_pWriter || m_segments.empty()) return;
    UpdateMetaData();
    Segment& seg = m_segments.back();
    seg.size = m_pWriter->GetPos();
    seg.stop = m_dwLastTime;
    m_pWriter->Finished();
    m_pWriter.reset();
    m_dwSegmentBytes += seg.size;
    ++m_nSideFileNo;
    const std::string& anno = m_modules[MOD_ANNOTATION];
    if (anno.size() > m_nAnnoSegStart) {
        seg.annoFile = CRecordText::Format("anno%u.xml", m_nSideFileNo);
        WriteTextFile(seg.annoFile, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><module name=\"annotation\">" +
                                        anno.substr(m_nAnnoSegStart) + "</module>");
    }
    if (m_strChat.size() > m_nChatSegStart) {
        seg.chatFile = CRecordText::Format("chat%u.xml", m_nSideFileNo);
        WriteTextFile(seg.chatFile, "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><module name=\"chat\">" +
                                        m_strChat.substr(m_nChatSegStart) + "</module>");
    }
    seg.events = m_events.GetXml();
    std::string element = CRecordText::Format("<multirecord starttimestamp=\"%.3f\" stoptimestamp=\"%.3f\" duration=\"%.3f\" "
                              "multimedia=\"%s\" filesize=\"%u\" havevideo=\"%s\"",
                              Sec(seg.start), Sec(seg.stop), Sec(seg.stop - seg.start), Esc(seg.name).c_str(),
                              U(seg.size), Bool(seg.haveVideo));
    if (!seg.chatFile.empty()) element += CRecordText::Format(" chat=\"%s\"", seg.chatFile.c_str());
    if (!seg.annoFile.empty()) element += CRecordText::Format(" anno=\"%s\"", seg.annoFile.c_str());
    element += seg.events.empty() ? std::string("/>") : ">" + seg.events + "</multirecord>";
    m_modules[MOD_MULTIRECORD] += element;
}

bool CSTDFLVRecorder::MediaTime(unsigned long timeStamp, bool audio, unsigned long& mediaTime) {
    const unsigned long tick = get_tick_count();
    if (!m_bHaveStart) {
        m_bHaveStart = true;
        m_dwStartTime = timeStamp;
        m_dwLastTimeStamp = timeStamp;
        m_dwRefTick = tick;
        m_tAVStart = std::time(nullptr);
    } else {
        if (timeStamp > m_dwLastTimeStamp && timeStamp - m_dwLastTimeStamp > kGapLimit &&
            tick - m_dwRefTick > kGapTickLimit) {
            const unsigned long dwAVDiff = timeStamp - m_dwLastTimeStamp;
            if (audio) {
                UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawMP3,av timestamp too long, dwAVDiff=" << dwAVDiff);
            } else {
                UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawAVC,av timestamp too long, dwAVDiff=" << dwAVDiff);
            }
            m_dwPauseTimeInterval += dwAVDiff;
        }
        // The largest stamp is the reference: one stamp that goes back does
        // not make the next regular one look like a gap.
        m_dwLastTimeStamp = std::max(m_dwLastTimeStamp, timeStamp);
        m_dwRefTick = tick;
    }
    const long long t = static_cast<long long>(timeStamp) - static_cast<long long>(m_dwPauseTimeInterval) -
                        static_cast<long long>(m_dwStartTime);
    unsigned long mt = t > 0 ? static_cast<unsigned long>(t) : 0;
    if (mt < m_dwLastTime) {
        if (audio) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CSTDFLVRecorder::RecordRawMP3,dwTimeStamp=" << timeStamp
                                                      << ",dwLastTime=" << m_dwLastTime);
        }
        mt = m_dwLastTime;
    }
    m_dwLastTime = mt;
    mediaTime = mt;
    return true;
}

int CSTDFLVRecorder::WriteTag(bool audio, unsigned long mediaTime, CDataPackage& body, unsigned long* pos) {
    const unsigned ts = static_cast<unsigned>(mediaTime);
    const int rv = audio ? m_pWriter->WriteAudio(ts, body, 0, pos) : m_pWriter->WriteVideo(ts, body, 0, pos);
    if (rv != 0) return rv;
    if (const int err = m_pWriter->GetLastWriteError(); err != 0) {
        if (m_nWriteError == 0) {
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, "CSTDFLVRecorder::WriteTag, write failed, errno=" << err);
        }
        m_nWriteError = err;
        return UC_ERR_BAD_DATA;
    }
    return UC_OK;
}

int CSTDFLVRecorder::RecordRawMP3(unsigned long timeStamp, CDataPackage& data, unsigned long) {
    UC_ASSERTE_RETURN(m_dwPauseTimeStamp == 0, UC_ERR_NO_ROOM);
    UC_ASSERTE_RETURN(m_pWriter, UC_ERR_NO_ROOM);
    const std::string frame = data.FlattenPackage();
    const bool aac = m_audio.format == FLV_SOUND_AAC;
    char config[5];
    unsigned configLen = sizeof(config);
    if (aac) {
        UC_ASSERTE_RETURN(data.GetPackageLength() > 7, UC_ERR_BAD_DATA);
        const auto* h = reinterpret_cast<const unsigned char*>(frame.data());
        if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) return UC_ERR_BAD_DATA;  // no ADTS header
        if (!m_bAacConfigWritten && !GetAACConfigureFromAdts(frame.data(), kAdtsLen, config, &configLen))
            return UC_ERR_BAD_DATA;
    } else if (frame.empty()) {
        return UC_ERR_BAD_DATA;
    }
    if (m_bHaveAudioStamp && timeStamp < m_dwLastAudioStamp) timeStamp = m_dwLastAudioStamp + 1;
    m_bHaveAudioStamp = true;
    m_dwLastAudioStamp = timeStamp;
    unsigned long mt = 0;
    MediaTime(timeStamp, true, mt);

    int rv = UC_OK;
    if (aac && !m_bAacConfigWritten) {
        CDataPackage cfg(2 + configLen);
        const unsigned char head[2] = {m_byAudio, 0};
        cfg.Write(head, 2);
        cfg.Write(config, configLen);
        rv = WriteTag(true, mt, cfg, nullptr);
        if (rv != 0) return rv;
        m_bAacConfigWritten = true;
    }
    const std::size_t skip = aac ? kAdtsLen : 0;
    const std::size_t prefix = aac ? 2 : 1;
    CDataPackage body(prefix + frame.size() - skip);
    const unsigned char head[2] = {m_byAudio, 1};
    body.Write(head, prefix);
    body.Write(frame.data() + skip, frame.size() - skip);
    unsigned long pos = 0;
    rv = WriteTag(true, mt, body, &pos);
    if (rv != 0) return rv;
    m_bSawAudio = true;
    m_dwLastAudioTime = mt;
    if (m_dwSegmentLen != 0 && (m_events.IsEmpty() || mt >= m_dwLastAudioIndexTime + kAudioIndexStep)) {
        m_events.AddAudioIndex(mt, pos);
        m_dwLastAudioIndexTime = mt;
    }
    CheckSaveXML();
    return UC_OK;
}

int CSTDFLVRecorder::SetAVCConfigure(CDataPackage& data) {
    if (data.GetPackageLength() == 0) return UC_ERR_BAD_ARGUMENT;
    std::string body("\x17\x00\x00\x00\x00", 5);
    body += data.FlattenPackage();
    if (body == m_strAVCConfig) return UC_OK;
    m_strAVCConfig = body;
    m_bConfigPending = true;
    return UC_OK;
}

int CSTDFLVRecorder::RecordRawAVC(unsigned long timeStamp, CDataPackage& data, AVCPackageType type) {
    UC_ASSERTE_RETURN(m_dwPauseTimeStamp == 0, UC_ERR_NO_ROOM);
    UC_ASSERTE_RETURN(m_pWriter, UC_ERR_BAD_DATA);
    if (type == AVC_PACKAGE_CONFIG) return SetAVCConfigure(data);
    const bool key = type == AVC_PACKAGE_KEY;
    if (!m_bGotKey && !key) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawAVC, still not get the key");
        return UC_ERR_NO_ROOM;
    }
    if (data.GetPackageLength() == 0) return UC_ERR_BAD_DATA;
    if (key && m_strAVCConfig.empty()) {
        // A key frame nobody can decode: the configuration must come first.
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawAVC, no configuration before the key frame");
        return UC_ERR_NO_ROOM;
    }
    unsigned long mt = 0;
    MediaTime(timeStamp, false, mt);

    int rv = UC_OK;
    if (key && m_dwSegmentLen != 0) {
        const unsigned long length = m_bGotKey ? m_dwSegmentLen : kFirstSegmentLen;
        const bool hasMedia = m_pWriter->GetPos() > m_dwMediaDataPos;
        if (hasMedia && (mt >= m_dwSegmentStart + length || m_pWriter->GetPos() > kMaxSegmentBytes ||
                         (m_bSawAudio && mt - m_dwLastAudioTime >= kAudioSilence))) {
            rv = SaveAnotherRecordFile();
            if (rv != 0) return rv;
        }
    }
    if (key) m_bGotKey = true;
    unsigned long pos = m_pWriter->GetPos();
    int isConfig = 0;
    if (key && (m_bConfigPending || (m_dwSegmentLen == 0 && mt - m_dwConfigTime >= kConfigRepeat))) {
        CDataPackage cfg(m_strAVCConfig.size(), m_strAVCConfig.data(), CDataPackage::FLAG_WRAP, m_strAVCConfig.size());
        rv = WriteTag(false, mt, cfg, nullptr);
        if (rv != 0) return rv;
        m_bConfigPending = false;
        m_dwConfigTime = mt;
        isConfig = 1;
    }
    const std::string frame = data.FlattenPackage();
    CDataPackage body(5 + frame.size());
    const unsigned char head[5] = {static_cast<unsigned char>(key ? 0x17 : 0x27), 1, 0, 0, 0};
    body.Write(head, 5);
    body.Write(frame.data(), frame.size());
    unsigned long framePos = 0;
    rv = WriteTag(false, mt, body, &framePos);
    if (rv != 0) return rv;
    if (!isConfig) pos = framePos;
    if (key) {
        m_modules[MOD_VIDEOKEY] += CRecordText::Format("<videokey timestamp=\"%.3f\" filepos = \"%u\" isconfig=\"%u\"/>", Sec(mt),
                                       U(pos), static_cast<unsigned>(isConfig));
        if (m_dwSegmentLen != 0) m_events.AddVideoKey(mt, pos, isConfig);
    }
    m_bHaveVideo = true;
    if (!m_segments.empty()) m_segments.back().haveVideo = true;
    CheckSaveXML();
    return UC_OK;
}

void CSTDFLVRecorder::UpdateMetaData() {
    if (!m_pWriter) return;
    const unsigned long start = m_dwSegmentLen != 0 ? m_dwSegmentStart : 0;
    const unsigned duration = static_cast<unsigned>((m_dwLastTime > start ? m_dwLastTime - start : 0) / 1000);
    unsigned long pos = 0, len = 0;
    if (m_pWriter->Seek(static_cast<long>(m_dwMetaPos), 0) != 0) return;
    m_pWriter->CreateMetaData(duration, m_nVideoWidth, m_nVideoHigh, 0, 0, FLV_CODEC_AVC, 0, 0.0, m_audio.format, 0,
                              pos, len, 1);
    m_pWriter->Seek(0, 2);
    m_pWriter->Flush();
}

void CSTDFLVRecorder::CheckSaveXML() {
    if (m_dwSegmentLen != 0) return;
    const std::time_t now = std::time(nullptr);
    if (now - m_tLastSave < kSaveInterval) return;
    m_tLastSave = now;
    UpdateMetaData();
    WriteDataIndex(false);
}

bool CSTDFLVRecorder::WriteTextFile(const std::string& name, const std::string& text) {
    if (CRecordText::WriteFileAtomically(m_strRecordPath + name, text)) return true;
    UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CSTDFLVRecorder::WriteTextFile, can't write the file=" << name);
    return false;
}

bool CSTDFLVRecorder::WriteBinaryFile(const std::string& name, const std::string& bytes) {
    return WriteTextFile(name, bytes);
}

int CSTDFLVRecorder::RecordRawData(unsigned long timeStamp, CDataPackage& data, CDataInfo* info) {
    UC_ASSERTE_RETURN(m_dwPauseTimeStamp == 0, UC_ERR_NO_ROOM);
    if (!info) return UC_OK;
    if (!m_bStarted) return UC_ERR_NO_ROOM;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawData, type=" << static_cast<unsigned>(info->type));
    const unsigned long now = m_dwLastTime;
    switch (info->type) {
        case RECORD_DATA_DOCUMENT:
        case RECORD_DATA_PAGE:
        case RECORD_DATA_PAGE_UPDATE: {
            const int rv = RecordDocPage(now, data, *info);
            if (rv == 0 && info->type == RECORD_DATA_PAGE) {
                // The mark ClearAV returns to.
                m_mark.valid = true;
                m_mark.filePos = m_dwMediaDataPos;
                for (int i = 0; i < MOD_COUNT; ++i) m_mark.lens[i] = m_modules[i].size();
                m_mark.actions = m_actions.size();
                m_mark.photos = m_photos.size();
                m_mark.pageTimeStamp = timeStamp;
                m_mark.pauseInterval = m_dwPauseTimeInterval;
                m_mark.lastTime = m_dwLastTime;
                m_mark.segment = m_segments.empty() ? 0 : m_segments.size() - 1;
                m_mark.segmentStart = m_dwSegmentStart;
                m_mark.events = m_dwSegmentLen != 0 ? std::make_unique<CRecordEventXml>(m_events) : nullptr;
                m_dwCurrentPageTimeStamp = timeStamp;
            }
            return rv;
        }
        case RECORD_DATA_ANNOTATION: return RecordAnno(data.FlattenPackage());
        case RECORD_DATA_VOTE: return RecordVote(data.FlattenPackage(), false);
        case RECORD_DATA_SURVEY: return RecordVote(data.FlattenPackage(), true);
        case RECORD_DATA_ACTION: return RecordAction(data.FlattenPackage());
        case RECORD_DATA_LIVETEXT: return RecordLiveText(data.FlattenPackage());
        case RECORD_DATA_PHOTO: return RecordPhoto(data, *info);
        case RECORD_DATA_LOTTERY: return RecordLottery(*info);
        case RECORD_DATA_LAYOUT: return RecordLayout(*info);
        case RECORD_DATA_BDINFO: return RecordBDInfo(data.FlattenPackage());
        case RECORD_DATA_CHAT: return RecordChat(data.FlattenPackage());
        case RECORD_DATA_BROWSER_URL: return RecordBrowserURL(data.FlattenPackage());
        default: return UC_OK;
    }
}

int CSTDFLVRecorder::RecordDocPage(unsigned long now, CDataPackage& data, const CDataInfo& info) {
    if (info.type == RECORD_DATA_DOCUMENT) {
        m_bHaveDoc = true;
        m_bHavePage = false;
        m_dwCurDocId = info.id;
        DPEvent ev;
        ev.type = 0;
        ev.time = now;
        ev.id = info.id;
        ev.docType = info.docType;
        ev.name = info.name;
        m_dpEvents.push_back(ev);
        return UC_OK;
    }
    if (!m_bHaveDoc) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::WriteDPXML, wrong type=" << 255);
        UC_ASSERT_TEXT("FALSE");
        return UC_ERR_NO_ROOM;
    }
    const unsigned long pageId = info.type == RECORD_DATA_PAGE ? info.id : m_dwCurPageId;
    if (info.type == RECORD_DATA_PAGE_UPDATE && !m_bHavePage) return UC_ERR_NO_ROOM;
    std::string extra;
    if (data.GetPackageLength() > 0) {
        const std::string file = CRecordText::Format("%u_%u.swf", U(m_dwCurDocId), U(pageId));
        if (WriteBinaryFile(file, data.FlattenPackage())) extra += CRecordText::Format(" content =\"%s\"", file.c_str());
    }
    if (!info.thumbnail.empty()) {
        const std::string file = CRecordText::Format("thumb%u_%u.swf", U(m_dwCurDocId), U(pageId));
        if (WriteBinaryFile(file, info.thumbnail)) extra += CRecordText::Format(" thumb = \"%s\"", file.c_str());
    }
    if (!info.pageText.empty()) {
        const std::string file = CRecordText::Format("page%u_%u.txt", U(m_dwCurDocId), U(pageId));
        if (WriteTextFile(file, info.pageText)) extra += CRecordText::Format(" text = \"%s\" ", file.c_str());
    }
    if (!info.url.empty()) UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawData, PAGE URL=" << info.url);
    if (!info.animation.empty()) {
        const std::string animation = CUtilAPI::UnLegalXMLUTF82Space(info.animation);
        if (CXmlFragmentCheck::IsWellFormed(animation)) {
            m_modules[MOD_ANIMATION] += animation;
        } else {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawData, wrong animation xml=" << info.animation);
        }
    }
    if (info.type == RECORD_DATA_PAGE_UPDATE) {
        // New resources of the page on show: they join its queued entry.
        for (auto it = m_dpEvents.rbegin(); it != m_dpEvents.rend(); ++it) {
            if (it->type != 1) continue;
            // A file written again keeps its one attribute.
            for (const char* attribute : {" content =", " thumb = ", " text = "}) {
                const std::size_t at = extra.find(attribute);
                if (at == std::string::npos || it->extra.find(attribute) != std::string::npos) continue;
                const std::size_t end = extra.find('"', extra.find('"', at) + 1);
                it->extra += extra.substr(at, end + 1 - at);
            }
            if (!info.url.empty()) it->url = info.url;
            break;
        }
        return UC_OK;
    }
    m_bHavePage = true;
    m_dwCurPageId = pageId;
    DPEvent ev;
    ev.type = 1;
    ev.time = now;
    ev.id = pageId;
    ev.name = info.name;
    ev.extra = extra;
    ev.height = info.height;
    ev.width = info.width;
    ev.speedup = info.speedup;
    ev.step = info.step;
    ev.url = info.url;
    m_dpEvents.push_back(ev);
    return UC_OK;
}

int CSTDFLVRecorder::UpdatePageInfo(unsigned long, unsigned long, const std::string& info, unsigned char type) {
    if (!m_bStarted || !m_bHavePage) return UC_ERR_NO_ROOM;
    CDataInfo update;
    update.type = RECORD_DATA_PAGE_UPDATE;
    if (type == 0) {
        update.pageText = info;
    } else {
        update.url = info;
    }
    CDataPackage none;
    return RecordDocPage(m_dwLastTime, none, update);
}

int CSTDFLVRecorder::WriteDPXML(const DPEvent& ev, std::string& out, unsigned char& lastType,
                                unsigned long& lastTime, unsigned long& pageStart) const {
    if (ev.type != 0 && ev.type != 1) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::WriteDPXML, wrong, type=" << static_cast<unsigned>(ev.type));
        return UC_ERR_NO_ROOM;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::WriteDPXML, type=" << static_cast<unsigned>(ev.type)
                                           << ", id=" << ev.id << ",dwTimeStamp=" << ev.time);
    const double t = Sec(ev.time);
    std::string text;
    if (ev.type == 0) {
        const std::string name = Esc(ev.name);
        const std::string open = CRecordText::Format("<document name =\"%s\" id = \"%u\" type= \"%d\" timestamp = \"%.3f\">",
                                     name.c_str(), U(ev.id), ev.docType, t);
        if (lastType == 255) {
            text = open;
        } else if (lastType == 1) {
            text = CRecordText::Format(" stoptimestamp = \"%.3f\" /></document> ", t) + open;
        } else {
            // A document without pages: close it and go on with the new one.
            text = "</document> " + open;
        }
    } else {
        if (lastType == 255) {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::WriteDPXML, wrong type=" << static_cast<unsigned>(lastType));
            UC_ASSERT_TEXT("FALSE");
            return UC_ERR_NO_ROOM;
        }
        const std::string title = Esc(ev.name);
        const bool withTitle = !ev.name.empty() && ev.name.size() < kMaxTitleLen;
        const double start = lastType == 1 ? t : Sec(lastTime);
        const char* speedup = Bool(ev.speedup);
        if (lastType == 1) {
            text = withTitle ? CRecordText::Format(" stoptimestamp=\"%.3f\" /><page id = \"%d\" title=\"%s\" %s height = \"%d\" width = "
                                   "\"%d\" starttimestamp =\"%.3f\" speedup=\"%s\" step=\"%u\" ",
                                   t, static_cast<int>(ev.id), title.c_str(), ev.extra.c_str(), static_cast<int>(ev.height),
                                   static_cast<int>(ev.width), start, speedup, ev.step)
                             : CRecordText::Format(" stoptimestamp=\"%.3f\" /><page id = \"%d\"  %s height = \"%d\" width = \"%d\" "
                                   "starttimestamp =\"%.3f\" speedup=\"%s\" step=\"%u\" ",
                                   t, static_cast<int>(ev.id), ev.extra.c_str(), static_cast<int>(ev.height),
                                   static_cast<int>(ev.width), start, speedup, ev.step);
        } else {
            text = withTitle ? CRecordText::Format("<page id = \"%d\" title=\"%s\"  %s height = \"%d\" width = \"%d\" starttimestamp "
                                   "=\"%.3f\" speedup=\"%s\" step=\"%u\" ",
                                   static_cast<int>(ev.id), title.c_str(), ev.extra.c_str(), static_cast<int>(ev.height),
                                   static_cast<int>(ev.width), start, speedup, ev.step)
                             : CRecordText::Format("<page id = \"%d\"  %s height = \"%d\" width = \"%d\" starttimestamp =\"%.3f\" "
                                   "speedup=\"%s\" step=\"%u\" ",
                                   static_cast<int>(ev.id), ev.extra.c_str(), static_cast<int>(ev.height),
                                   static_cast<int>(ev.width), start, speedup, ev.step);
        }
        if (!ev.url.empty()) text += CRecordText::Format(" url=\"%s\"", Esc(ev.url).c_str());
        pageStart = ev.time;
    }
    lastTime = ev.time;
    out += text;
    lastType = ev.type;
    return UC_OK;
}

std::string CSTDFLVRecorder::DocumentModule(unsigned long endTime) const {
    if (m_dpEvents.empty()) return {};
    std::string text = kModuleOpen[MOD_DOCUMENT];
    unsigned char lastType = 255;
    unsigned long lastTime = 0, pageStart = 0;
    for (const DPEvent& ev : m_dpEvents) WriteDPXML(ev, text, lastType, lastTime, pageStart);
    if (lastType == 255) return {};
    if (lastType == 1) text += CRecordText::Format(" stoptimestamp=\"%.3f\" />", Sec(std::max(endTime, pageStart)));
    return text + "</document></module>";
}

std::string CSTDFLVRecorder::ActionModule() const {
    if (m_actions.empty()) return {};
    std::string text = kModuleOpen[MOD_ACTION];
    for (std::size_t i = 0; i < m_actions.size(); ++i) {
        const Action& a = m_actions[i];
        if (i == 0 || a.doc != m_actions[i - 1].doc || a.page != m_actions[i - 1].page) {
            if (i != 0) text += "</docpage>";
            text += CRecordText::Format("<docpage docid=\"%u\" pageid=\"%u\">", U(a.doc), U(a.page));
        }
        text += a.entry;
    }
    return text + "</docpage></module>";
}

int CSTDFLVRecorder::RecordAnno(const std::string& received) {
    const std::string xml = CUtilAPI::UnLegalXMLUTF82Space(received);
    unsigned long time = m_dwLastTime;
    if (!m_dpEvents.empty() && m_dpEvents.back().type == 1)
        time = std::max(time, m_dpEvents.back().time + kAnnoAfterPage);
    int result = UC_OK;
    for (std::size_t from = 0;;) {
        const std::size_t begin = xml.find("<command", from);
        if (begin == std::string::npos) break;
        const std::size_t end = xml.find("</command>", begin);
        if (end == std::string::npos) break;
        from = end + 10;
        const int rv = RecordAnnoCommand(xml.substr(begin, from - begin), time);
        if (result == UC_OK) result = rv;
    }
    return result;
}

int CSTDFLVRecorder::RecordAnnoCommand(const std::string& command, unsigned long time) {
    std::string type;
    CUtilAPI::XMLGetAttribute(command, "type", type);
    if (type == "1" || type == "9") {
        if (time < m_dwNextAnnoTime) return UC_OK;
        m_dwNextAnnoTime = time + kAnnoThinning;
    }
    const std::size_t p = command.find("timestamp");
    std::size_t q1 = 0, q2 = 0;
    if (p == std::string::npos || !QuotesAfter(command, p, q1, q2)) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAnno, wrong xml, strAnnoXML=" << command);
        return UC_ERR_BAD_ARGUMENT;
    }
    std::string entry = command.substr(0, p) + CRecordText::Format(" timestamp=\"%.3f\"", Sec(time));
    if (m_bHaveDoc && m_bHavePage) entry += CRecordText::Format(" documentid=\"%u\" pageid=\"%u\" ", U(m_dwCurDocId), U(m_dwCurPageId));
    entry += command.substr(q2 + 1);

    std::string flag;
    if (type == "2" && CUtilAPI::XMLGetAttribute(entry, "flag", flag) && !flag.empty()) {
        const std::size_t a = entry.find("<p>");
        const std::size_t b = entry.rfind("</p>");
        if (a == std::string::npos || b == std::string::npos || b < a) return UC_OK;
        const std::string points = entry.substr(a, b + 4 - a);
        if (flag == "begin") {
            int rv = UC_OK;
            if (!m_strFreePen.empty()) {
                const std::string pending = m_strFreePen + "</command>";
                m_strFreePen.clear();
                rv = CXmlFragmentCheck::IsWellFormed(pending) ? (AppendAnno(pending), UC_OK) : UC_ERR_BAD_ARGUMENT;
            }
            const std::size_t f = entry.find("flag");
            std::size_t f1 = 0, f2 = 0;
            if (!QuotesAfter(entry, f, f1, f2)) return UC_ERR_BAD_ARGUMENT;
            const std::size_t gt = entry.find('>', f2 + 1);
            if (gt == std::string::npos) return UC_ERR_BAD_ARGUMENT;
            m_strFreePen = entry.substr(0, f) + entry.substr(f2 + 1, gt + 1 - (f2 + 1)) + points;
            return rv;
        }
        UC_ASSERTE_RETURN(!m_strFreePen.empty(), UC_ERR_BAD_DATA);
        m_strFreePen += points;
        if (flag != "end") return UC_OK;
        entry = m_strFreePen + "</command>";
        m_strFreePen.clear();
    }
    if (!CXmlFragmentCheck::IsWellFormed(entry)) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAnno, wrong xml, strAnnoXML=" << command);
        return UC_ERR_BAD_ARGUMENT;
    }
    AppendAnno(entry);
    return UC_OK;
}

void CSTDFLVRecorder::AppendAnno(const std::string& entry) { m_modules[MOD_ANNOTATION] += entry; }

int CSTDFLVRecorder::RecordVote(const std::string& received, bool survey) {
    const std::string xml = CUtilAPI::UnLegalXMLUTF82Space(received);
    if (!survey) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordVote, strVoteXML=" << received);
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordVote, 1strVoteXML=" << xml);
    }
    const std::size_t p = xml.find("timestamp");
    std::size_t q1 = 0, q2 = 0;
    std::string entry;
    if (p != std::string::npos && QuotesAfter(xml, p, q1, q2)) {
        entry = xml.substr(0, p) + CRecordText::Format(survey ? " timestamp=\"%.3f\"" : " timestamp=\"%.3f \"", Sec(m_dwLastTime)) +
                xml.substr(q2 + 1);
    }
    if (entry.empty() || !CXmlFragmentCheck::IsWellFormed(entry)) {
        if (survey) {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordSurvey, wrong xml, strAnnoXML=" << received);
        } else {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordVote, wrong xml, strAnnoXML=" << received);
        }
        return UC_ERR_BAD_ARGUMENT;
    }
    m_modules[survey ? MOD_SURVEY : MOD_VOTE] += entry;
    if (m_dwSegmentLen != 0) {
        std::string id;
        CUtilAPI::XMLGetAttribute(entry, "id", id);
        AddSingleEvent("single", Esc(id));
    }
    return UC_OK;
}

void CSTDFLVRecorder::AddSingleEvent(const char* type, const std::string& content) {
    m_events.AddEvent(type, std::max(m_dwLastTime, m_events.GetRelativeTime()), content);
}

int CSTDFLVRecorder::RecordAction(const std::string& received) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAction, dwTimeStamp=" << m_dwLastTime
                                           << ", strAction=" << received);
    if (!m_bHaveDoc || !m_bHavePage) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAction, no page, strAction=" << received);
        return UC_OK;
    }
    const std::string xml = CUtilAPI::UnLegalXMLUTF82Space(received);
    std::size_t begin = xml.find("timestamp"), end = 0;
    std::size_t q1 = 0;
    if (begin != std::string::npos) {
        if (!QuotesAfter(xml, begin, q1, end)) begin = std::string::npos;
        else ++end;
    } else {
        begin = end = xml.find("/>");
    }
    if (begin == std::string::npos) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAction, wrong xml, strAnnoXML=" << received);
        return UC_ERR_BAD_ARGUMENT;
    }
    // An action that names its own document or page keeps those attributes;
    // only the ones it lacks are added.
    std::string attributes = CRecordText::Format(" timestamp=\"%.3f\"", Sec(m_dwLastTime));
    if (!HasAttribute(xml, "documentid")) attributes += CRecordText::Format(" documentid=\"%u\"", U(m_dwCurDocId));
    if (!HasAttribute(xml, "pageid")) attributes += CRecordText::Format(" pageid=\"%u\"", U(m_dwCurPageId));
    const std::string entry = xml.substr(0, begin) + attributes + xml.substr(end);
    if (!CXmlFragmentCheck::IsWellFormed(entry)) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAction, wrong xml, strAnnoXML=" << received);
        return UC_ERR_BAD_ARGUMENT;
    }
    m_actions.push_back({m_dwCurDocId, m_dwCurPageId, entry});
    if (m_dwSegmentLen != 0) AddSingleEvent("dump", entry);
    return UC_OK;
}

int CSTDFLVRecorder::RecordLiveText(const std::string& received) {
    if (received.empty()) return UC_OK;
    const std::string text = CUtilAPI::UnLegalXMLUTF82Space(received);
    std::string ems, lang, content = text;
    if (CUtilAPI::XMLGetElement(text, "ems", ems)) {
        CUtilAPI::XMLGetAttribute(ems, "lang", lang);
        const std::size_t npos = ems.find("![CDATA[");
        std::size_t npos1 = std::string::npos;
        content.clear();
        if (npos != std::string::npos) {
            npos1 = ems.find("]]>", npos);
            if (npos1 != std::string::npos) content = ems.substr(npos + 8, npos1 - npos - 8);
        } else {
            const std::size_t gt = ems.find('>');
            npos1 = ems.rfind("</ems>");
            if (gt != std::string::npos && npos1 != std::string::npos && npos1 > gt)
                content = ems.substr(gt + 1, npos1 - gt - 1);
        }
        if (content.empty()) {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordLiveText,npos=" << npos << ", npos1=" << npos1
                                                   << ", strEms=" << ems);
        }
    }
    // The language goes in escaped and whole (no opening cut at a fixed size).
    m_strLiveText += lang.empty() ? CRecordText::Format("<LiveTextItem timestamp=\"%u\"><![CDATA[", U(m_dwLastTime))
                                  : CRecordText::Format("<LiveTextItem timestamp=\"%u\" lang=\"%s\"><![CDATA[", U(m_dwLastTime),
                                        CUtilAPI::XMLSCEncode(lang).c_str());
    m_strLiveText += CData(content) + "]]></LiveTextItem>";
    return UC_OK;
}

int CSTDFLVRecorder::RecordPhoto(CDataPackage& data, const CDataInfo& info) {
    if (data.GetPackageLength() == 0) return UC_ERR_BAD_ARGUMENT;
    Photo photo;
    photo.file = CRecordText::Format("photo%u.jpg", static_cast<unsigned>(m_photos.size() + 1));
    if (!WriteBinaryFile(photo.file, data.FlattenPackage())) return UC_ERR_BAD_DATA;
    photo.width = info.width;
    photo.height = info.height;
    photo.start = m_dwLastTime;
    m_photos.push_back(photo);
    return UC_OK;
}

int CSTDFLVRecorder::RecordLottery(const CDataInfo& info) {
    m_modules[MOD_LOTTERY] +=
        info.name.empty()
            ? CRecordText::Format("<lottery cmd=\"%u\" timestamp =\"%.3f\" />", U(info.id), Sec(m_dwLastTime))
            : CRecordText::Format("<lottery cmd=\"%u\" timestamp =\"%.3f\" info=\"%s\" />", U(info.id), Sec(m_dwLastTime), Esc(info.name).c_str());
    return UC_OK;
}

int CSTDFLVRecorder::RecordLayout(const CDataInfo& info) {
    m_modules[MOD_LAYOUT] += CRecordText::Format("<layout type=\"%u\" timestamp=\"%.3f\" />", U(info.id), Sec(m_dwLastTime));
    return UC_OK;
}

int CSTDFLVRecorder::RecordBDInfo(const std::string& text) {
    // No element of the index describes this event; it is logged only.
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordBDInfo, info=" << text);
    return UC_OK;
}

int CSTDFLVRecorder::RecordChat(const std::string& received) {
    if (received.empty()) return UC_OK;
    const std::string text = CUtilAPI::UnLegalXMLUTF82Space(received);
    // Chat lines that are markup (formatting) stay markup; anything else is text.
    const std::string body = CXmlFragmentCheck::IsWellFormed(text) ? text : CUtilAPI::XMLSCEncode(text);
    m_strChat += CRecordText::Format("<chat timestamp=\"%.3f\">", Sec(m_dwLastTime)) + body + "</chat>";
    return UC_OK;
}

int CSTDFLVRecorder::RecordBrowserURL(const std::string& url) {
    if (url.empty()) return UC_OK;
    m_modules[MOD_BROWSER] += CRecordText::Format("<url timestamp=\"%.3f\"><![CDATA[", Sec(m_dwLastTime)) +
                              CData(CUtilAPI::UnLegalXMLUTF82Space(url)) + "]]></url>";
    return UC_OK;
}

int CSTDFLVRecorder::Pause(int play, unsigned long timeStamp) {
    if (!m_bStarted) return UC_ERR_NO_ROOM;
    if (!play) {
        if (m_dwPauseTimeStamp != 0) return UC_ERR_NO_ROOM;
        m_dwPauseTimeStamp = timeStamp ? timeStamp : 1;
        m_tPauseBegin = std::time(nullptr);
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Pause, paused, dwTimeStamp=" << timeStamp);
        return UC_OK;
    }
    if (m_dwPauseTimeStamp == 0) return UC_ERR_NO_ROOM;
    if (timeStamp > m_dwPauseTimeStamp) m_dwPauseTimeInterval += timeStamp - m_dwPauseTimeStamp;
    m_dwPauseTimeStamp = 0;
    // The paused time is booked already: the first stamp after it is no gap.
    if (m_bHaveStart) {
        m_dwLastTimeStamp = std::max(m_dwLastTimeStamp, timeStamp);
        m_dwRefTick = get_tick_count();
    }
    m_pauses.emplace_back(m_tPauseBegin, std::time(nullptr));
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Pause, resume,m_dwPauseTimeInterval=" << m_dwPauseTimeInterval);
    return UC_OK;
}

int CSTDFLVRecorder::AsStart(unsigned long width, unsigned long height, unsigned long fps) {
    if (m_bAsRunning) AsStop();
    m_bAsRunning = true;
    m_dwAsWidth = width;
    m_dwAsHeight = height;
    m_dwAsFps = fps;
    m_dwAsStart = m_dwLastTime;
    return UC_OK;
}

int CSTDFLVRecorder::AsStop() {
    if (!m_bAsRunning) return UC_OK;
    m_bAsRunning = false;
    m_modules[MOD_AS] += CRecordText::Format("<screen width=\"%u\" height=\"%u\" fps=\"%u\" timestamp=\"%.3f\" stop=\"%.3f\"/>",
                             U(m_dwAsWidth), U(m_dwAsHeight), U(m_dwAsFps), Sec(m_dwAsStart), Sec(m_dwLastTime));
    m_modules[MOD_VIDEOPARAM] += CRecordText::Format("<videoparam timestamp=\"%.3f\" width=\"%u\" height=\"%u\" fps=\"%u\" />",
                                     Sec(m_dwLastTime), static_cast<unsigned>(m_nVideoWidth),
                                     static_cast<unsigned>(m_nVideoHigh), 10u);
    return UC_OK;
}

int CSTDFLVRecorder::SetVideoParameters(unsigned short width, unsigned short height, unsigned short fps) {
    m_nVideoWidth = width;
    m_nVideoHigh = height;
    m_nFps = fps;
    m_modules[MOD_VIDEOPARAM] += CRecordText::Format("<videoparam timestamp=\"%.3f\" width=\"%u\" height=\"%u\" fps=\"%u\" />",
                                     Sec(m_dwLastTime), static_cast<unsigned>(width), static_cast<unsigned>(height),
                                     static_cast<unsigned>(fps));
    return UC_OK;
}

int CSTDFLVRecorder::ClearAV(unsigned long dwFileHandle, unsigned long dwBlockID, unsigned long dwCurrent) {
    constexpr unsigned long OS_NONE = 0xFFFFFFFFul;
    UC_ASSERTE_RETURN((dwFileHandle == OS_NONE && dwBlockID == OS_NONE), UC_ERR_NO_ROOM);
    if (!m_mark.valid || !m_pWriter) return UC_OK;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::ClearAV");
    RewindRecordFiles();
    // Back to the start of the marked file's media data; what lay behind it
    // is cut off so that no stale tags remain at the end of the file.
    m_pWriter->Flush();
    m_pWriter->Seek(static_cast<long>(m_mark.filePos), 0);
    const std::string current = m_dwSegmentLen != 0 ? m_strRecordPath + m_segments.back().name : m_strMediaFile;
    if (::truncate(current.c_str(), static_cast<off_t>(m_mark.filePos)) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CSTDFLVRecorder::ClearAV, can't cut the file=" << current);
    }
    m_dwMediaDataPos = m_mark.filePos;
    for (Module m : {MOD_ANNOTATION, MOD_VOTE, MOD_SURVEY, MOD_AS, MOD_VIDEOKEY}) m_modules[m].resize(m_mark.lens[m]);
    m_actions.resize(m_mark.actions);
    // Key frames of the discarded media data are gone from the file too.
    const std::size_t keysOfFile =
        m_dwSegmentLen != 0 ? m_segments.back().videoKeyLen : std::string(kModuleOpen[MOD_VIDEOKEY]).size();
    m_modules[MOD_VIDEOKEY].resize(std::min(m_modules[MOD_VIDEOKEY].size(), keysOfFile));
    // Both configurations and a key frame are needed again in the file.
    m_bAacConfigWritten = false;
    m_bConfigPending = !m_strAVCConfig.empty();
    m_bGotKey = false;

    if (m_dwPauseTimeStamp != 0) {
        m_dwPauseTimeInterval = m_mark.pauseInterval;
        m_dwPauseTimeStamp = m_mark.pageTimeStamp ? m_mark.pageTimeStamp : 1;
    } else {
        const unsigned long gone = dwCurrent > m_mark.pageTimeStamp ? dwCurrent - m_mark.pageTimeStamp : 0;
        m_dwPauseTimeInterval = m_mark.pauseInterval + gone;
        m_mark.pageTimeStamp = dwCurrent;
        m_mark.pauseInterval = m_dwPauseTimeInterval;
    }
    m_dwLastTime = m_mark.lastTime;
    m_dwLastTimeStamp = std::max(m_dwLastTimeStamp, dwCurrent);
    m_dwRefTick = get_tick_count();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::ClearAV,dwCurrent=" << dwCurrent << ", m_dwCurrentPageTimeStamp="
                                           << m_mark.pageTimeStamp << ", m_dwPauseTimeStamp=" << m_dwPauseTimeStamp
                                           << ", m_dwLastTime=" << m_dwLastTime);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::ClearAV, m_dwPauseTimeInterval="
                                           << m_dwPauseTimeInterval << ", m_dwCurrentPageTimeStamp=" << m_mark.pageTimeStamp
                                           << ", m_dwStartTime=" << m_dwStartTime << ", m_dwPauseTimeStamp=" << m_dwPauseTimeStamp);
    return UC_OK;
}

void CSTDFLVRecorder::RewindRecordFiles() {
    if (m_dwSegmentLen == 0 || m_segments.empty()) return;
    if (m_segments.size() - 1 > m_mark.segment) {
        m_pWriter->Finished();
        const Segment& marked = m_segments[m_mark.segment];
        auto writer = std::make_unique<CFlvWriter>();
        if (writer->Init(m_strRecordPath + marked.name, marked.start, 1, 2) == 0) {
            unsigned long id = 0;
            writer->CreateAudioStream(m_audio.format, m_audio.rate, m_audio.is8Bit, m_audio.isMono, id);
            writer->CreateVideoStream(FLV_CODEC_AVC, id);
            m_pWriter = std::move(writer);
        }
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RewindRecordFiles, go back to " << marked.name);
        for (std::size_t i = m_mark.segment + 1; i < m_segments.size(); ++i) {
            ::unlink((m_strRecordPath + m_segments[i].name).c_str());
            if (!m_segments[i].annoFile.empty()) ::unlink((m_strRecordPath + m_segments[i].annoFile).c_str());
            if (!m_segments[i].chatFile.empty()) ::unlink((m_strRecordPath + m_segments[i].chatFile).c_str());
        }
        // The marked segment was finished: its size counted and its files written.
        for (std::size_t i = m_mark.segment; i + 1 < m_segments.size(); ++i) m_dwSegmentBytes -= m_segments[i].size;
        m_segments.resize(m_mark.segment + 1);
        m_segments.back().size = 0;
        m_segments.back().annoFile.clear();
        m_segments.back().chatFile.clear();
        m_nSideFileNo = static_cast<unsigned>(m_mark.segment);
    }
    if (m_mark.events) m_events = *m_mark.events;
    m_modules[MOD_MULTIRECORD].resize(m_mark.lens[MOD_MULTIRECORD]);
    m_dwSegmentStart = m_mark.segmentStart;
}

std::string CSTDFLVRecorder::SessionAttributes(bool) {
    const unsigned long sessionMs = m_dwLastTime;
    const unsigned long pos = m_pWriter ? m_pWriter->GetPos() : 0xFFFFFFFFul;
    const unsigned long storage = m_dwSegmentBytes + (pos != 0xFFFFFFFFul ? pos : m_dwFinalSize);
    const double kbps = sessionMs ? static_cast<double>(storage) / static_cast<double>(sessionMs) * 8.0 : 0.0;
    const std::time_t end = m_tStart + static_cast<std::time_t>(sessionMs / 1000);
    const std::string start = CRecordText::UtcText(m_tStart), stop = CRecordText::UtcText(end);
    const std::string avStart = CRecordText::UtcText(m_tAVStart ? m_tAVStart : m_tStart);
    if (m_dwSegmentLen == 0) {
        const std::string flv = Esc(m_strMediaFile.substr(m_strRecordPath.size()));
        return CRecordText::Format(" starttime=\"%s\" duration=\"%.3f\" endtime=\"%s\" avstarttime=\"%s\" storage=\"%u\" kbps=\"%.3f\" "
                   "flv=\"%s\" flvstarttimestamp=\"%.3f\" flvstoptime=\"%.3f\" novideo=\"%s\" videoheight=\"%u\" "
                   "videowidth=\"%u\" audiocodec=\"%u\" ",
                   start.c_str(), Sec(sessionMs), stop.c_str(), avStart.c_str(), U(storage), kbps, flv.c_str(), 0.0,
                   Sec(m_dwLastTime), Bool(!m_bHaveVideo), static_cast<unsigned>(m_nVideoHigh),
                   static_cast<unsigned>(m_nVideoWidth), static_cast<unsigned>(m_audio.format));
    }
    return CRecordText::Format(" starttime=\"%s\" duration=\"%.3f\" endtime=\"%s\" avstarttime=\"%s\" storage=\"%u\" kbps=\"%.3f\"  "
               "novideo=\"%s\" videoheight=\"%u\" videowidth=\"%u\" audiocodec=\"%u\" ver=\"%d\" ",
               start.c_str(), Sec(sessionMs), stop.c_str(), avStart.c_str(), U(storage), kbps, Bool(!m_bHaveVideo),
               static_cast<unsigned>(m_nVideoHigh), static_cast<unsigned>(m_nVideoWidth),
               static_cast<unsigned>(m_audio.format), 2);
}

int CSTDFLVRecorder::WriteDataIndex(bool final) {
    if (final && m_bAsRunning) AsStop();
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><conf ";
    if (!m_strSessionName.empty() && !m_strConfId.empty())
        xml += CRecordText::Format("name =\"%s\" id=\"%s\"", Esc(m_strSessionName).c_str(), Esc(m_strConfId).c_str());
    xml += SessionAttributes(final);
    if (!m_strLiveText.empty() &&
        WriteTextFile("livetext.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><LiveText>" + m_strLiveText + "</LiveText>"))
        xml += " livetextfile=\"livetext.xml\"";
    if (m_modules[MOD_ANNOTATION] != kModuleOpen[MOD_ANNOTATION] &&
        WriteTextFile("anno.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>" + m_modules[MOD_ANNOTATION] + "</module>"))
        xml += " annofile=\"anno.xml\"";
    if (!m_strChat.empty() &&
        WriteTextFile("chat.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><module name=\"chat\">" + m_strChat + "</module>")) {
        xml += " chatfile=\"chat.xml\"";
    } else {
        xml += " chatfile=\"\"";
    }
    xml += ">";
    const auto module = [&](Module m) {
        if (m_modules[m] != kModuleOpen[m]) xml += m_modules[m] + "</module>";
    };
    xml += DocumentModule(m_dwLastTime);
    module(MOD_ANIMATION);
    xml += ActionModule();
    for (Module m : {MOD_VOTE, MOD_SURVEY, MOD_LOTTERY, MOD_LAYOUT, MOD_BROWSER, MOD_AS, MOD_VIDEOPARAM}) module(m);
    if (!m_photos.empty()) {
        xml += "<module name=\"photo\">";
        for (std::size_t i = 0; i < m_photos.size(); ++i) {
            const Photo& p = m_photos[i];
            const unsigned long stop = i + 1 < m_photos.size() ? m_photos[i + 1].start : m_dwLastTime;
            xml += CRecordText::Format("<photo file=\"%s\" width =\"%u\" height=\"%u\" starttime=\"%.3f\" stoptime=\"%.3f\"/>",
                       p.file.c_str(), p.width, p.height, Sec(p.start), Sec(stop));
        }
        xml += "</module>";
    }
    if (!m_pauses.empty()) {
        xml += "<module name=\"recordpause\">";
        for (const auto& [begin, end] : m_pauses)
            xml += CRecordText::Format("<pause begin=\"%s\" end=\"%s\" />", CRecordText::UtcText(begin).c_str(), CRecordText::UtcText(end).c_str());
        xml += "</module>";
    }
    module(MOD_MULTIRECORD);
    module(MOD_VIDEOKEY);
    xml += "</conf>";
    if (CRecordText::WriteFileAtomically(m_strIndexFile, xml)) return UC_OK;
    UC_LOG_THIS(CLogWrapper::LOG_ERROR, "CSTDFLVRecorder::WriteDataIndex, can't write the file=" << m_strIndexFile);
    return UC_ERR_BAD_DATA;
}

int CSTDFLVRecorder::Stop() {
    if (!m_bStarted) return UC_OK;
    if (m_bAsRunning) AsStop();
    if (m_dwPauseTimeStamp != 0) {
        m_pauses.emplace_back(m_tPauseBegin, std::time(nullptr));
        m_dwPauseTimeStamp = 0;
    }
    if (m_dwSegmentLen != 0) {
        CloseSegment();
    } else if (m_pWriter) {
        UpdateMetaData();
        m_dwFinalSize = m_pWriter->GetPos();
        m_pWriter->Finished();
    }
    const int rv = WriteDataIndex(true);
    m_pWriter.reset();
    m_bStarted = false;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::Stop, index=" << m_strIndexFile);
    return rv;
}
