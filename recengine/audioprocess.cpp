#include "audioprocess.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "basekit/logwrapper.h"

namespace {

constexpr std::uint64_t kSnapWindowNs = 700000000ULL;      // jitter that is removed
constexpr std::uint64_t kEngineClockNs = 2000000000ULL;    // a timestamp this close is on the engine clock
constexpr std::uint64_t kCaptureEstimateNs = 250000000ULL; // a capture estimate this close to the line is believed
constexpr std::uint32_t kFrameBytes = 4;                   // one stereo 16-bit sample frame

std::uint64_t AbsDiff(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

std::int16_t LoadSample(const std::uint8_t* p) {
    std::int16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void StoreSample(std::uint8_t* p, std::int16_t v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

void MixPcm16(std::uint8_t* out, int outLen, const std::uint8_t* a, int aLen, const std::uint8_t* b,
              int bLen) {
    if (!out || outLen <= 0) return;
    if (!a || aLen < 0) aLen = 0;
    if (!b || bLen < 0) bLen = 0;
    const int overlap = std::min(aLen, bLen) / 2;
    const int total = std::min(std::max(aLen, bLen), outLen) / 2;
    const std::uint8_t* longer = aLen >= bLen ? a : b;
    int i = 0;
    for (; i < overlap && i < total; ++i) {
        const int mixed = LoadSample(a + 2 * i) / 2 + LoadSample(b + 2 * i) / 2;
        StoreSample(out + 2 * i, static_cast<std::int16_t>(mixed));
    }
    if (i < total) std::memmove(out + 2 * i, longer + 2 * i, static_cast<std::size_t>(total - i) * 2);
}

AudioQueueItem::AudioQueueItem(AudioQueueItem&& o) noexcept
    : data(std::exchange(o.data, nullptr)), frames(o.frames), sampleRate(o.sampleRate),
      reserved(o.reserved), timestampNs(o.timestampNs), timestampNs2(o.timestampNs2), captureNs(o.captureNs),
      bIsInputDevice(o.bIsInputDevice) {}

AudioQueueItem& AudioQueueItem::operator=(AudioQueueItem&& o) noexcept {
    if (this != &o) {
        if (data) data->DestroyPackage();
        data = std::exchange(o.data, nullptr);
        frames = o.frames;
        sampleRate = o.sampleRate;
        reserved = o.reserved;
        timestampNs = o.timestampNs;
        timestampNs2 = o.timestampNs2;
        captureNs = o.captureNs;
        bIsInputDevice = o.bIsInputDevice;
    }
    return *this;
}

AudioQueueItem::~AudioQueueItem() {
    if (data) data->DestroyPackage();
}

std::uint32_t AudioQueueItem::ReadableFrames() const {
    if (!data) return 0;
    const std::size_t held = data->GetPackageLength() / kFrameBytes;
    return static_cast<std::uint32_t>(std::min<std::size_t>(frames, held));
}

CAudioProcess::CAudioProcess() = default;

CAudioProcess::~CAudioProcess() {
    // The worker thread pulls from this object: it must end before the queues go.
    m_EncodingWorker.StopEncoding();
    std::lock_guard<std::mutex> lock(m_lock);
    Flush(m_Input);
    Flush(m_Output);
}

int CAudioProcess::Init(int sampleRate, int channels, IMUXPushData* pSink) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry");
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_nSampleRate = sampleRate;
        m_nChannels = channels;
    }
    return m_EncodingWorker.Init(this, pSink);
}

int CAudioProcess::StartAudioEncoding() {
    { std::lock_guard<std::mutex> lock(m_lock); }
    return m_EncodingWorker.StartEncoding();
}

int CAudioProcess::StopAudioEncoding() {
    { std::lock_guard<std::mutex> lock(m_lock); }
    return m_EncodingWorker.StopEncoding();
}

void CAudioProcess::PushAudioBlock(CapturedAudioBlock* block) {
    if (!block) return;
    std::lock_guard<std::mutex> lock(m_lock);
    AudioSourceState& state = Source(block->bIsInputDevice);
    std::uint64_t captureNs = 0;
    if (AlignBlock(state, *block, captureNs)) {
        Enqueue(state, *block, captureNs);
    } else {
        Flush(state);
    }
}

bool CAudioProcess::AlignBlock(AudioSourceState& state, CapturedAudioBlock& block, std::uint64_t& captureNs) {
    const std::uint64_t orig = block.timestampNs;
    bool accept = false;
    if (AbsDiff(block.captureTimeNs, block.timestampNs) < kEngineClockNs) {
        state.started = true;
        state.offsetNs = 0;
    }
    if (!state.started) {
        state.started = true;
        state.offsetNs = block.captureTimeNs - block.timestampNs;
    } else if (state.expectedNs != 0) {
        // expectedNs is on the engine clock; compare it on the source's own clock.
        const std::uint64_t expectedOnSource = state.expectedNs - state.offsetNs;
        if (AbsDiff(expectedOnSource, block.timestampNs) < kSnapWindowNs) block.timestampNs = expectedOnSource;
    }
    const std::uint64_t duration =
        block.sampleRate ? static_cast<std::uint64_t>(block.frames) * 1000000000ULL / block.sampleRate : 0;
    state.expectedNs = block.captureTimeNs + duration;
    const std::uint64_t mappingNs = state.offsetNs;  // the offset this block was mapped with
    block.timestampNs += state.offsetNs;
    captureNs = orig + state.offsetNs;

    if (state.lastNs != 0) {
        const std::uint64_t diff = AbsDiff(block.timestampNs, state.lastNs);
        if (diff < kSnapWindowNs) {
            accept = true;
        } else if (diff > kEngineClockNs) {
            state.started = true;
            state.offsetNs = block.captureTimeNs - orig;
            block.timestampNs = orig + state.offsetNs;
            captureNs = block.timestampNs;
        }
    }
    // A capture estimate far from the read-time line (a source that delivers
    // seconds at once) is not believed: the line stands for it.
    if (AbsDiff(captureNs, block.timestampNs) > kCaptureEstimateNs) captureNs = block.timestampNs;
    // The next block is expected at expectedNs on the engine clock; a re-anchor
    // moves that reference by the change of the offset.
    state.lastNs = state.expectedNs + (state.offsetNs - mappingNs);
    return accept;
}

void CAudioProcess::Enqueue(AudioSourceState& state, const CapturedAudioBlock& block, std::uint64_t captureNs) {
    if (!block.data || block.byteLength == 0 || block.frames == 0) return;
    AudioQueueItem item;
    item.data = new CDataPackage(block.byteLength, block.data, CDataPackage::FLAG_NONE, block.byteLength);
    item.frames = block.frames;
    item.sampleRate = block.sampleRate;
    item.timestampNs = block.timestampNs;
    item.timestampNs2 = block.timestampNs;
    item.captureNs = captureNs;
    item.bIsInputDevice = block.bIsInputDevice;
    state.queue.push_back(std::move(item));
}

void CAudioProcess::Flush(AudioSourceState& state) {
    state.cursor = 0;
    state.queue.clear();
}

bool CAudioProcess::PeekFrontTimestamp(bool bInput, std::uint64_t* timestampNs) {
    return PeekFront(bInput, &AudioQueueItem::timestampNs, timestampNs);
}

bool CAudioProcess::PeekFrontCaptureTime(bool bInput, std::uint64_t* captureNs) {
    return PeekFront(bInput, &AudioQueueItem::captureNs, captureNs);
}

bool CAudioProcess::PeekFront(bool bInput, std::uint64_t AudioQueueItem::*field, std::uint64_t* value) {
    std::lock_guard<std::mutex> lock(m_lock);
    AudioSourceState& state = Source(bInput);
    if (state.queue.empty()) return false;
    if (value) *value = state.queue.front().*field;
    return true;
}

bool CAudioProcess::ReadBlock(bool bInput, std::uint32_t maxFrames, std::uint8_t** buffer,
                              std::uint32_t* byteLength) {
    UC_ASSERTE_RETURN(buffer && byteLength, false);
    std::lock_guard<std::mutex> lock(m_lock);
    AudioSourceState& state = Source(bInput);
    if (state.queue.empty()) return false;

    auto* out = new std::uint8_t[static_cast<std::size_t>(maxFrames) * kFrameBytes];
    *buffer = out;
    std::uint32_t copied = 0;
    while (copied < maxFrames && !state.queue.empty()) {
        AudioQueueItem& item = state.queue.front();
        const std::uint32_t available = item.ReadableFrames();
        const std::uint32_t first = std::min(state.cursor, available);
        const std::uint32_t take = std::min(available - first, maxFrames - copied);
        if (take) {
            item.data->Peek(out + static_cast<std::size_t>(copied) * kFrameBytes,
                            static_cast<std::size_t>(take) * kFrameBytes,
                            static_cast<std::size_t>(first) * kFrameBytes);
        }
        copied += take;
        if (first + take >= available) {
            state.queue.pop_front();
            state.cursor = 0;
        } else {
            state.cursor = first + take;
        }
    }
    *byteLength = copied * kFrameBytes;
    return true;
}

std::uint64_t CAudioProcess::GetQueuedFrames(bool bInput) {
    std::lock_guard<std::mutex> lock(m_lock);
    const AudioSourceState& state = Source(bInput);
    std::uint64_t frames = 0;
    for (const AudioQueueItem& item : state.queue) frames += item.ReadableFrames();
    return frames - std::min<std::uint64_t>(frames, state.cursor);
}
