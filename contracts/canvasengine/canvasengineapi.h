// canvasengine: the export marker of the library's functions and classes.
#pragma once

#if defined(__GNUC__)
#define CANVASENGINE_API __attribute__((visibility("default")))
#else
#define CANVASENGINE_API
#endif
