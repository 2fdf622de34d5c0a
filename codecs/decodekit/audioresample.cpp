// The library's create/destroy exports.
#include "decodekit/audioresample.h"

#include <new>

#include "swresampler.h"

extern "C" {

IAudioResample* CreateAudioResample() { return new (std::nothrow) CSwResampler(); }

void DestoryAudioResample(IAudioResample* pResample) {
    delete static_cast<CSwResampler*>(pResample);
}
}
