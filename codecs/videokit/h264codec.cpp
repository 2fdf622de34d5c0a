// The library's create/destroy exports.
#include "videokit/h264codec.h"

#include <new>

#include "basekit/logwrapper.h"
#include "x264encoder.h"

extern "C" {

CUcH264codec* CreateH264Codec(int nType) {
    if (nType != 0) {
        UC_LOG(CLogWrapper::LOG_ERROR, " --- unknown codec type=" << nType);
        return nullptr;
    }
    return new (std::nothrow) CX264Encoder();
}

void DestoryH264Codec(CUcH264codec* pCodec) {
    delete static_cast<CX264Encoder*>(pCodec);
}
}
