// CDeviceChooser: finds the engine's device record that a --mic or
// --speaker value names.
#pragma once

#include <list>
#include <string>

#include "recengine/orvixavrecord.h"
#include "recoptions.h"

class CDeviceChooser {
public:
    explicit CDeviceChooser(const std::list<AudioDeviceInfo>& devices) : m_Devices(devices) {}

    // The record of kind bMic (microphone) or speaker that `choice` names:
    // the default endpoint, or the endpoint whose ID equals `name` (else the
    // first whose friendly name does). Null for kNone, for a default when the
    // kind has none, and for a name nobody has.
    const AudioDeviceInfo* Find(bool bMic, CRecOptions::DeviceChoice choice, const std::string& name) const;

    // The listing printed by --list-devices.
    std::string Describe() const;

private:
    const std::list<AudioDeviceInfo>& m_Devices;
};
