#include "audioslotmixer.h"

#include <algorithm>
#include <cstring>

#include "audioprocess.h"

std::uint32_t CAudioSlotMixer::MixSlot(IDataGetter* getter, std::uint64_t slotStartNs, std::uint8_t* out) {
    m_Input.Collect(getter);
    m_Output.Collect(getter);
    const std::uint32_t inputFrames = m_Input.Produce(m_InputRun, kSlotFrames, slotStartNs);
    const std::uint32_t outputFrames = m_Output.Produce(m_OutputRun, kSlotFrames, slotStartNs);
    return Combine(inputFrames, outputFrames, out);
}

std::uint64_t CAudioSlotMixer::CaptureDelayNs() const {
    if (m_Output.DelayFrames() > 0.0 || m_Input.DelayFrames() > 0.0) {
        const CAudioRateCorrector& source = m_Output.DelayFrames() > 0.0 ? m_Output : m_Input;
        return static_cast<std::uint64_t>(source.CaptureDelayNs() + 0.5);
    }
    // Neither has run: the start-up fill plus the lag a source's sound
    // already has (the loopback's, else the microphone's). Without the lag
    // the stamps closed up to 1 ms apart once a source ran, which players and
    // ffmpeg take as overlapping frames.
    const CAudioRateCorrector& source = m_Output.CaptureLagNs() != 0.0 ? m_Output : m_Input;
    const double startUpNs = CAudioRateCorrector::kInitialPrimeFrames * 1e9 / CAudioRateCorrector::kSampleRate;
    return static_cast<std::uint64_t>(startUpNs + std::max(0.0, source.CaptureLagNs()) + 0.5);
}

void CAudioSlotMixer::CollectRest(IDataGetter* getter) {
    m_Input.Collect(getter);
    m_Output.Collect(getter);
}

std::uint32_t CAudioSlotMixer::MixRest(std::uint8_t* out) {
    const std::uint32_t inputFrames = m_Input.Drain(m_InputRun, kSlotFrames);
    const std::uint32_t outputFrames = m_Output.Drain(m_OutputRun, kSlotFrames);
    return Combine(inputFrames, outputFrames, out);
}

std::uint32_t CAudioSlotMixer::Combine(std::uint32_t inputFrames, std::uint32_t outputFrames,
                                       std::uint8_t* out) const {
    const int inputBytes = static_cast<int>(inputFrames * 4);
    const int outputBytes = static_cast<int>(outputFrames * 4);
    if (inputBytes && outputBytes) {
        const int bytes = std::max(inputBytes, outputBytes);
        MixPcm16(out, bytes, reinterpret_cast<const std::uint8_t*>(m_InputRun), inputBytes,
                 reinterpret_cast<const std::uint8_t*>(m_OutputRun), outputBytes);
        return static_cast<std::uint32_t>(bytes);
    }
    if (inputBytes) std::memcpy(out, m_InputRun, static_cast<std::size_t>(inputBytes));
    if (outputBytes) std::memcpy(out, m_OutputRun, static_cast<std::size_t>(outputBytes));
    return static_cast<std::uint32_t>(inputBytes + outputBytes);
}
