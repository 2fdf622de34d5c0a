#include "flvio/flvrecorder.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "amfcodec/amf.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "basekit/tickcount.h"
#include "flvio/aacutil.h"
#include "flvio/flvwriter.h"
#include "flvio/stdflvrecorder.h"
#include "recordtext.h"

namespace {

constexpr unsigned long kSegDuration = 2800;
constexpr unsigned long kMaxSegDuration = 5000;
constexpr unsigned long kMinKeyFileLen = 1000;         // a key frame starts a new file from here on
constexpr unsigned long kNewStreamInterval = 1800000;  // a new-stream mark at least this often
constexpr unsigned long kNoAudioLimit = 15000;         // video this long after the last audio
constexpr unsigned long kNoVideoLimit = 30000;         // audio this long after the last video
constexpr std::size_t kAdtsLen = 7;

}  // namespace

CFLVRecorder::CFLVRecorder() = default;

CFLVRecorder::~CFLVRecorder() { Stop(); }

std::string CFLVRecorder::CreateRecordFilename(long long id, long long time, const std::string& name,
                                               unsigned long add) {
    std::string path = CSTDFLVRecorder::CreateRecordFilename(id, time, name, add);
    return path.substr(0, path.rfind('/') + 1) + "record.flv";
}

int CFLVRecorder::Start(const std::string& fullName, unsigned short width, unsigned short height,
                        AudioPriority& audio, unsigned long segment, unsigned long delaySeconds,
                        const std::string& url, const std::string& backUrl) {
    if (fullName.empty()) return UC_ERR_BAD_ARGUMENT;
    if (m_bStarted) return UC_ERR_NO_ROOM;
    std::string full = fullName;
    std::replace(full.begin(), full.end(), '\\', '/');
    const std::size_t slash = full.rfind('/');
    if (slash == std::string::npos) {
        m_strPath = full + "/";
        m_strIndexName = "record.xml";
    } else {
        m_strPath = full.substr(0, slash + 1);
        m_strIndexName = full.substr(slash + 1);
        if (m_strIndexName.empty()) m_strIndexName = "record.xml";
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::Start, m_strPath=" << m_strPath << ", fullname=" << fullName
                                           << ",dwMaxDelay=" << delaySeconds);
    std::error_code ec;
    std::filesystem::create_directories(m_strPath, ec);
    if (!std::filesystem::is_directory(m_strPath, ec)) return UC_ERR_BAD_DATA;

    m_audio = audio;
    if (m_audio.format == FLV_SOUND_AAC) {
        m_audio.rate = FLV_RATE_44KHZ;
        m_audio.is8Bit = 0;
        m_audio.isMono = 0;
    }
    m_byAudio = CFlvioTag::GetAudioType(m_audio.format, m_audio.rate, m_audio.is8Bit, m_audio.isMono);
    m_nWidth = width;
    m_nHeight = height;
    m_dwSegDuration = segment ? kSegDuration : 0;
    m_dwMaxSegDuration = kMaxSegDuration;
    m_dwMaxDelay = delaySeconds * 1000;
    m_dwCounter = static_cast<unsigned long>(std::time(nullptr));
    m_strUrl = url;
    m_strBackUrl = backUrl;
    m_files.clear();
    m_removal.clear();
    m_dwTotalSize = 0;
    m_bHaveStart = false;
    m_dwPauseTimeInterval = m_dwPauseTimeStamp = m_dwLastTime = 0;
    m_dwLastVideoTime = m_dwLastAudioTime = m_dwLastNewStream = 0;
    m_bSawAudio = m_bVideoMarked = m_bHaveVideo = m_bVideoStopped = m_bAs = m_bVod = false;
    m_bNewStreamPending = true;
    m_bForceNewFile = false;
    for (std::string& config : m_strAVCConfig) config.clear();
    m_strPageXml.clear();
    m_strAacConfig.clear();

    if (m_dwSegDuration != 0) {
        m_bStarted = true;
        const int rv = SaveAnotherFile(false);
        if (rv != 0) m_bStarted = false;
        return rv;
    }
    auto writer = std::make_unique<CFlvWriter>();
    const int rv = writer->Init(fullName, 0, 0, 2);
    if (rv != 0) return rv;
    m_pWriter = std::move(writer);
    m_current = FileEntry();
    m_current.name = full.substr(slash == std::string::npos ? 0 : slash + 1);
    m_dwFileMediaPos = m_pWriter->GetPos();
    m_bAacConfigWritten = false;
    m_bFileStarted = false;
    m_bStarted = true;
    return UC_OK;
}

