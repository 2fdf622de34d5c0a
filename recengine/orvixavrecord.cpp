// The engine library's two exports and the registry of the engines they
// handed out.
#include <algorithm>
#include <cstdlib>
#include <list>
#include <mutex>
#include <new>

#include "avorvixrecordimpl.h"
#include "basekit/logwrapper.h"
#include "recengine/orvixavrecord.h"

#define RECENGINE_EXPORT __attribute__((visibility("default")))

namespace {

// Every engine created and not yet destroyed. A lock makes creating and
// destroying safe from any thread (one engine is never destroyed twice).
struct EngineRegistry {
    std::mutex lock;
    std::list<IOrvixAvRecordInterface*> engines;
};

EngineRegistry& Registry() {
    static EngineRegistry* registry = new EngineRegistry;  // outlives every static destructor
    return *registry;
}

// At load the library asks the logger for every line (threshold 3, which the
// logger keeps as its highest level, 2), unless the user chose a threshold
// with TOLVANE_LOG_LEVEL.
__attribute__((constructor)) void OnLibraryLoad() {
    if (!std::getenv("TOLVANE_LOG_LEVEL")) CLogWrapper::Instance()->SetLogLevel(3);
}

}  // namespace

extern "C" RECENGINE_EXPORT IOrvixAvRecordInterface* CreateOrvixAvRecord() {
    IOrvixAvRecordInterface* engine = new (std::nothrow) CAVOrvixRecordImpl();
    if (!engine) return nullptr;
    EngineRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.engines.push_back(engine);
    return engine;
}

extern "C" RECENGINE_EXPORT int DestoryOrvixAvRecord(IOrvixAvRecordInterface* p) {
    if (!p) return 0;
    {
        // Taken out of the registry first, so that a second destroy of the
        // same pointer finds nothing.
        EngineRegistry& registry = Registry();
        std::lock_guard<std::mutex> lock(registry.lock);
        auto it = std::find(registry.engines.begin(), registry.engines.end(), p);
        if (it == registry.engines.end()) return 0;
        registry.engines.erase(it);
    }
    p->StopRecord();
    delete dynamic_cast<CAVOrvixRecordImpl*>(p);
    return 0;
}
