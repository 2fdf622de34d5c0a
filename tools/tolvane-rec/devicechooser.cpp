#include "devicechooser.h"

#include <cstring>

const AudioDeviceInfo* CDeviceChooser::Find(bool bMic, CRecOptions::DeviceChoice choice,
                                            const std::string& name) const {
    const int kind = bMic ? 1 : 0;
    if (choice == CRecOptions::kNone) return nullptr;
    if (choice == CRecOptions::kDefault) {
        for (const auto& d : m_Devices)
            if (d.m_bCapture == kind && d.m_bDefault) return &d;
        return nullptr;
    }
    for (const auto& d : m_Devices)
        if (d.m_bCapture == kind && name == d.GuidName) return &d;
    for (const auto& d : m_Devices)
        if (d.m_bCapture == kind && name == d.DevicesName) return &d;
    return nullptr;
}

std::string CDeviceChooser::Describe() const {
    std::string text;
    for (int kind : {1, 0}) {
        text += kind ? "Microphones:\n" : "Speakers (recorded in loopback):\n";
        bool any = false;
        for (const auto& d : m_Devices) {
            if (d.m_bCapture != kind) continue;
            any = true;
            text += d.m_bDefault ? "  * " : "    ";
            text += d.GuidName;
            text += "  \"" + d.DevicesName + "\"\n";
        }
        if (!any) text += "    (none)\n";
    }
    text += "(* = default; --mic and --speaker take an ID or a name)\n";
    return text;
}