bool CFLVRecorder::FileHasMedia() const { return m_pWriter && m_pWriter->GetPos() > m_dwFileMediaPos; }

void CFLVRecorder::FinishCurrent(const char* status) {
    if (!m_pWriter) return;
    m_current.duration = m_dwLastTime > m_current.start ? m_dwLastTime - m_current.start : 0;
    m_current.size = m_pWriter->GetPos();
    m_pWriter->Finished();
    m_pWriter.reset();
    m_current.status = status;
    m_dwTotalSize += m_current.size;
    if (m_dwSegDuration == 0) return;
    m_files.push_back(m_current);
    if (m_pNotify) m_pNotify->OnFileFinished(m_current.name, m_current.start, m_current.duration, m_current.size);
}

int CFLVRecorder::SaveAnotherFile(bool keyStart) {
    if (m_pWriter) {
        FinishCurrent(m_dwPauseTimeStamp != 0 ? "pause" : "normal");
        SaveRecordIndex();
    }
    if (m_dwLastTime >= m_dwLastNewStream + kNewStreamInterval) m_bNewStreamPending = true;
    const std::string name = CRecordText::Format("record%lu.flv", m_dwCounter++);
    // Each file's time stamps start at 0 (players and checkers expect it);
    // the index and the start times place the files on the stream's time line.
    auto writer = std::make_unique<CFlvWriter>();
    const int rv = writer->Init(m_strPath + name, m_dwLastTime, 0, 2);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "CFLVRecorder::SaveAnotherFile, can't open the file=" << name << ", rv =" << rv);
        return rv;
    }
    m_pWriter = std::move(writer);
    m_dwFileMediaPos = m_pWriter->GetPos();
    m_current = FileEntry();
    m_current.name = name;
    m_current.start = m_dwLastTime;
    m_current.newStream = m_bNewStreamPending;
    m_current.keyStart = keyStart;
    if (m_bNewStreamPending) m_dwLastNewStream = m_dwLastTime;
    m_bNewStreamPending = false;
    m_bForceNewFile = false;
    m_bAacConfigWritten = false;
    m_bFileStarted = false;
    m_bMetaPending = true;
    return UC_OK;
}

void CFLVRecorder::SaveRecordIndex() {
    if (m_dwSegDuration == 0) return;
    // A queued file is deleted at the earliest one index later than the one
    // that stopped listing it, so a client never finds a listed file missing.
    while (!m_removal.empty() && m_removal.front().start + m_dwMaxDelay + m_dwRemoveMargin <= m_dwLastTime) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::SaveRecordIndex,REMOVE FILE=" << m_removal.front().name);
        ::unlink((m_strPath + m_removal.front().name).c_str());
        if (m_pNotify) m_pNotify->OnFileDeleted(m_removal.front().name);
        m_removal.pop_front();
    }
    while (!m_files.empty() && m_files.front().start + m_dwMaxDelay + m_dwSegDuration < m_dwLastTime) {
        m_removal.push_back(m_files.front());
        m_files.pop_front();
        if (m_pNotify) m_pNotify->OnFileRemoved(m_removal.back().name);
    }
    const unsigned totalTime = static_cast<unsigned>(m_files.empty() ? 0 : m_files.back().start);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";
    const unsigned seg = static_cast<unsigned>(m_dwSegDuration);
    if (m_strUrl.empty()) {
        xml += CRecordText::Format("<recordfiles totaltime=\"%u\" segduration=\"%u\">", totalTime, seg);
    } else if (m_strBackUrl.empty()) {
        xml += CRecordText::Format("<recordfiles totaltime=\"%u\" segduration=\"%u\" url=\"%s\" >", totalTime, seg,
                                   CRecordText::Escape(m_strUrl).c_str());
    } else {
        xml += CRecordText::Format("<recordfiles totaltime=\"%u\" segduration=\"%u\" url=\"%s\" backurl=\"%s\" >",
                                   totalTime, seg, CRecordText::Escape(m_strUrl).c_str(),
                                   CRecordText::Escape(m_strBackUrl).c_str());
    }
    xml += "\n";
    for (const FileEntry& f : m_files) {
        xml += CRecordText::Format("<record name=\"%s\" duration=\"%u\" newstream=\"%s\" status=\"%s\" filesize=\"%u\" />\n",
                                   f.name.c_str(), static_cast<unsigned>(f.duration), f.newStream ? "true" : "false",
                                   f.status, static_cast<unsigned>(f.size));
    }
    xml += "</recordfiles>\n";
    if (!CRecordText::WriteFileAtomically(m_strPath + m_strIndexName, xml)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "CFLVRecorder::SaveRecordIndex, can't write the index=" << m_strIndexName);
    }
}

