#include "avorvixrecordimpl.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "basekit/logwrapper.h"
#include "basekit/tickcount.h"
#include "recengine/enginecodes.h"

namespace {

const char kFrameLine[] = "****************************************";

// What StartRecord hands to the muxers besides the path and the picture
// values: the sound format, and the type codes and flags that the muxers only
// write to their logs.
constexpr std::uint16_t kMuxSampleRate = 44100;
constexpr std::uint16_t kMuxChannelLayout = 2;
constexpr int kMuxVideoType = 98;
constexpr int kMuxAudioType = 105;
constexpr std::uint32_t kMuxHaveVideo = 1;
constexpr std::uint32_t kMuxHaveAudio = 1;
constexpr std::uint32_t kMuxNeedBackup = 0;

// Writes the line of asterisks that frames an interface operation, at its
// entry and again when the operation returns.
class CInterfaceFrame {
public:
    CInterfaceFrame(const void* self, const char* function, int line)
        : m_pSelf(self), m_szFunction(function), m_nLine(line) {
        Write();
    }
    ~CInterfaceFrame() { Write(); }
    CInterfaceFrame(const CInterfaceFrame&) = delete;
    CInterfaceFrame& operator=(const CInterfaceFrame&) = delete;

private:
    void Write() const {
        CLogWrapper* log = CLogWrapper::Instance();
        if (!log->IsEnabled(CLogWrapper::LOG_INFO)) return;
        CLogWrapper::CRecorder rec;
        rec << "[this=0x" << m_pSelf << "][" << basekit::QualifiedName(m_szFunction) << ":"
            << m_nLine << "][" << kFrameLine << "]";
        log->WriteLog(CLogWrapper::LOG_INFO, 0, rec.c_str());
    }

    const void* m_pSelf;
    const char* m_szFunction;
    int m_nLine;
};

#define ENGINE_OPERATION_FRAME() \
    CInterfaceFrame uc_frame_(static_cast<const void*>(this), __PRETTY_FUNCTION__, __LINE__)

// The level of a peak in thousands (0..32).
constexpr int kLevelTable[33] = {0, 1, 2, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 7, 7,
                                 7, 7, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};


bool IdEmpty(const char (&id)[128]) { return id[0] == '\0'; }

void ZeroId(char (&id)[128]) { std::memset(id, 0, sizeof(id)); }

// Compares two ID fields as strings (each ends at its first NUL or after 128 bytes).
bool SameId(const char (&a)[128], const char (&b)[128]) {
    return std::strncmp(a, b, sizeof(a)) == 0;
}

std::string IdText(const char (&id)[128]) { return std::string(id, strnlen(id, sizeof(id))); }

}  // namespace

CAVOrvixRecordImpl::CAVOrvixRecordImpl() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Construction");
}

CAVOrvixRecordImpl::~CAVOrvixRecordImpl() {
    // A capture thread resamples through a proxy declared after the capture
    // pointers (destroyed first), and feeds the audio processor: end the
    // captures before any member goes.
    if (m_InputDeviceCapture) m_InputDeviceCapture->StopCapture();
    if (m_OutputDeviceCapture) m_OutputDeviceCapture->StopCapture();
    m_InputDeviceCapture.reset();
    m_OutputDeviceCapture.reset();
}

