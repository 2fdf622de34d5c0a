// CSyntheticStream: the tag sizes and time stamps of a 10-minute 1280x720
// 15 fps H.264 + AAC recording, with bodies that look like the engine's
// (first body byte and AVC/AAC packet type in front, filler behind).
// 9000 video frames (a key frame of about 60 KB every 2 s, inter frames of
// about 10 KB) and 25840 AAC frames of about 200 bytes, in time order. The
// bodies are packages wrapping shared templates, made once, so that writing
// them measures the writer and not the making of frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "basekit/datapackage.h"
#include "flvio/flviotag.h"

class CSyntheticStream {
public:
    struct Frame {
        TagType type;
        unsigned timeStamp;  // ms
        std::size_t size;    // body bytes, first byte included
        bool key;
    };

    CSyntheticStream();
    ~CSyntheticStream();
    CSyntheticStream(const CSyntheticStream&) = delete;
    CSyntheticStream& operator=(const CSyntheticStream&) = delete;

    const std::vector<Frame>& GetFrames() const { return m_frames; }
    CDataPackage& GetBody(std::size_t index) const { return *m_bodies[index]; }
    // The AVC decoder configuration and AAC audio specific config tags.
    CDataPackage& GetVideoConfig() const { return *m_videoConfig; }
    CDataPackage& GetAudioConfig() const { return *m_audioConfig; }
    std::size_t GetBodyBytes() const { return m_nBodyBytes; }
    unsigned GetDurationMs() const { return m_nDurationMs; }

    static constexpr unsigned kVideoFrames = 9000;
    static constexpr unsigned kAudioFrames = 25840;
    static constexpr unsigned kFrameRate = 15;
    static constexpr unsigned kWidth = 1280;
    static constexpr unsigned kHeight = 720;

private:
    struct PackageDeleter {
        void operator()(CDataPackage* p) const { p->DestroyPackage(); }
    };
    using PackagePtr = std::unique_ptr<CDataPackage, PackageDeleter>;

    static std::vector<unsigned char> MakeTemplate(std::size_t size, const unsigned char* head,
                                                   std::size_t headLen, std::uint32_t seed);
    static PackagePtr Wrap(const std::vector<unsigned char>& bytes, std::size_t size);

    std::vector<Frame> m_frames;
    std::vector<unsigned char> m_keyTemplate;
    std::vector<unsigned char> m_interTemplate;
    std::vector<unsigned char> m_audioTemplate;
    std::vector<unsigned char> m_videoConfigBytes;
    std::vector<unsigned char> m_audioConfigBytes;
    std::vector<PackagePtr> m_bodies;
    PackagePtr m_videoConfig;
    PackagePtr m_audioConfig;
    std::size_t m_nBodyBytes = 0;
    unsigned m_nDurationMs = 0;
};
