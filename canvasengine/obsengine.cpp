#include "canvasengine/obsengine.h"

#include "basekit/logwrapper.h"
#include "canvas.h"
#include "screenbackend.h"
#include "xconnection.h"

extern "C" {

CANVASENGINE_API bool OBSEngine_Load() {
    // The portal is asked when a canvas starts: that is when the user chooses.
    if (CScreenBackend::ChosenKind() == CScreenBackend::Kind::kPortal) {
        UC_LOG(CLogWrapper::LOG_INFO, "the screen is read through the screen-cast portal");
        return true;
    }
    std::unique_ptr<CXConnection> connection = CXConnection::Open(nullptr);
    if (!connection) return false;
    UC_LOG(CLogWrapper::LOG_INFO, "X display " << DisplayString(connection->GetDisplay()) << " ready");
    return true;
}

CANVASENGINE_API IOBSEngineCanvas* OBSEngine_CreateCanvas(const char* name) {
    UC_ASSERTE_RETURN(name != nullptr, nullptr);
    return new CCanvas(name);
}

CANVASENGINE_API void OBSEngine_DestroyCanvas(IOBSEngineCanvas* canvas) { delete static_cast<CCanvas*>(canvas); }
}
