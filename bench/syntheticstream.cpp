#include "syntheticstream.h"

#include <algorithm>

namespace {

constexpr std::size_t kKeySize = 60 * 1024;
constexpr std::size_t kInterSize = 10 * 1024;
constexpr std::size_t kAudioSize = 200;
constexpr unsigned kKeyInterval = 2 * CSyntheticStream::kFrameRate;  // frames
constexpr unsigned kSampleRate = 44100;
constexpr unsigned kSamplesPerFrame = 1024;

// A small deterministic generator for sizes and filler.
class CLcg {
public:
    explicit CLcg(std::uint32_t seed) : m_state(seed) {}
    std::uint32_t Next() {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }
    // `base` varied by up to +-`percent` percent.
    std::size_t Around(std::size_t base, unsigned percent) {
        const std::size_t span = base * percent / 100;
        return base - span + Next() % (2 * span + 1);
    }

private:
    std::uint32_t m_state;
};

}  // namespace

CSyntheticStream::CSyntheticStream() {
    CLcg sizes(20261208);
    for (unsigned i = 0; i < kVideoFrames; ++i) {
        const bool key = i % kKeyInterval == 0;
        const std::size_t size = key ? sizes.Around(kKeySize, 10) : sizes.Around(kInterSize, 30);
        m_frames.push_back({TAG_TYPE_VIDEO, i * 1000 / kFrameRate, size, key});
    }
    for (unsigned i = 0; i < kAudioFrames; ++i) {
        const auto ts = static_cast<unsigned>(std::uint64_t(i) * kSamplesPerFrame * 1000 / kSampleRate);
        m_frames.push_back({TAG_TYPE_AUDIO, ts, sizes.Around(kAudioSize, 20), false});
    }
    std::stable_sort(m_frames.begin(), m_frames.end(),
                     [](const Frame& a, const Frame& b) { return a.timeStamp < b.timeStamp; });

    std::size_t maxKey = 0, maxInter = 0, maxAudio = 0;
    for (const Frame& f : m_frames) {
        std::size_t& max = f.type == TAG_TYPE_AUDIO ? maxAudio : f.key ? maxKey : maxInter;
        max = std::max(max, f.size);
        m_nBodyBytes += f.size;
        m_nDurationMs = std::max(m_nDurationMs, f.timeStamp);
    }
    // Video: frame type and codec, AVC NAL unit packet, composition time 0.
    const unsigned char keyHead[] = {0x17, 0x01, 0x00, 0x00, 0x00};
    const unsigned char interHead[] = {0x27, 0x01, 0x00, 0x00, 0x00};
    // Audio: AAC 44 kHz 16-bit stereo, raw AAC frame.
    const unsigned char audioHead[] = {0xAF, 0x01};
    m_keyTemplate = MakeTemplate(maxKey, keyHead, sizeof keyHead, 1);
    m_interTemplate = MakeTemplate(maxInter, interHead, sizeof interHead, 2);
    m_audioTemplate = MakeTemplate(maxAudio, audioHead, sizeof audioHead, 3);
    m_bodies.reserve(m_frames.size());
    for (const Frame& f : m_frames) {
        const auto& bytes = f.type == TAG_TYPE_AUDIO ? m_audioTemplate : f.key ? m_keyTemplate : m_interTemplate;
        m_bodies.push_back(Wrap(bytes, f.size));
    }

    // AVC sequence header (an avcC record for a Baseline 3.1 stream) and the
    // AAC LC 44100 Hz stereo audio specific config.
    m_videoConfigBytes = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x42, 0xC0, 0x1F, 0xFF, 0xE1, 0x00, 0x0A,
                          0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x01, 0x40, 0x16, 0xE8, 0x40, 0x01, 0x00, 0x04,
                          0x68, 0xCE, 0x3C, 0x80};
    m_audioConfigBytes = {0xAF, 0x00, 0x12, 0x10};
    m_videoConfig = Wrap(m_videoConfigBytes, m_videoConfigBytes.size());
    m_audioConfig = Wrap(m_audioConfigBytes, m_audioConfigBytes.size());
}

CSyntheticStream::~CSyntheticStream() = default;

std::vector<unsigned char> CSyntheticStream::MakeTemplate(std::size_t size, const unsigned char* head,
                                                          std::size_t headLen, std::uint32_t seed) {
    std::vector<unsigned char> bytes(std::max(size, headLen));
    CLcg filler(seed);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(filler.Next());
    std::copy(head, head + headLen, bytes.begin());
    return bytes;
}

CSyntheticStream::PackagePtr CSyntheticStream::Wrap(const std::vector<unsigned char>& bytes, std::size_t size) {
    return PackagePtr(new CDataPackage(size, bytes.data(), CDataPackage::FLAG_WRAP, size));
}
