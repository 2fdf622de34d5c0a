// canvasengine: the X11 screen capture component (libcanvasengine).
//
// OBSEngine_Load checks that the X display named by $DISPLAY can be opened
// and installs the component's I/O error handling; a canvas comes from
// OBSEngine_CreateCanvas and goes back through OBSEngine_DestroyCanvas.
//
// A connection of the component that breaks (the X server went away) never
// ends the process: it is marked lost, its screen context reads nothing from
// then on (DrawFrame gets a null GetScreenDC()), and pictures keep coming
// with the background colour until the canvas is stopped. Connections of
// other parts of the program keep the handler that was installed before.
// Load installs that handling, so call it after the GUI toolkit has set up
// its own X connection; Start installs it again if someone replaced it.
#pragma once

#include "canvasengine/canvasengineapi.h"
#include "canvasengine/obsenginecanvas.h"
#include "canvasengine/obsenginedc.h"
#include "canvasengine/obsenginesink.h"

extern "C" {
// False when no X display can be opened: no capture is possible.
CANVASENGINE_API bool OBSEngine_Load();
// Null when name is null.
CANVASENGINE_API IOBSEngineCanvas* OBSEngine_CreateCanvas(const char* name);
// Stops the canvas if it runs and frees it with its sources.
CANVASENGINE_API void OBSEngine_DestroyCanvas(IOBSEngineCanvas* canvas);
}