int CFLVRecorder::SaveVideoMeta(unsigned long mediaTime) {
    if (!m_pWriter) return UC_OK;
    const char* vod = m_bVod ? "true" : "false";
    std::string xml = "<metadataxml><module name=\"videoparam\">";
    if (m_bAs) {
        xml += CRecordText::Format("<video type=\"as\" width=\"%u\" height=\"%u\" vod=\"%s\"/></module>",
                                   static_cast<unsigned>(m_nWidth), static_cast<unsigned>(m_nHeight), vod);
    } else if (m_bHaveVideo) {
        xml += CRecordText::Format("<video type=\"video\" width=\"%u\" height=\"%u\" vod=\"%s\" /></module>",
                                   static_cast<unsigned>(m_nWidth), static_cast<unsigned>(m_nHeight), vod);
    } else {
        xml += CRecordText::Format("<video type=\"no\" vod=\"%s\" /></module>", vod);
    }
    xml += m_strPageXml + "</metadataxml>";
    CAmfECMAArray value;
    value.Set("XMLValue", xml);
    m_bMetaPending = false;
    return m_pWriter->WriteData(static_cast<unsigned>(mediaTime), "onXML", value);
}

bool CFLVRecorder::MediaTime(unsigned long timeStamp, bool audio, unsigned long& mediaTime) {
    if (!m_bHaveStart) {
        m_bHaveStart = true;
        m_dwStartTime = timeStamp;
        m_dwReference = timeStamp;
    }
    m_dwReference = std::max(m_dwReference, timeStamp);
    const long long t = static_cast<long long>(m_dwReference) - static_cast<long long>(m_dwPauseTimeInterval) -
                        static_cast<long long>(m_dwStartTime);
    if (t <= 0) {
        if (audio) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CFLVRecorder::RecordRawMP3,dwTimeStamp=" << timeStamp << ",m_dwStartTime="
                                                      << m_dwStartTime << ",m_dwPauseTimeInterval=" << m_dwPauseTimeInterval);
            mediaTime = 0;
        } else {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::RecordRawAVC, dwTimeStamp=" << timeStamp << ", m_dwLastTime="
                                                   << m_dwLastTime << ",m_dwStartTime=" << m_dwStartTime
                                                   << ",m_dwPauseTimeInterval=" << m_dwPauseTimeInterval);
            mediaTime = m_dwLastTime;
        }
    } else {
        mediaTime = static_cast<unsigned long>(t);
    }
    if (mediaTime < m_dwLastTime) {
        if (audio) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CFLVRecorder::RecordRawMP3,dwTimeStamp=" << timeStamp
                                                      << ",dwLastTime=" << m_dwLastTime);
        }
        mediaTime = m_dwLastTime;
    }
    m_dwLastTime = mediaTime;
    return true;
}

int CFLVRecorder::Write(bool audio, unsigned long mediaTime, const std::string& body) {
    CDataPackage package(body.size(), body.data(), CDataPackage::FLAG_WRAP, body.size());
    const unsigned ts = static_cast<unsigned>(mediaTime);
    int rv = audio ? m_pWriter->WriteAudio(ts, package) : m_pWriter->WriteVideo(ts, package);
    if (rv == 0 && m_pWriter->GetLastWriteError() != 0) rv = UC_ERR_BAD_DATA;
    if (rv != 0) {
        UC_ASSERT_TEXT("RV_SUCCEEDED(rv)");
        return rv;
    }
    return UC_OK;
}

int CFLVRecorder::StartFileTags(unsigned long mediaTime) {
    if (m_bFileStarted) return UC_OK;
    m_bFileStarted = true;
    // Both configurations first, video before audio, in every file: players
    // and ffmpeg's concat demuxer then find the streams in the same order in
    // each file.
    int rv = UC_OK;
    if (!m_strAVCConfig[0].empty() && (rv = Write(false, mediaTime, m_strAVCConfig[0])) != 0) return rv;
    if (!m_strAacConfig.empty()) {
        if ((rv = Write(true, mediaTime, m_strAacConfig)) != 0) return rv;
        m_bAacConfigWritten = true;
    }
    return UC_OK;
}

int CFLVRecorder::SetAVCConfigure(CDataPackage& data, unsigned short nStreamID) {
    UC_ASSERTE_RETURN(nStreamID < MAX_STREAM_NUM, UC_ERR_BAD_ARGUMENT);
    if (data.GetPackageLength() == 0) return UC_ERR_BAD_ARGUMENT;
    m_strAVCConfig[nStreamID] = std::string("\x17\x00\x00\x00\x00", 5) + data.FlattenPackage();
    return UC_OK;
}