std::uint32_t CAVOrvixRecordImpl::Init(IOrvixRecordSink* pSink, int iWidth, int iHeight,
                                       int unformat, int iFps) {
    ENGINE_OPERATION_FRAME();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry ,iHeight= " << iHeight << ", iWidth= " << iWidth
                                                          << ", unformat= " << unformat
                                                          << ", iFps= " << iFps);
    if (iHeight < 1 || iWidth < 1 || unformat < 0 || unformat > 23 || !pSink || iFps < 1) return ORVIX_ERR_BAD_ARGUMENT;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_pSink || m_bIsCapture) {
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Busy now, m_pSink= "
                                                    << (m_pSink ? "Not null" : "null")
                                                    << ", m_bIsCapture: " << TrueFalse(m_bIsCapture));
            return ORVIX_ERR_BUSY;
        }
        m_pSink = pSink;
        m_iHeight = iHeight;
        m_iWidth = iWidth;
        m_iFps = iFps;
    }
    if (!m_DeviceControl.Init(this)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_DeviceControl.Init() fail");
        return ORVIX_ERR_INIT_FAILED;
    }
    m_InputDeviceCapture = std::make_unique<CAudioDeviceCapture>();
    if (m_InputDeviceCapture->Init(this, &m_InputResampler) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " ---  m_InputDeviceCapture Init fail");
        return ORVIX_ERR_INIT_FAILED;
    }
    m_OutputDeviceCapture = std::make_unique<CAudioDeviceCapture>();
    if (m_OutputDeviceCapture->Init(this, &m_OutputResampler) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_OutputDeviceCapture Init fail");
        return ORVIX_ERR_INIT_FAILED;
    }
    if (m_AudioProcessor.Init(44100, 2, &m_FlvMuxer) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_AudioProcessor Init fail");
        return ORVIX_ERR_INIT_FAILED;
    }
    m_VideoEncodingWorker.EnableConversionAtPush();
    if (!m_VideoEncodingWorker.Init(&m_FlvMuxer, iWidth, iHeight, static_cast<std::uint32_t>(unformat),
                                    static_cast<std::uint32_t>(iFps), this)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- m_VideoEncodingWorker Init fail");
        return ORVIX_ERR_INIT_FAILED;
    }
    m_bInitOk = true;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Exit ok ");
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::StartRecord(RecordParam* param) {
    ENGINE_OPERATION_FRAME();
    UC_LOG_THIS(CLogWrapper::LOG_ERROR, "entery");
    if (m_bIsCapture) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "busying now!");
        return ORVIX_ERR_BUSY;
    }
    if (!param) {
        UC_ASSERT_TEXT("NULL != param");
        return ORVIX_ERR_BAD_ARGUMENT;
    }
    if (!m_bInitOk) {
        // Without a successful Init there are no capture objects and the
        // encoders have no muxer.
        UC_ASSERT_TEXT("m_bInitOk");
        return ORVIX_ERR_INIT_FAILED;
    }
    const auto w = static_cast<std::uint16_t>(m_iWidth);
    const auto h = static_cast<std::uint16_t>(m_iHeight);
    const auto fps = static_cast<std::uint16_t>(m_iFps);
    if (param->bDumpAudio != 0 && !param->strDumpAudioFileName.empty()) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO,
                    "have dump audio, strDumpAudioFileName=" << param->strDumpAudioFileName);
        int code = m_DumpAudioMuxer.Init(param->strDumpAudioFileName.c_str(), w, h, fps, kMuxSampleRate,
                                         kMuxChannelLayout, kMuxVideoType, kMuxAudioType,
                                         kMuxHaveVideo, kMuxHaveAudio, kMuxNeedBackup, this);
        if (code != 0) {
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, "Init DumpAudioMuxer fail, errorcode=" << code);
            return ORVIX_ERR_MUXER_INIT;
        }
        m_FlvMuxer.AddSubMuxer(&m_DumpAudioMuxer);
    } else {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "don't have dump audio");
    }
    int code = m_FlvMuxer.Init(param->strFilePath.c_str(), w, h, fps, kMuxSampleRate, kMuxChannelLayout,
                               kMuxVideoType, kMuxAudioType, kMuxHaveVideo, kMuxHaveAudio,
                               kMuxNeedBackup, this);
    if (code != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "Init Muxer fail, errorcode=" << code);
        return ORVIX_ERR_MUXER_INIT;
    }
    if (m_AudioProcessor.StartAudioEncoding() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "StartAudioEncoding fail(Input)");
        return ORVIX_ERR_ENCODER_START;
    }
    if (m_VideoEncodingWorker.StartEncoding() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "StartVideoEncoding fail(Input)");
        return ORVIX_ERR_ENCODER_START;
    }
    if (_StartCapture(true) != 0) return ORVIX_ERR_CAPTURE_START;
    if (_StartCapture(false) != 0) return ORVIX_ERR_CAPTURE_START;
    m_bIsCapture = true;
    UC_LOG_THIS(CLogWrapper::LOG_ERROR, "StartCapture ok");
    return 0;
}

