// CVideoPictureConverter: turns the pushed BGRA pictures into the I420
// pictures the encoder reads, on the pushing thread, so that a picture
// crosses to the encoding thread as one pooled I420 buffer instead of a
// copy of its BGRA bytes.
//
// It keeps the last converted picture: a picture that equals the previous
// one (no changed rows) is handed on as that picture again, unconverted; a
// picture with a band of changed rows has only the band (widened to even
// rows for chroma) converted into it. When the encoding thread still reads
// the kept picture, it is copied into a free one first, so that a queued
// picture never changes under its reader.
//
// Threads: every member under the owner's lock; the handed-out packets may
// be read and released on any thread while the converter lives.
#pragma once

#include <cstdint>

#include "enginetypes.h"
#include "i420picturepool.h"
#include "recengine/videopicturesink.h"

class CVideoPictureConverter {
public:
    struct Stats {
        std::uint64_t nPictures = 0;         // pictures handed on
        std::uint64_t nWholeConversions = 0; // converted in full
        std::uint64_t nBandConversions = 0;  // only a band converted
        std::uint64_t nRowsConverted = 0;    // picture rows converted, all kinds
        std::uint64_t nReused = 0;           // handed on unconverted
        std::uint64_t nPictureCopies = 0;    // kept picture copied (its reader was behind)
    };

    // False for a picture that cannot be converted: not BGRA, an odd or
    // empty size, rows shorter than the width or fewer bytes than the rows.
    static bool CanConvert(const VideoPicture& picture);

    // Converts one picture (CanConvert must hold) and fills packet.data (the
    // I420 bytes, wrapped), packet.hold (the picture's lease) and the rows
    // in which it differs from the picture handed on before it (-1 after a
    // whole conversion). A picture
    // of a new size starts over from a whole conversion.
    void Convert(const VideoPicture& picture, MediaPacket& packet);
    // Forgets the kept picture: the next one is converted whole. For a
    // picture that was left out, whose changes the kept one lacks.
    void Invalidate() { m_pKept = nullptr; }

    const Stats& GetStats() const { return m_stats; }
    std::size_t PoolCount() const { return m_pool.Count(); }

private:
    CI420PicturePool m_pool;
    CI420PicturePool::CPicture* m_pKept = nullptr;
    Stats m_stats;
};
