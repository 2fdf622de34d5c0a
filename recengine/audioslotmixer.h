// CAudioSlotMixer: the audio of one slot of the encoding grid. Each source
// (microphone, loopback) goes through its own CAudioRateCorrector, which
// keeps it in step with the engine clock; the two runs are combined with
// MixPcm16 (microphone first). A source without a run for the slot leaves the
// other's run as it is; with neither, the slot has no audio.
// Used on the encoding thread only.
#pragma once

#include <cstdint>

#include "audioratecorrector.h"
#include "enginetypes.h"

class CAudioSlotMixer {
public:
    static constexpr std::uint32_t kSlotFrames = 1024;
    static constexpr std::uint32_t kSlotBytes = kSlotFrames * 4;

    CAudioSlotMixer() = default;
    CAudioSlotMixer(const CAudioSlotMixer&) = delete;
    CAudioSlotMixer& operator=(const CAudioSlotMixer&) = delete;

    // The slot that begins at slotStartNs (engine clock): takes what the
    // getter holds and writes the slot's audio to `out` (room for
    // kSlotBytes). Returns the bytes written: kSlotBytes, fewer when both
    // sources ran short, 0 when neither has audio for the slot.
    std::uint32_t MixSlot(IDataGetter* getter, std::uint64_t slotStartNs, std::uint8_t* out);
    // At the end of the stream: takes what the getter holds now; MixRest then
    // hands out everything the sources hold, one slot per call, and 0 once
    // both are empty.
    void CollectRest(IDataGetter* getter);
    std::uint32_t MixRest(std::uint8_t* out);

    const CAudioRateCorrector& Source(bool bInput) const { return bInput ? m_Input : m_Output; }
    // How long before a slot's start the slot's audio was captured (ns): the
    // loopback's delay once it has run, else the microphone's; while neither
    // has run (start-up silence), the delay they are about to have. Each
    // source keeps its own delay; the two are mixed as they come.
    std::uint64_t CaptureDelayNs() const;

private:
    std::uint32_t Combine(std::uint32_t inputFrames, std::uint32_t outputFrames, std::uint8_t* out) const;

    CAudioRateCorrector m_Input{true};
    CAudioRateCorrector m_Output{false};
    std::int16_t m_InputRun[kSlotFrames * 2] = {};
    std::int16_t m_OutputRun[kSlotFrames * 2] = {};
};