int CAVOrvixRecordImpl::_StartCapture(bool bInput) {
    AudioDeviceInfo& record = _Record(bInput);
    if (IdEmpty(record.GuidName)) return 0;
    char name[128];
    char id[128];
    CopyDeviceText(name, record.DevicesName.c_str());
    CopyDeviceText(id, record.GuidName);
    const char* kind = bInput ? "Input" : "Output";
    if (_Capture(bInput)->StartCapture(bInput, name, id) != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, "StartCapture fail(" << kind << "), DevicesName= " << name
                                                                   << ", GuidName= " << id);
        return ORVIX_ERR_CAPTURE_START;
    }
    UC_LOG_THIS(CLogWrapper::LOG_ERROR,
                "--  StartCapture " << kind << ", DevicesName= " << name << ", GuidName=" << id);
    if (bInput) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_llLastInputBlockMs = GetTickMs();
    }
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::StopRecord() {
    ENGINE_OPERATION_FRAME();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "entery");
    ZeroId(m_InputDevice.GuidName);
    ZeroId(m_OutputDevice.GuidName);
    if (m_AudioProcessor.StopAudioEncoding() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Stop Audio Encoding fail!");
        return ORVIX_ERR_AUDIO_ENCODER_STOP;
    }
    if (m_VideoEncodingWorker.StopEncoding() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Stop Video Encoding fail!");
        return ORVIX_ERR_VIDEO_ENCODER_STOP;
    }
    if (m_InputDeviceCapture && m_InputDeviceCapture->StopCapture() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Stop Input Capture fail!");
        return ORVIX_ERR_CAPTURE_STOP;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, " --- Stop Input Capture ok!");
    if (m_OutputDeviceCapture && m_OutputDeviceCapture->StopCapture() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Stop Output Capture fail!");
        return ORVIX_ERR_CAPTURE_STOP;
    }
    if (m_FlvMuxer.Stop() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Stop Muxer fail!");
        return ORVIX_ERR_MUXER_STOP;
    }
    if (m_DumpAudioMuxer.Stop() != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Stop DumpAudioMuxer fail!");
        return ORVIX_ERR_MUXER_STOP;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, " --- Stop Output Capture ok!");
    m_bIsCapture = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bInputCapturing = false;
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "ok");
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::PauseRecord() {
    ENGINE_OPERATION_FRAME();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "entery");
    {
        // A second pause would restart the pause clock and lose the time
        // already paused.
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_bPaused) return 0;
    }
    if (m_InputDeviceCapture) m_InputDeviceCapture->PauseOrResumeCapture(true);
    if (m_OutputDeviceCapture) m_OutputDeviceCapture->PauseOrResumeCapture(true);
    // The video worker's pause window encloses the muxer's: no picture
    // stamped inside the muxer's pause reaches it, so time stamps after the
    // pause is cut out stay in order.
    m_VideoEncodingWorker.SetPause(true);
    m_FlvMuxer.SetPause(true);
    m_DumpAudioMuxer.SetPause(true);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_llPauseBeginMs = GetTickMs();
    m_bPaused = true;
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::ResumeRecord() {
    ENGINE_OPERATION_FRAME();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "entery");
    {
        // Without a pause there is no begin to measure from.
        std::lock_guard<std::mutex> lock(m_Lock);
        if (!m_bPaused) return 0;
    }
    if (m_InputDeviceCapture) m_InputDeviceCapture->PauseOrResumeCapture(false);
    if (m_OutputDeviceCapture) m_OutputDeviceCapture->PauseOrResumeCapture(false);
    m_FlvMuxer.SetPause(false);
    m_DumpAudioMuxer.SetPause(false);
    m_VideoEncodingWorker.SetPause(false);
    std::lock_guard<std::mutex> lock(m_Lock);
    const std::uint64_t now = GetTickMs();
    m_llPausedMs += now - m_llPauseBeginMs;
    m_bPaused = false;
    // The microphone was silent on purpose; pacing by it resumes with its blocks.
    m_llLastInputBlockMs = now;
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::PushVideoData(std::uint32_t timestamp, CDataPackage* picture) {
    if (picture) m_VideoEncodingWorker.PushFrame(timestamp, picture);
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::PushVideoPicture(std::uint32_t timestamp, const VideoPicture& picture) {
    m_VideoEncodingWorker.PushPicture(timestamp, picture);
    return 0;
}

int CAVOrvixRecordImpl::AudioLevelOf(const CapturedAudioBlock* block) {
    if (!block || !block->data || block->byteLength < 2) return 0;
    int peak = 0;
    const std::uint32_t samples = block->byteLength / 2;
    for (std::uint32_t i = 0; i < samples; ++i) {
        std::int16_t s;
        std::memcpy(&s, block->data + 2 * i, sizeof(s));
        peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    return kLevelTable[std::min(peak, 32767) / 1000];
}

void CAVOrvixRecordImpl::OnAudioCaptured(CAudioDeviceCapture* source, CapturedAudioBlock* block) {
    if (!block) return;
    const bool isTimer = source ? source->IsInputDevice() : true;
    IOrvixRecordSink* sink;
    bool report = false;
    std::uint32_t seconds = 0;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        sink = m_pSink;
        m_AudioProcessor.PushAudioBlock(block);
        if (isTimer) {
            m_llLastInputBlockMs = GetTickMs();
            report = _DurationStepLocked(seconds);
        }
    }
    if (!sink) return;
    sink->OnAudioLevel(block->bIsInputDevice ? 1 : 0, AudioLevelOf(block));
    if (report) sink->OnRecordDuration(seconds);
}

void CAVOrvixRecordImpl::OnVideoFrameEncoded() {
    IOrvixRecordSink* sink = nullptr;
    bool report = false;
    std::uint32_t seconds = 0;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        // A microphone paces the reports while its blocks arrive; when it has
        // delivered nothing for a while (its device went away, its capture
        // ended) the pictures take over, so the clock never stops.
        constexpr std::uint64_t kSilentInputMs = 1500;
        const bool inputPacing =
            m_bInputCapturing && (m_bPaused || GetTickMs() - m_llLastInputBlockMs < kSilentInputMs);
        if (!inputPacing) {
            sink = m_pSink;
            report = _DurationStepLocked(seconds);
        }
    }
    if (report && sink) sink->OnRecordDuration(seconds);
}

