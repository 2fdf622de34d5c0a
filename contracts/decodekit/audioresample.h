// decodekit: the audio resampler (libswresample behind it).
//
// An object comes from CreateAudioResample() and goes back through
// DestoryAudioResample; it is used only on the thread that created it.
// Every operation returns a code (0 = success) and never throws.
//
// Sample format codes (interleaved samples, native little-endian):
//   0 = unsigned 8-bit, 1 = signed 16-bit, 2 = signed 32-bit,
//   3 = 32-bit float (nominal range -1..1).
// Channels 1..8 with the usual layouts (1 mono, 2 stereo, ...). Mono to
// stereo copies the channel into both sides at the same level; stereo to
// mono averages the two sides; other layouts use libswresample's downmix.
#pragma once

#include <cstdint>
#include "basekit/resultcodes.h"

#if defined(__GNUC__)
#define DECODEKIT_API __attribute__((visibility("default")))
#else
#define DECODEKIT_API
#endif

enum : int {
    UC_SAMPLE_U8 = 0,
    UC_SAMPLE_S16 = 1,
    UC_SAMPLE_S32 = 2,
    UC_SAMPLE_FLOAT = 3,
};

// Result codes besides 0 (the library codes of basekit/resultcodes.h).
enum : int {
    UC_RESAMPLE_ERR_FAILED = UC_ERR_BAD_DATA,              // libswresample failed
    UC_RESAMPLE_ERR_NOT_SUPPORTED = UC_ERR_NOT_SUPPORTED,  // format code or channel count not supported
    UC_RESAMPLE_ERR_BAD_ARGUMENT = UC_ERR_BAD_ARGUMENT,    // null pointer, a value out of range
    UC_RESAMPLE_ERR_WRONG_STATE = UC_ERR_NO_ROOM,          // not initialised
};

class IAudioResample {
public:
    // Slot 0: sets up the conversion (output channels, output format code,
    // output rate, input channels, input format code, input rate). Rates
    // 1000..384000 Hz. May be called again to start over.
    virtual int Init(int nOutChannels, int nOutFormat, int nOutRate, int nInChannels,
                     int nInFormat, int nInRate) = 0;
    // Slot 1: converts `nInBytes` of input (whole sample frames; a partial
    // trailing frame is ignored) and returns the output interleaved in the
    // output format: *ppOut / *pOutBytes, memory owned by the resampler until
    // its next call. The resampler keeps a few samples back for its filter,
    // so an output block need not match its input block; the total follows
    // the rate ratio. *pOutBytes may be 0 (with *ppOut non-null). A null
    // input (or 0 bytes with a null pointer) drains the samples held back.
    // A block that would give more than 2^24 output frames is refused (UC_ERR_BAD_ARGUMENT).
    virtual int Convert(const unsigned char* pIn, int nInBytes, unsigned char** ppOut,
                        int* pOutBytes) = 0;
    // Slot 2: clock drift correction. From now on the conversion makes
    // `dRatio` times as many output samples as the nominal rates give
    // (1.001 = 0.1 % more, i.e. the input is treated as running 0.1 % fast
    // against the output clock). Allowed 0.9..1.1; 1.0 ends the correction.
    // The ratio changes smoothly (no samples are dropped or repeated) and
    // stays in force until the next call, Init, or destruction. It works
    // for equal rates too: the first correction then switches the resampler
    // in, which holds back a few samples once.
    virtual int SetRateAdjust(double dRatio) = 0;
    // Slot 3: the ratio set by slot 2 (1.0 when none).
    virtual double GetRateAdjust() = 0;
    // Slot 4: a one-off correction: over the next `nDistance` output samples,
    // make `nSampleDelta` samples more (positive) or fewer (negative) than
    // the ratio in force, spread evenly; afterwards the slot 2 ratio applies
    // again. |nSampleDelta| must be below nDistance / 10.
    virtual int Compensate(int nSampleDelta, int nDistance) = 0;
    // Slot 5: output samples per channel the resampler currently holds
    // back (an estimate of its delay).
    virtual int GetDelaySamples() = 0;

protected:
    virtual ~IAudioResample() = default;
};

extern "C" {
DECODEKIT_API IAudioResample* CreateAudioResample();
// Releases a resampler from CreateAudioResample; null is ignored.
DECODEKIT_API void DestoryAudioResample(IAudioResample* pResample);
}
