// An extension of the recording engine for callers that know more about a
// picture than its bytes: its size, row length and the rows that changed
// since the picture before. The engine object behind IOrvixAvRecordInterface
// implements it too; a caller finds it with dynamic_cast from its engine
// pointer. Callers without it use PushVideoData, whose pictures count as
// wholly changed.
//
// Threads: PushVideoPicture from any one thread at a time, like
// PushVideoData; the bytes stay the caller's and are read only during the
// call.
#pragma once

#include <cstddef>
#include <cstdint>

struct VideoPicture {
    const std::uint8_t* pData = nullptr;  // first byte of the top row
    std::size_t nLength = 0;              // readable bytes at pData
    int nWidth = 0;                       // pixels
    int nHeight = 0;
    int nStride = 0;                      // bytes per row
    int nFormat = 12;                     // picture format code (12 = BGRA)
    // Rows [nDirtyTop, nDirtyTop + nDirtyRows) are the only ones that may
    // differ from the previous picture pushed; -1: any row may differ, 0:
    // the picture equals the previous one.
    int nDirtyTop = 0;
    int nDirtyRows = -1;
};

class IVideoPictureSink {
public:
    // timestamp: milliseconds on the engine clock (GetTickMs). 0.
    virtual std::uint32_t PushVideoPicture(std::uint32_t timestamp, const VideoPicture& picture) = 0;

protected:
    ~IVideoPictureSink() = default;
};
