// The library's create/destroy exports.
#include "audiokit/audiocodec.h"

#include <memory>
#include <new>

#include "aacencoder.h"
#include "basekit/logwrapper.h"

extern "C" {

CUcAudioCodec* CreateAudioCodec(const _UCAudioCodecInfo* pInfo, int nReserved) {
    if (!pInfo || nReserved != 0) {
        UC_LOG(CLogWrapper::LOG_ERROR, " --- NULL == pInfo || 0 != nReserved");
        return nullptr;
    }
    std::unique_ptr<CAacEncoder> codec(new (std::nothrow) CAacEncoder());
    if (!codec || codec->Open(*pInfo) != 0) {
        return nullptr;
    }
    return codec.release();
}

void DestoryAudioCodec(CUcAudioCodec* pCodec) {
    delete static_cast<CAacEncoder*>(pCodec);
}
}
