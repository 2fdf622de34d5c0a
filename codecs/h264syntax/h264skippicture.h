// CH264SkipPicture: writes an H.264 picture that repeats the picture before
// it without an encoder: one P slice in which every macroblock is skipped
// (no motion, no residual, deblocking off), so that it decodes to an exact
// copy of the reference picture before it.
//
// Two ways, chosen from the parameter sets (streams coded as frames with one
// slice group whose picture order follows the frame number, picture order
// count type 2, the type x264 uses without B pictures):
// - one reference frame (x264's faster presets): the repeat is a reference
//   picture. The encoder's next picture predicts from the reference list's
//   first picture, which the repeat has become, with the same samples as the
//   encoder's own last picture. The encoder's slices are renumbered after
//   the repeats written since its last IDR picture (AdoptEncoded), so frame
//   numbers keep rising by one per reference picture. Repeats may follow
//   each other.
// - more reference frames: a repeat is a non-reference picture under the
//   frame number after the encoder's last reference picture, leaving the
//   encoder's reference list alone. Under type 2 two non-reference pictures
//   in a row would share a picture order count: a repeat must follow one of
//   the encoder's reference pictures.
//
// Threads: one object per stream, used on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CH264SkipPicture {
public:
    // Reads the stream's parameter sets (NAL units, header byte first).
    // False when the stream cannot take repeats; no repeat is written then.
    bool Open(const std::uint8_t* sps, std::size_t spsLen, const std::uint8_t* pps,
              std::size_t ppsLen);
    bool IsOpen() const { return m_bOpen; }
    // Whether repeats are reference pictures (and may follow each other).
    bool RepeatsAreReferences() const { return m_bReference; }

    // Takes a picture the encoder wrote, NAL units behind 4-byte big-endian
    // lengths, renumbering its slices after the repeats written before it
    // where needed (the picture may grow or shrink by a byte or so). A
    // picture that cannot be read stops the repeats until the next IDR
    // picture.
    void AdoptEncoded(std::vector<std::uint8_t>& picture);
    // Whether a repeat may come next.
    bool CanRepeat() const { return m_bOpen && m_bAfterReference; }
    // Whether the encoder must start afresh with an IDR picture: a picture
    // it wrote after repeats could not be renumbered.
    bool NeedsKeyFrame() const { return m_bLost && m_nRepeatsSinceIdr > 0; }
    // Replaces out with the repeat, one NAL unit behind its 4-byte length.
    // Only when CanRepeat().
    void Write(std::vector<std::uint8_t>& out);

private:
    // Reads one slice NAL unit (header byte first, escaped) and, when its
    // number changes, writes the renumbered unit behind its 4-byte length
    // into renumberedNal (left empty otherwise); false when its header
    // cannot be read.
    bool _AdoptSlice(const std::uint8_t* nal, std::size_t len, std::vector<std::uint8_t>& renumberedNal);

    bool m_bOpen = false;
    bool m_bReference = false;
    unsigned m_nPpsId = 0;
    unsigned m_nFrameNumBits = 4;
    unsigned m_nChromaArrayType = 1;
    bool m_bCabac = false;
    bool m_bWeightedPred = false;
    bool m_bDeblockingControl = false;
    bool m_bRedundantPicCnt = false;
    int m_nInitQp = 26;
    std::uint32_t m_nMbCount = 0;
    // The frame number of the last picture written (the encoder's as
    // renumbered, or a repeat's), whether a repeat may follow it, and how
    // many reference repeats were written since the encoder's last IDR
    // picture. A picture that could not be read stops repeats until the
    // next IDR picture.
    std::uint32_t m_nFrameNum = 0;
    bool m_bAfterReference = false;
    std::uint32_t m_nRepeatsSinceIdr = 0;
    bool m_bLost = false;
};
