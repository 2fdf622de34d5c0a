#include "recordingrepair.h"

#include "basekit/logwrapper.h"
#include "flvio/recordingmarker.h"
#include "flvrepairer.h"

std::string CRecordingRepair::repairFolder(const std::string& folder) {
    const std::vector<std::string> unfinished = CRecordingMarker::FindUnfinished(folder);
    if (unfinished.empty()) return {};
    std::string repaired, failed;
    int count = 0;
    for (const std::string& path : unfinished) {
        CFlvRepairer repairer;
        const int rv = repairer.Repair(path);
        const std::string name = path.substr(path.rfind('/') + 1);
        if (rv == CFlvRepairer::REPAIR_DONE || rv == CFlvRepairer::REPAIR_NOT_NEEDED) {
            repaired += (repaired.empty() ? "" : ", ") + name;
            ++count;
        } else {
            failed += (failed.empty() ? "" : "; ") + name + ": " + repairer.GetError();
        }
    }
    std::string line = "repaired " + std::to_string(count) + " unfinished recording(s) in " + folder;
    if (!repaired.empty()) line += ": " + repaired;
    if (!failed.empty()) line += "; not repaired: " + failed;
    UC_LOG(failed.empty() ? CLogWrapper::LOG_INFO : CLogWrapper::LOG_WARNING, line);
    return line;
}