void CAVOrvixRecordImpl::OnDeviceChanged() {
    IOrvixRecordSink* sink;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        sink = m_pSink;
    }
    if (sink) sink->OnAudioDeviceChanged();
}

void CAVOrvixRecordImpl::OnMuxError(int code) {
    IOrvixRecordSink* sink;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        sink = m_pSink;
    }
    if (sink) sink->OnRecordError(static_cast<int>(static_cast<std::uint32_t>(code) | 0x80000000u));
}

std::uint64_t CAVOrvixRecordImpl::_PausedMsLocked(std::uint64_t nowMs) const {
    std::uint64_t paused = m_llPausedMs;
    if (m_bPaused && nowMs > m_llPauseBeginMs) paused += nowMs - m_llPauseBeginMs;
    return paused;
}

bool CAVOrvixRecordImpl::_DurationStepLocked(std::uint32_t& seconds) {
    const std::uint64_t now = GetTickMs();
    if (m_llLastReportMs == 0) {
        m_llLastReportMs = m_llStartMs = now;
        seconds = 0;
        return true;
    }
    if (now - m_llLastReportMs < 1000) return false;
    m_llLastReportMs = now;
    const std::uint64_t elapsed = now - m_llStartMs;
    const std::uint64_t paused = _PausedMsLocked(now);
    seconds = static_cast<std::uint32_t>((elapsed >= paused ? elapsed - paused : elapsed) / 1000);
    return true;
}

