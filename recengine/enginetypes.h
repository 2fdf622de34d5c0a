// Records and one-operation interfaces shared by the engine's components:
// the queue record of encoded and raw media, the muxer input, the callbacks
// of the workers and the audio pull side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "basekit/datapackage.h"

// One queued picture or encoded frame. The record owns a private copy of the
// payload (DuplicatePackage shares the bytes by reference count); copying the
// record copies again, destroying it releases its copy. A payload that wraps
// bytes it does not own (a pooled picture) comes with `hold`, which keeps
// those bytes alive and unchanged until the last copy of the record goes.
struct MediaPacket {
    CDataPackage* data = nullptr;
    std::uint32_t timestamp = 0;  // milliseconds
    bool bKeyFrame = false;
    bool bVideo = false;
    std::shared_ptr<const void> hold;
    // A raw picture: rows [nChangedTop, nChangedTop + nChangedRows) are the
    // only ones that differ from the picture queued before it (0 rows:
    // none, -1: any row may differ).
    int nChangedTop = 0;
    int nChangedRows = -1;

    MediaPacket() = default;
    MediaPacket(const CDataPackage* payload, std::uint32_t ts, bool key, bool video)
        : data(payload ? payload->DuplicatePackage() : nullptr), timestamp(ts), bKeyFrame(key), bVideo(video) {}
    MediaPacket(const MediaPacket& o)
        : data(o.data ? o.data->DuplicatePackage() : nullptr), timestamp(o.timestamp),
          bKeyFrame(o.bKeyFrame), bVideo(o.bVideo), hold(o.hold), nChangedTop(o.nChangedTop),
          nChangedRows(o.nChangedRows) {}
    MediaPacket(MediaPacket&& o) noexcept
        : data(o.data), timestamp(o.timestamp), bKeyFrame(o.bKeyFrame), bVideo(o.bVideo),
          hold(std::move(o.hold)), nChangedTop(o.nChangedTop), nChangedRows(o.nChangedRows) {
        o.data = nullptr;
    }
    MediaPacket& operator=(MediaPacket o) noexcept {
        std::swap(data, o.data);
        timestamp = o.timestamp;
        bKeyFrame = o.bKeyFrame;
        bVideo = o.bVideo;
        std::swap(hold, o.hold);
        nChangedTop = o.nChangedTop;
        nChangedRows = o.nChangedRows;
        return *this;
    }
    ~MediaPacket() {
        if (data) data->DestroyPackage();
    }
};

// The input side of a muxer.
class IMUXPushData {
public:
    // Queues one encoded frame; the muxer copies the payload, the caller keeps its own.
    virtual void PushMediaData(bool bVideo, bool bKeyFrame, CDataPackage* payload,
                               std::uint32_t timestampMs) = 0;
    // The H.264 decoder configuration record.
    virtual std::uint32_t SetVideoConfig(CDataPackage& avcConfig) = 0;
    virtual int SetPause(bool paused) = 0;
    virtual std::uint32_t AddSubMuxer(IMUXPushData* /*other*/) { return 0; }
    virtual ~IMUXPushData() = default;
};

// Called from a muxer's writer thread when writing fails.
class IMuxErrorNotify {
public:
    virtual void OnMuxError(int code) = 0;

protected:
    ~IMuxErrorNotify() = default;
};

// Called on the video encoding thread after each encoded picture was pushed.
class IVideoEncodingObserver {
public:
    virtual void OnVideoFrameEncoded() = 0;

protected:
    ~IVideoEncodingObserver() = default;
};

// The pull side of the audio processor, used by the audio encoding worker.
class IDataGetter {
public:
    virtual ~IDataGetter() = default;
    // False when the microphone (bInput) or loopback queue is empty; else the
    // oldest queued block's capture time in nanoseconds.
    virtual bool PeekFrontTimestamp(bool bInput, std::uint64_t* timestampNs) = 0;
    // Takes up to maxFrames stereo 16-bit frames from the front of that queue
    // into a new array of maxFrames * 4 bytes (released by the caller with
    // delete[]); false when the queue is empty.
    virtual bool ReadBlock(bool bInput, std::uint32_t maxFrames, std::uint8_t** buffer,
                           std::uint32_t* byteLength) = 0;
};

// A second face of an IDataGetter (found with dynamic_cast): when the
// sound of the front block was captured, as the capture layer estimated it
// from the stream's latency. PeekFrontTimestamp gives the block's place on
// its source's timeline, which follows the read times; the difference is
// how much older the sound is than that line says.
class IAudioCaptureTime {
public:
    // False when that queue is empty; else the front block's capture time in
    // nanoseconds on the engine clock.
    virtual bool PeekFrontCaptureTime(bool bInput, std::uint64_t* captureNs) = 0;

protected:
    ~IAudioCaptureTime() = default;
};

// Tells the engine that an audio device arrived or left.
class IDeviceChangedSink {
public:
    virtual void OnDeviceChanged() = 0;

protected:
    ~IDeviceChangedSink() = default;
};

// One endpoint of the enumerator. Names and IDs are UTF-8, cut to at most
// 127 bytes on a character boundary.
struct DeviceEntry {
    char name[128] = {};
    char id[128] = {};
    bool isDefault = false;
};
// Key: the endpoint's 0-based index in enumeration order.
using DeviceEntryMap = std::map<int, DeviceEntry>;

// The log text of a flag.
inline const char* TrueFalse(bool flag) { return flag ? "true" : "false"; }

// Device names and IDs travel in 128-byte fields: at most 127 bytes of text
// and a NUL. A longer text is cut before the first UTF-8 character that
// would not fit whole.
constexpr std::size_t kDeviceTextMax = 127;
inline std::string_view CutDeviceText(std::string_view text) {
    if (text.size() <= kDeviceTextMax) return text;
    std::size_t n = kDeviceTextMax;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}
// Fills the field with the (cut) text and zeros behind it.
inline void CopyDeviceText(char (&field)[128], std::string_view text) {
    const std::string_view cut = CutDeviceText(text);
    std::memset(field, 0, sizeof field);
    if (!cut.empty()) std::memcpy(field, cut.data(), cut.size());
}
// A NUL-terminated text, or a full field without NUL; null copies nothing.
inline void CopyDeviceText(char (&field)[128], const char* text) {
    CopyDeviceText(field, text ? std::string_view(text, strnlen(text, sizeof field)) : std::string_view());
}

// One captured block on its way to the audio processor; data is valid only
// during the sink call.
struct CapturedAudioBlock {
    const std::uint8_t* data = nullptr;  // interleaved S16LE
    std::uint32_t frames = 0;
    std::uint32_t byteLength = 0;
    std::uint32_t channels = 0;
    std::uint32_t bytesPerSample = 2;
    std::uint32_t deviceSampleRate = 0;
    std::uint32_t sampleRate = 0;
    std::uint64_t timestampNs = 0;    // engine clock: first frame's capture time
    std::uint64_t captureTimeNs = 0;  // engine clock: when the packet was read
    bool bIsInputDevice = false;
};

class CAudioDeviceCapture;

class IAudioDeviceCaptureSink {
public:
    virtual void OnAudioCaptured(CAudioDeviceCapture* source, CapturedAudioBlock* block) = 0;

protected:
    ~IAudioDeviceCaptureSink() = default;
};
