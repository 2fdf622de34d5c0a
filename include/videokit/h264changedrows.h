// An extension of the H.264 encoder for callers that know which rows of a
// picture changed since the picture before: the encoder then skips the
// analysis of macroblocks that lie wholly outside those rows (x264's
// X264_MBINFO_CONSTANT), and may write a picture announced as equal as a
// repeat of the one before without encoding it at all. The library's encoder implements it; a caller finds
// it with dynamic_cast from its CUcH264codec pointer. Callers without it get
// every picture analysed in full.
//
// Threads: called on the codec's own thread (the one that calls Encode),
// between two Encode calls.
#pragma once

#include "videokit/h264codec.h"

class VIDEOKIT_API IH264ChangedRows {
public:
    // Tells the encoder that the next picture given to Encode differs from
    // the picture given to the call before it only in rows [nTop, nTop +
    // nRows) (top-down picture rows); nRows = 0: the pictures are equal,
    // nRows < 0: any row may differ. Applies to that one Encode call only.
    // The encoder ignores it (and analyses every macroblock) where it cannot
    // be sure the previous picture it encoded is the one the rows are
    // relative to: the first picture after Init, a picture after one that
    // was refused, a key frame that was asked for, a picture that is not
    // I420 of the encoded size, a band outside the picture. 0, or
    // UC_ERR_NO_ROOM before Init.
    virtual int SetNextChangedRows(int nTop, int nRows) = 0;

protected:
    ~IH264ChangedRows() = default;
};
