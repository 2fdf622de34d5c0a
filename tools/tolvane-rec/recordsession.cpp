#include "recordsession.h"

#include "basekit/datapackage.h"

CRecordSession::~CRecordSession() {
    if (m_pEngine) Stop();
}

std::string CRecordSession::CodeText(std::uint32_t code) {
    switch (code) {
        case 0: return "success";
        case 1: return "invalid argument";
        case 2: return "busy: already initialised or recording";
        case 4: return "an engine component failed to initialise";
        case 5: return "an audio capture failed to start";
        case 6: return "an audio capture failed to stop";
        case 7: return "the output file could not be created (muxer initialisation failed)";
        case 8: return "an encoder failed to start";
        case 9: return "the video encoder failed to stop";
        case 10: return "the audio encoder failed to stop";
        case 12: return "a muxer failed to stop";
        default: return "unknown engine code";
    }
}

std::string CRecordSession::ErrorText(int code) {
    switch (static_cast<std::uint32_t>(code) & 0x7FFFFFFFu) {
        case 1: return "the first audio frame was too short";
        case 2: return "the audio frame header could not be converted";
        case 10:
        case 11: return "writing audio failed: the file did not grow (disk full or file too large?)";
        case 12:
        case 13: return "writing video failed: the file did not grow (disk full or file too large?)";
        case 14: return "the file could not be finished";
        default: return "writing the file failed";
    }
}

std::uint32_t CRecordSession::Open(int width, int height, int fps) {
    m_pEngine = CreateOrvixAvRecord();
    if (!m_pEngine) return 4;
    return m_pEngine->Init(this, width, height, 12, fps);
}

std::list<AudioDeviceInfo> CRecordSession::ListDevices() {
    std::list<AudioDeviceInfo> devices;
    if (m_pEngine) m_pEngine->GetDeviceList(&devices);
    return devices;
}

std::uint32_t CRecordSession::ChooseDevices(const std::list<AudioDeviceInfo>& chosen) {
    std::list<AudioDeviceInfo> selection = chosen;
    return m_pEngine ? m_pEngine->SetCurrentAudioDevice(&selection) : 4;
}

std::uint32_t CRecordSession::Start(const std::string& path, const std::string& dumpPath) {
    if (!m_pEngine) return 4;
    RecordParam param;
    param.strFilePath = path;
    param.bDumpAudio = dumpPath.empty() ? 0 : 1;
    param.strDumpAudioFileName = dumpPath;
    std::uint32_t code = m_pEngine->StartRecord(&param);
    m_bRecording = true;  // StopRecord tears down whatever a failed start began
    return code;
}

void CRecordSession::PushPicture(std::uint32_t timestampMs, const std::uint8_t* bgra, std::size_t bytes) {
    if (!m_pEngine) return;
    CDataPackage picture(bytes, bgra, CDataPackage::FLAG_WRAP, bytes);
    m_pEngine->PushVideoData(timestampMs, &picture);
}

std::uint32_t CRecordSession::Pause() { return m_pEngine ? m_pEngine->PauseRecord() : 0; }

std::uint32_t CRecordSession::Resume() { return m_pEngine ? m_pEngine->ResumeRecord() : 0; }

std::uint32_t CRecordSession::Stop() {
    std::uint32_t code = 0;
    if (m_pEngine && m_bRecording) code = m_pEngine->StopRecord();
    m_bRecording = false;
    if (m_pEngine) DestoryOrvixAvRecord(m_pEngine);
    m_pEngine = nullptr;
    return code;
}

int CRecordSession::TakeLevel(bool bMic) { return m_anLevel[bMic ? 1 : 0].exchange(-1); }

int CRecordSession::OnAudioLevel(int isInput, int level) {
    std::atomic<int>& slot = m_anLevel[isInput ? 1 : 0];
    int seen = slot.load();
    while (level > seen && !slot.compare_exchange_weak(seen, level)) {
    }
    return 0;
}

int CRecordSession::OnRecordDuration(std::uint32_t seconds) {
    m_dwSeconds = seconds;
    return 0;
}

int CRecordSession::OnAudioDeviceChanged() {
    ++m_nDeviceChanges;
    return 0;
}

int CRecordSession::OnRecordError(int code) {
    int none = 0;
    m_nErrorCode.compare_exchange_strong(none, code);
    return 0;
}
