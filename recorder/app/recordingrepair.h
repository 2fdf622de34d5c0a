// CRecordingRepair: at the bar's start, finishes the recordings in the
// output folder that a crash or a power cut left unfinished (those with a
// left-over marker, see CRecordingMarker) with CFlvRepairer, and says so in
// one log line. Called on the GUI thread; owns nothing.
#pragma once

#include <string>

class CRecordingRepair {
public:
    // Repairs what is left unfinished in `folder`; the log line written
    // (empty when there was nothing to repair).
    static std::string repairFolder(const std::string& folder);
};