int CFLVRecorder::RecordRawAVC(unsigned long timeStamp, CDataPackage& data, AVCPackageType type,
                               unsigned short streamId) {
    UC_ASSERTE_RETURN(m_dwPauseTimeStamp == 0, UC_ERR_NO_ROOM);
    UC_ASSERTE_RETURN(m_bStarted, UC_ERR_BAD_DATA);
    if (type == AVC_PACKAGE_CONFIG) return SetAVCConfigure(data, streamId);
    UC_ASSERTE_RETURN(streamId < MAX_STREAM_NUM, UC_ERR_BAD_ARGUMENT);
    if (m_strAVCConfig[streamId].empty()) {
        UC_ASSERT_TEXT("FALSE");
        return UC_ERR_NO_ROOM;
    }
    if (data.GetPackageLength() == 0) return UC_ERR_BAD_DATA;
    const bool key = type == AVC_PACKAGE_KEY;
    bool videoBack = false;
    if (!m_bHaveVideo) {
        if (!key) return UC_ERR_NO_ROOM;
        m_bHaveVideo = true;
        videoBack = true;
    }
    unsigned long mt = 0;
    MediaTime(timeStamp, false, mt);
    if (m_bSawAudio && !m_bVideoMarked && mt >= m_dwLastAudioTime + kNoAudioLimit) {
        m_bVideoMarked = true;
        m_bNewStreamPending = true;
    }
    if (videoBack && m_bVideoStopped && FileHasMedia()) {
        // Audio only until now: the pictures start a new stream in a new file.
        m_bNewStreamPending = true;
        m_bForceNewFile = true;
    }
    int rv = UC_OK;
    m_bVideoStopped = false;
    if (m_dwSegDuration != 0) {
        const unsigned long held = mt - std::min(mt, m_current.start);
        const bool newFile = !m_pWriter || (FileHasMedia() && ((key && held >= kMinKeyFileLen) ||
                                                              held >= m_dwSegDuration || m_bForceNewFile));
        if (key) {
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::RecordRawAVC,bNeedNewSeg=" << newFile << ", bNewStream="
                                                   << m_bNewStreamPending << ",DIFF=" << held << ",m_dwLastTime=" << m_dwLastTime
                                                   << ", m_dwLastRemoveallKeyTime=" << m_dwLastNewStream
                                                   << ",dwTimeStamp=" << timeStamp << ",m_dwLastTimestamp=" << m_dwReference);
        }
        if (newFile && (rv = SaveAnotherFile(key)) != 0) return rv;
    }
    if (!m_pWriter) {
        UC_ASSERT_TEXT("m_pWriter");
        return UC_ERR_BAD_DATA;
    }
    const bool configWritten = m_strAVCConfig[0].size() && streamId == 0 && !m_bFileStarted;
    if ((rv = StartFileTags(mt)) != 0) return rv;
    if (key && !configWritten && (rv = Write(false, mt, m_strAVCConfig[streamId])) != 0) return rv;
    std::string body(key ? "\x17\x01\x00\x00\x00" : "\x27\x01\x00\x00\x00", 5);
    body += data.FlattenPackage();
    if ((rv = Write(false, mt, body)) != 0) return rv;
    m_dwLastVideoTime = mt;
    if (m_bMetaPending || videoBack) SaveVideoMeta(mt);
    return UC_OK;
}

