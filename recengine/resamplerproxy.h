// CResamplerProxy: the owner of one decodekit resampler, converting a
// capture's packets to the engine's format (44100 Hz stereo S16).
//
// Init re-creates the resampler for a new input format; when input and output
// formats are equal, Resample hands the input back unchanged (no conversion
// call). Init and Resample run on one thread at a time: the engine calls Init
// before a capture thread starts, the capture thread calls Resample.
//
// Clock-drift correction: SetRateAdjust and Compensate may be called from any
// thread (the audio processor calls them from whichever thread estimates a
// source's real rate). They only record the request; the capturing thread
// hands it to the resampler at the start of its next Resample, so the
// resampler itself is never touched by two threads. A correction on an equal
// input and output format switches the conversion in from then on (the
// resampler then holds back a few samples once). A ratio in force survives
// Init (the new resampler gets it); a one-off Compensate still pending at
// Init is dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class IAudioResample;

class CResamplerProxy {
public:
    CResamplerProxy();
    ~CResamplerProxy();
    CResamplerProxy(const CResamplerProxy&) = delete;
    CResamplerProxy& operator=(const CResamplerProxy&) = delete;

    // Format codes are decodekit's (1 = signed 16-bit interleaved). False when
    // no resampler could be created or it refused the formats.
    bool Init(std::uint32_t inChannels, std::uint32_t inFormat, std::uint32_t inRate,
              std::uint32_t outChannels, std::uint32_t outFormat, std::uint32_t outRate);

    // Converts `inBytes` at `inData`. On success *outData / *outBytes describe
    // the output, valid until the next Resample or Init (the resampler's
    // memory, or the input itself when no conversion is needed); *outBytes
    // may be 0 while the resampler fills its filter. On failure *outData is
    // null and *outBytes 0.
    void Resample(std::uint32_t inBytes, const std::uint8_t* inData, std::uint32_t* outBytes,
                  const std::uint8_t** outData);

    // Makes `ratio` times as many output samples as the nominal rates give
    // from the next Resample on (1.001: the source runs 0.1 % fast against
    // the engine clock); 1.0 ends the correction. False outside 0.9..1.1.
    bool SetRateAdjust(double ratio);
    // The ratio last requested (1.0 when none).
    double GetRateAdjust() const;
    // A one-off correction: over the next `distance` output samples make
    // `sampleDelta` samples more (positive) or fewer, spread evenly; then the
    // ratio applies again. False unless |sampleDelta| * 10 < distance.
    bool Compensate(int sampleDelta, int distance);

    // Output frames the resampler currently holds back (its delay); on the
    // resampling thread only. 0 when nothing is converted.
    int GetDelayFrames() const;
    // True when Resample converts (formats differ or a correction switched it in).
    // On the resampling thread only.
    bool IsConverting() const { return m_bNeedConvert; }

private:
    void _DestroyResampler();
    // On the resampling thread: hands pending corrections to the resampler.
    void _ApplyPendingCorrections();

    IAudioResample* m_pResample = nullptr;
    bool m_bNeedConvert = true;

    mutable std::mutex m_correctionLock;
    double m_dRatio = 1.0;          // requested ratio, under m_correctionLock
    double m_dAppliedRatio = 1.0;   // ratio in force in m_pResample (resampling thread)
    int m_nCompensateDelta = 0;     // pending one-off, under m_correctionLock
    int m_nCompensateDistance = 0;
    std::atomic<bool> m_bCorrectionPending{false};
};
