#include "dumpaudiomuxer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "recengine/enginecodes.h"

namespace {

// Writes all of `size` bytes; false (errno set) when the file took fewer.
bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

CDumpAudioMuxer::CDumpAudioMuxer() = default;

CDumpAudioMuxer::~CDumpAudioMuxer() {
    if (m_Worker.IsRunning()) Stop();
    CloseFile();
}

int CDumpAudioMuxer::Init(const char* path, std::uint16_t /*nWidth*/, std::uint16_t /*nHeight*/,
                          std::uint16_t /*nFps*/, std::uint16_t wSampleRate,
                          std::uint16_t wChannLayout, int /*VideoType*/, int AudioType,
                          std::uint32_t /*bHaveVideo*/, std::uint32_t bHaveAudio,
                          std::uint32_t /*bNeedBackup*/, IMuxErrorNotify* notify) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_pErrorNotify = notify;
    std::string strFilePath = path ? path : "";
    UC_LOG_THIS(CLogWrapper::LOG_INFO,
                "flv muxer param, strFilePathTmp(ansi)= "
                    << strFilePath << ", strFilePathTmp(UTF8)= " << strFilePath
                    << ", wSampleRate= " << wSampleRate << ", wChannLayout=" << wChannLayout
                    << ", AudioType=" << AudioType << ", bHaveAudio=" << TrueFalse(bHaveAudio));
    if (m_Worker.IsRunning()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail, the muxer runs already");
        return MUX_INIT_NO_THREAD;
    }
    CloseFile();
    // Others may open the file for reading and writing while it is written.
    m_nFile = strFilePath.empty()
                  ? -1
                  : ::open(strFilePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_nFile < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- file open fail");
        return MUX_INIT_NO_OUTPUT;
    }
    if (m_Worker.Start(&CDumpAudioMuxer::PumpThread, this, "tv-dumpmux") != CWorkerQueue::START_OK) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- CreateThread fail");
        return MUX_INIT_NO_THREAD;
    }
    return 0;
}

void CDumpAudioMuxer::PushMediaData(bool bVideo, bool /*bKeyFrame*/, CDataPackage* payload,
                                    std::uint32_t timestampMs) {
    if (bVideo) return;
    // Producers hand over packages that wrap their codec's output buffer.
    MediaPacket packet;
    packet.data = CDataPackage::CopyPackage(payload);
    packet.timestamp = timestampMs;
    m_Worker.Push(std::move(packet));
}

std::uint32_t CDumpAudioMuxer::SetVideoConfig(CDataPackage& /*config*/) {
    return 0;
}

int CDumpAudioMuxer::SetPause(bool /*paused*/) {
    return 0;
}

std::uint32_t CDumpAudioMuxer::AddSubMuxer(IMUXPushData* /*other*/) {
    return 0;
}

int CDumpAudioMuxer::Stop() {
    m_Worker.Stop();
    std::lock_guard<std::mutex> lock(m_Lock);
    CloseFile();
    return 0;
}

void CDumpAudioMuxer::CloseFile() {
    if (m_nFile >= 0) ::close(m_nFile);
    m_nFile = -1;
}

UC_WORKER_THREAD_ENTRY(CDumpAudioMuxer, PumpThread, PumpLoop)

int CDumpAudioMuxer::PumpLoop() {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread Working now");
    IMuxErrorNotify* notify = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        notify = m_pErrorNotify;
    }
    for (;;) {
        // The stop event wins when both are set; what was pushed before it
        // is still written.
        bool stopping = m_Worker.Wait() == CWorkerQueue::WAKE_STOP;
        std::list<MediaPacket> batch = m_Worker.TakeAll();
        if (!WriteBatch(batch)) {
            int error = errno;
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Write Fail, errno= " << error);
            if (notify) notify->OnMuxError(ERR_WRITE_FAILED);
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
            return -1;
        }
        if (stopping) break;
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        CloseFile();
    }
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Thread go stop");
    return 0;
}

bool CDumpAudioMuxer::WriteBatch(const std::list<MediaPacket>& batch) {
    if (batch.empty()) return true;
    // The file descriptor is only closed by this thread or after it ended.
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        fd = m_nFile;
    }
    std::string bytes;
    for (const MediaPacket& packet : batch)
        if (packet.data) bytes += packet.data->FlattenPackage();
    return fd >= 0 && WriteAll(fd, bytes.data(), bytes.size());
}
