// CPulsePlayer: plays a PCM buffer into a sink of the current server
// (PULSE_SERVER) through a playback stream of its own, and tells when the
// buffer's first frame was played, on CLOCK_MONOTONIC (the engine clock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CPulsePlayer {
public:
    struct Result {
        bool ok = false;
        std::string error;
        // GetTickNs() at which the sink played the buffer's first frame.
        std::uint64_t firstFrameNs = 0;
    };

    // Blocks until the buffer (interleaved S16, `channels` per frame) has
    // been played. `leadInMs` of silence go ahead of it, so that the stream
    // runs steadily before the first frame and its timing is known.
    static Result Play(const std::string& sinkName, const std::vector<std::int16_t>& pcm, unsigned rate,
                       unsigned channels, unsigned leadInMs = 300);
};
