// CAacConfig: the MPEG-4 AudioSpecificConfig that an AAC sequence-header tag
// carries: object type, sampling rate and channel configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CAacConfig {
public:
    // False for a config that is cut short or names a reserved rate index.
    bool Parse(const std::uint8_t* data, std::size_t len);

    unsigned GetObjectType() const { return m_nObjectType; }
    unsigned GetSampleRate() const { return m_nSampleRate; }
    // The channel configuration (0: defined in the stream, 7: 7.1).
    unsigned GetChannelConfig() const { return m_nChannelConfig; }
    // The number of channels the configuration stands for (0 when not fixed).
    unsigned GetChannels() const;
    // "AAC LC", "HE-AAC (SBR)" ...
    std::string GetObjectTypeName() const;

private:
    unsigned m_nObjectType = 0;
    unsigned m_nSampleRate = 0;
    unsigned m_nChannelConfig = 0;
};