bool CAVOrvixRecordImpl::IsDeviceCapturing(bool bInput) const {
    const auto& capture = bInput ? m_InputDeviceCapture : m_OutputDeviceCapture;
    return capture && capture->IsCapturing();
}

// ---- Device listing and selection ----

std::uint32_t CAVOrvixRecordImpl::GetDeviceList(std::list<AudioDeviceInfo>* devices) {
    ENGINE_OPERATION_FRAME();
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "entery");
    if (!devices) {
        UC_ASSERT_TEXT("NULL != devices");
        return 0;
    }
    devices->clear();
    for (bool bInput : {true, false}) {
        DeviceEntryMap map;
        if (bInput) {
            m_DeviceControl.GetInputDeviceList(map);
        } else {
            m_DeviceControl.GetOutputDeviceList(map);
        }
        for (const auto& [index, entry] : map) {
            AudioDeviceInfo info;
            info.m_bCapture = bInput ? 1 : 0;
            info.DevicesName = entry.name;
            info.m_bDefault = entry.isDefault ? 1 : 0;
            CopyDeviceText(info.GuidName, entry.id);
            UC_LOG_THIS(CLogWrapper::LOG_INFO,
                        " --- Device Name= " << info.DevicesName << " , Device GUID= " << info.GuidName
                                             << ", " << (entry.isDefault ? "Default Device" : "Normal Device")
                                             << (bInput ? ", Input" : ", Output"));
            devices->push_back(std::move(info));
        }
    }
    return 0;
}

std::uint32_t CAVOrvixRecordImpl::SetCurrentAudioDevice(std::list<AudioDeviceInfo>* devices) {
    ENGINE_OPERATION_FRAME();
    static const std::list<AudioDeviceInfo> kNone;
    const std::list<AudioDeviceInfo>& list = devices ? *devices : kNone;
    {
        CLogWrapper::CRecorder entries;
        for (const auto& d : list) {
            entries << " -- DevicesName= " << d.DevicesName << ", GuidName= " << IdText(d.GuidName)
                    << ", m_bDefault= " << d.m_bDefault << ", m_bCapture= " << d.m_bCapture;
        }
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "Device Set!!!" << entries.c_str());
    }
    if (list.empty()) {
        if (m_bIsCapture) {
            for (bool bInput : {true, false}) {
                _ReplaceCapture(bInput, false);
                ZeroId(_Record(bInput).GuidName);
                _Record(bInput).DevicesName.clear();
            }
        }
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bInputCapturing = false;
        return 0;
    }
    if (!_TrySetCurrentAudioDeviceByUUID(list)) _TrySetCurrentAudioDeviceByName(list);
    const bool capturing = m_InputDeviceCapture && m_InputDeviceCapture->IsCapturing();
    std::lock_guard<std::mutex> lock(m_Lock);
    if (capturing && !m_bInputCapturing) m_llLastInputBlockMs = GetTickMs();
    m_bInputCapturing = capturing;
    return 0;
}

void CAVOrvixRecordImpl::_ReplaceCapture(bool bInput, bool bStart) {
    std::unique_ptr<CAudioDeviceCapture>& capture = _Capture(bInput);
    if (capture) capture->StopCapture();
    // The old object goes first: its thread is joined and its stream closed
    // before the new one opens the device.
    capture.reset();
    capture = std::make_unique<CAudioDeviceCapture>();
    capture->Init(this, &_Resampler(bInput));
    if (!bStart) return;
    const AudioDeviceInfo& record = _Record(bInput);
    int code = capture->StartCapture(bInput, record.DevicesName.c_str(), IdText(record.GuidName).c_str());
    if (code != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- StartCapture fail(" << (bInput ? "Input" : "Output")
                                                                     << "), errorcode=" << code
                                                                     << ", DevicesName= " << record.DevicesName);
    } else if (bInput) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_llLastInputBlockMs = GetTickMs();
    }
}

