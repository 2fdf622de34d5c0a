// The H.264 header readers and the repeat picture writer: a parameter set
// pair and an encoder's picture cut from the input (a length byte in front
// of the SPS and of the PPS, the rest the picture's length-prefixed NAL
// units). Whatever the parsers accept, a repeat written after it is one
// well-formed non-reference slice NAL unit with its length, and never two
// repeats without a reference picture between them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "avcpps.h"
#include "avcsps.h"
#include "fuzzsupport.h"
#include "h264skippicture.h"

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
    repeat.NoteEncoded(data + pos, size - pos);
    const bool could = repeat.CanRepeat();
    std::vector<std::uint8_t> out;
    repeat.Write(out);
    if (!could) {
        FUZZ_CHECK(out.empty(), "a repeat written where none may come");
        return 0;
    }
    FUZZ_CHECK(out.size() >= 6, "a repeat too short");
    const std::size_t n = (std::size_t{out[0]} << 24) | (std::size_t{out[1]} << 16) |
                          (std::size_t{out[2]} << 8) | out[3];
    FUZZ_CHECK(n == out.size() - 4, "the repeat's length");
    FUZZ_CHECK(out[4] == 0x01, "a non-reference slice");
    for (std::size_t i = 7; i < out.size(); ++i) {
        FUZZ_CHECK(!(out[i - 2] == 0 && out[i - 1] == 0 && out[i] <= 3 && out[i] != 3),
                   "a start code inside the NAL unit");
    }
    FUZZ_CHECK(out.back() != 0, "the NAL unit ends with its stop bit");
    FUZZ_CHECK(!repeat.CanRepeat(), "two repeats in a row");
    repeat.Write(out);
    FUZZ_CHECK(out.empty(), "a second repeat was written");
    return 0;
}