int CFLVRecorder::RecordRawMP3(unsigned long timeStamp, CDataPackage& data, unsigned short) {
    UC_ASSERTE_RETURN(m_dwPauseTimeStamp == 0, UC_ERR_NO_ROOM);
    UC_ASSERTE_RETURN(m_bStarted, UC_ERR_BAD_DATA);
    const bool aac = m_audio.format == FLV_SOUND_AAC;
    const std::string frame = data.FlattenPackage();
    char config[5];
    unsigned configLen = sizeof(config);
    if (aac) {
        UC_ASSERTE_RETURN(data.GetPackageLength() > 7, UC_ERR_BAD_DATA);
        const auto* h = reinterpret_cast<const unsigned char*>(frame.data());
        if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) return UC_ERR_BAD_DATA;
        if (!GetAACConfigureFromAdts(frame.data(), kAdtsLen, config, &configLen)) return UC_ERR_BAD_DATA;
    } else if (frame.empty()) {
        return UC_ERR_BAD_DATA;
    }
    unsigned long mt = 0;
    MediaTime(timeStamp, true, mt);
    if (m_bHaveVideo && !m_bAs && mt >= m_dwLastVideoTime + kNoVideoLimit) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::RecordRawMP3,no video");
        m_bHaveVideo = false;
        m_bVideoStopped = true;
        m_bNewStreamPending = true;
        m_bForceNewFile = true;
    }
    int rv = UC_OK;
    if (m_dwSegDuration != 0 && !m_bHaveVideo &&
        (!m_pWriter || (FileHasMedia() && (mt >= m_current.start + m_dwSegDuration || m_bForceNewFile)))) {
        if ((rv = SaveAnotherFile(false)) != 0) return rv;
    }
    if (!m_pWriter) {
        UC_ASSERT_TEXT("m_pWriter");
        return UC_ERR_BAD_DATA;
    }
    if (aac && m_strAacConfig.empty()) {
        m_strAacConfig = {static_cast<char>(m_byAudio), '\0'};
        m_strAacConfig.append(config, configLen);
    }
    if ((rv = StartFileTags(mt)) != 0) return rv;
    if (aac && !m_bAacConfigWritten) {
        if ((rv = Write(true, mt, m_strAacConfig)) != 0) return rv;
        m_bAacConfigWritten = true;
    }
    std::string body(1, static_cast<char>(m_byAudio));
    if (aac) body += '\x01';
    body.append(frame, aac ? kAdtsLen : 0, std::string::npos);
    if ((rv = Write(true, mt, body)) != 0) return rv;
    m_bSawAudio = true;
    m_bVideoMarked = false;
    m_dwLastAudioTime = mt;
    if (m_bMetaPending) SaveVideoMeta(mt);
    return UC_OK;
}

int CFLVRecorder::RecordRawData(unsigned long, CDataPackage&, CDataInfo* info) {
    if (!info || !m_bStarted) return UC_OK;
    if (info->type != RECORD_DATA_PAGE) return UC_OK;
    m_strPageXml = CRecordText::Format("<page title=\"%s\" width=\"%u\" height=\"%u\" />",
                                       CRecordText::Escape(info->name).c_str(), info->width, info->height);
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::RecordMetaDataXML(const std::string& xml) {
    if (!m_pWriter || xml.empty()) return UC_ERR_NO_ROOM;
    CAmfECMAArray value;
    value.Set("XMLValue", xml);
    return m_pWriter->WriteData(static_cast<unsigned>(m_dwLastTime), "onXML", value);
}

int CFLVRecorder::SetVideoParameters(unsigned short width, unsigned short height, unsigned short, int vod) {
    m_nWidth = width;
    m_nHeight = height;
    m_bVod = vod != 0;
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::AsStart() {
    m_bAs = true;
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::AsStop() {
    m_bAs = false;
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::VodStart() {
    m_bVod = true;
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::VodStop() {
    m_bVod = false;
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::NoAV(int noVideo) {
    m_bHaveVideo = noVideo == 0;
    return SaveVideoMeta(m_dwLastTime);
}

int CFLVRecorder::Pause(int pause) {
    if (!m_bStarted) return UC_ERR_NO_ROOM;
    if (pause) {
        if (m_dwPauseTimeStamp != 0) return UC_ERR_NO_ROOM;
        m_dwPauseTimeStamp = get_tick_count() | 1;  // never 0 while paused
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::Pause, paused");
        return UC_OK;
    }
    if (m_dwPauseTimeStamp == 0) return UC_ERR_NO_ROOM;
    m_dwPauseTimeInterval += (get_tick_count() - m_dwPauseTimeStamp) & 0xFFFFFFFFul;
    m_dwPauseTimeStamp = 0;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::Pause, resume,m_dwPauseTimeInterval=" << m_dwPauseTimeInterval);
    return UC_OK;
}

int CFLVRecorder::ClearAV(unsigned long) {
    if (!m_bStarted || !m_pWriter || m_dwSegDuration == 0) return UC_OK;
    m_pWriter->Finished();
    m_pWriter.reset();
    ::unlink((m_strPath + m_current.name).c_str());
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::ClearAV, file=" << m_current.name);
    m_bNewStreamPending = true;
    return UC_OK;
}

int CFLVRecorder::Stop() {
    if (!m_bStarted) return UC_OK;
    FinishCurrent("stop");
    SaveRecordIndex();
    m_bStarted = false;
    m_dwPauseTimeStamp = 0;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "CFLVRecorder::Stop, m_dwTotalSize=" << m_dwTotalSize);
    return UC_OK;
}