void CAVOrvixRecordImpl::_ResetCapture(bool bInput) {
    _ReplaceCapture(bInput, false);
    ZeroId(_Record(bInput).GuidName);
}

void CAVOrvixRecordImpl::_LogChosenDevices(bool bInputSeen, bool bOutputSeen, int counter) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO,
                " --- Input Device= " << m_InputDevice.DevicesName << ", Output Device= "
                                      << m_OutputDevice.DevicesName << ", bIsAlreadyInputChange= "
                                      << TrueFalse(bInputSeen) << ", bIsAlreadyOutputChange= "
                                      << TrueFalse(bOutputSeen) << ", i32LoopDeviceCount= " << counter);
}

bool CAVOrvixRecordImpl::_TrySetCurrentAudioDeviceByUUID(const std::list<AudioDeviceInfo>& devices) {
    int counter = 0;
    bool inputSeen = false;
    bool outputSeen = false;
    for (const AudioDeviceInfo& entry : devices) {
        const bool bInput = entry.m_bCapture != 0;
        AudioDeviceInfo& record = _Record(bInput);
        if (IdEmpty(record.GuidName)) continue;
        ++counter;
        if (!m_bIsCapture) {
            record.DevicesName = entry.DevicesName;
            std::memcpy(record.GuidName, entry.GuidName, sizeof(record.GuidName));
            record.GuidName[sizeof(record.GuidName) - 1] = '\0';
            record.m_bCapture = bInput ? 1 : 0;
            continue;
        }
        (bInput ? inputSeen : outputSeen) = true;
        if (!SameId(entry.GuidName, record.GuidName)) {
            record.DevicesName = entry.DevicesName;
            std::memcpy(record.GuidName, entry.GuidName, sizeof(record.GuidName));
            record.GuidName[sizeof(record.GuidName) - 1] = '\0';
            record.m_bCapture = bInput ? 1 : 0;
            _ReplaceCapture(bInput, true);
        }
    }
    if (m_bIsCapture && !inputSeen) {
        _ResetCapture(true);
        m_InputDevice.DevicesName.clear();
    }
    if (m_bIsCapture && !outputSeen) {
        _ResetCapture(false);
        m_OutputDevice.DevicesName.clear();
    }
    _LogChosenDevices(inputSeen, outputSeen, counter);
    return counter == static_cast<int>(devices.size());
}

bool CAVOrvixRecordImpl::_TrySetCurrentAudioDeviceByName(const std::list<AudioDeviceInfo>& devices) {
    int counter = 0;
    bool inputSeen = false;
    bool outputSeen = false;
    for (const AudioDeviceInfo& entry : devices) {
        const bool bInput = entry.m_bCapture != 0;
        AudioDeviceInfo& record = _Record(bInput);
        if (!IdEmpty(record.GuidName)) {
            // Already chosen by its ID: the kind is in the list and stays.
            if (m_bIsCapture) (bInput ? inputSeen : outputSeen) = true;
            continue;
        }
        char found[128] = {};
        m_DeviceControl.GetDeviceIdByName(found, bInput, entry.DevicesName.c_str());
        found[sizeof(found) - 1] = '\0';
        ++counter;
        if (!m_bIsCapture) {
            record.DevicesName = entry.DevicesName;
            CopyDeviceText(record.GuidName, found);
            record.m_bCapture = bInput ? 1 : 0;
            continue;
        }
        (bInput ? inputSeen : outputSeen) = true;
        if (entry.DevicesName != record.DevicesName) {
            record.DevicesName = entry.DevicesName;
            CopyDeviceText(record.GuidName, found);
            record.m_bCapture = bInput ? 1 : 0;
            _ReplaceCapture(bInput, true);
        }
    }
    if (m_bIsCapture && !inputSeen) _ResetCapture(true);
    if (m_bIsCapture && !outputSeen) _ResetCapture(false);
    _LogChosenDevices(inputSeen, outputSeen, counter);
    return counter != 0;
}
