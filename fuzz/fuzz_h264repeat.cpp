// The H.264 header readers and the repeat picture writer: a parameter set
// pair and an encoder's picture cut from the input (a length byte in front
// of the SPS and of the PPS, the rest the picture's length-prefixed NAL
// units). Whatever the parsers accept: a picture renumbered after repeats
// keeps its NAL units whole, a repeat written after it is one slice NAL unit
// with its exact length and no start code inside, and a non-reference
// repeat never follows another one.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "avcpps.h"
#include "avcsps.h"
#include "fuzzsupport.h"
#include "h264skippicture.h"

namespace {

// The 4-byte big-endian length at pos.
std::size_t LengthAt(const std::vector<std::uint8_t>& v, std::size_t pos) {
    return (std::size_t{v[pos]} << 24) | (std::size_t{v[pos + 1]} << 16) | (std::size_t{v[pos + 2]} << 8) |
           v[pos + 3];
}

// Whether 4-byte lengths cut the picture into NAL units exactly.
bool Tiles(const std::vector<std::uint8_t>& picture) {
    std::size_t pos = 0;
    while (picture.size() - pos >= 5) {
        const std::size_t n = LengthAt(picture, pos);
        if (n == 0 || n > picture.size() - pos - 4) return false;
        pos += 4 + n;
    }
    return pos == picture.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 0;
    auto cut = [&](const std::uint8_t*& part, std::size_t& len) {
        if (pos >= size) return false;
        len = data[pos++];
        if (len > size - pos) len = size - pos;
        part = data + pos;
        pos += len;
        return true;
    };
    const std::uint8_t* sps = nullptr;
    const std::uint8_t* pps = nullptr;
    std::size_t spsLen = 0, ppsLen = 0;
    if (!cut(sps, spsLen) || !cut(pps, ppsLen)) return 0;

    CAvcSps seq;
    if (seq.ParseSps(sps, spsLen)) {
        FUZZ_CHECK(seq.GetFrameNumBits() >= 4 && seq.GetFrameNumBits() <= 16, "frame_num width");
        FUZZ_CHECK(seq.GetCodedWidth() % 16 == 0 && seq.GetCodedHeight() % 16 == 0, "coded size");
    }
    CAvcPps pic;
    if (pic.ParsePps(pps, ppsLen)) {
        FUZZ_CHECK(pic.GetSliceGroupCount() >= 1 && pic.GetSliceGroupCount() <= 8, "slice groups");
    }

    CH264SkipPicture repeat;
    if (!repeat.Open(sps, spsLen, pps, ppsLen)) {
        FUZZ_CHECK(!repeat.CanRepeat(), "a repeat without parameter sets");
        return 0;
    }
    // Twice, so that the second time the picture follows a repeat and is
    // renumbered.
    std::vector<std::uint8_t> out;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::uint8_t> picture(data + pos, data + size);
        const std::vector<std::uint8_t> before = picture;
        repeat.AdoptEncoded(picture);
        FUZZ_CHECK(picture == before || Tiles(picture), "a renumbered picture lost its NAL units");
        if (!repeat.CanRepeat()) break;
        repeat.Write(out);
        FUZZ_CHECK(!out.empty(), "no repeat where one may come");
    }
    if (out.empty()) return 0;
    FUZZ_CHECK(out.size() >= 6, "a repeat too short");
    FUZZ_CHECK(LengthAt(out, 0) == out.size() - 4, "the repeat's length");
    FUZZ_CHECK(out[4] == (repeat.RepeatsAreReferences() ? 0x41 : 0x01), "the repeat's NAL header");
    for (std::size_t i = 7; i < out.size(); ++i) {
        FUZZ_CHECK(!(out[i - 2] == 0 && out[i - 1] == 0 && out[i] <= 3 && out[i] != 3),
                   "a start code inside the NAL unit");
    }
    FUZZ_CHECK(out.back() != 0, "the NAL unit ends with its stop bit");
    if (!repeat.RepeatsAreReferences()) {
        FUZZ_CHECK(!repeat.CanRepeat(), "two non-reference repeats in a row");
        repeat.Write(out);
        FUZZ_CHECK(out.empty(), "a second non-reference repeat was written");
    }
    return 0;
}
