// CFlvMultiReader over a recording of two or three segment files, written
// from the input into a temporary folder of this process. The input starts
// with a 16-byte control block:
//   byte 0      bit 0: shift time stamps by the segment starts; bit 1: three
//               segments instead of two; bit 2: leave the last segment's
//               file out (a segment not downloaded yet)
//   bytes 1-4   two 16-bit split positions in the data behind the block
//   bytes 5-8   two 16-bit start-time steps (x 10 ms) of segments 2 and 3
//   bytes 9-12  a 32-bit time for the time seek
//   bytes 13-15 a 24-bit offset for the byte seek
// Then the recording is read through, sought by time, by byte and from the
// end, and read a little after each seek. Every loop is bounded.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "basekit/resultcodes.h"
#include "flvio/flviotag.h"
#include "flvio/flvmultireader.h"
#include "fuzzsupport.h"

namespace {

constexpr std::size_t kControlLen = 16;
constexpr int kMaxSegments = 3;
constexpr int kMaxTags = 4096;
constexpr int kTagsAfterSeek = 8;

std::string g_folder;  // this process's temporary folder, with a trailing '/'

std::string SegmentName(int index) { return "seg" + std::to_string(index) + ".flv"; }

void RemoveSegments() {
    for (int i = 0; i < kMaxSegments; ++i) ::unlink((g_folder + SegmentName(i)).c_str());
}

void RemoveFolder() {
    RemoveSegments();
    if (!g_folder.empty()) ::rmdir(g_folder.c_str());
}

bool WriteSegment(int index, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen((g_folder + SegmentName(index)).c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void CheckAndRelease(CFlvioTag* tag) {
    FUZZ_CHECK(tag != nullptr, "0 from a segment reader comes with a tag");
    FUZZ_CHECK(tag->GetData() != nullptr, "a tag handed out has a body");
    FUZZ_CHECK(tag->GetData()->GetPackageLength() == tag->GetDataSize(), "body length is the size field");
    tag->ReleaseReference();
}

// Reads up to `count` tags; a segment that is missing ends the run after it
// was retried once.
void ReadTags(CFlvMultiReader& reader, int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        CFlvioTag* tag = nullptr;
        const int rv = reader.GetNextTag(tag);
        if (rv == 0) {
            CheckAndRelease(tag);
            continue;
        }
        FUZZ_CHECK(tag == nullptr, "a failed read hands out no tag");
        if (rv != UC_ERR_BAD_DATA || ++failures > 1) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    g_folder = fuzzsupport::MakeTempFolder("tolvane-fuzz-multi");
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kControlLen) return 0;
    fuzzsupport::CFuzzInput input(data, size);
    const std::uint8_t flags = input.TakeByte();
    const int segments = (flags & 2) ? 3 : 2;
    std::size_t cuts[2] = {input.TakeU16(), input.TakeU16()};
    const std::uint32_t steps[2] = {input.TakeU16() * 10u, input.TakeU16() * 10u};
    const long seekTime = static_cast<long>(input.TakeU32());
    const std::uint32_t seekHi = input.TakeByte();
    const long seekByte = static_cast<long>((seekHi << 16) | input.TakeU16());

    const std::uint8_t* body = input.Rest();
    const std::size_t bodyLen = input.RestSize();
    for (std::size_t& cut : cuts) cut = std::min(cut, bodyLen);
    if (segments == 2) cuts[1] = bodyLen;
    std::sort(cuts, cuts + 2);

    RemoveSegments();
    const std::size_t bounds[4] = {0, cuts[0], cuts[1], bodyLen};
    std::uint32_t start = 0;
    CFlvMultiReader reader;
    FUZZ_CHECK(reader.Init(g_folder, 1, flags & 1, 0) == 0, "Init with a folder");
    for (int i = 0; i < segments; ++i) {
        const bool leftOut = (flags & 4) && i == segments - 1;
        if (!leftOut) FUZZ_CHECK(WriteSegment(i, body + bounds[i], bounds[i + 1] - bounds[i]), "segment written");
        if (i > 0) start += steps[i - 1];
        reader.AddFlv(SegmentName(i), start);
    }

    CFlvioHeader header;
    reader.ReadHeader(header);
    ReadTags(reader, kMaxTags);
    (void)reader.IsEof();
    (void)reader.GetPos();
    (void)reader.IsGetAllFiles();
    for (int i = 0; i <= segments; ++i) (void)reader.GetRecordFullLen(i);

    if (reader.Seek(seekTime, -1) == 0) ReadTags(reader, kTagsAfterSeek);
    if (reader.Seek(seekByte, 0) == 0) ReadTags(reader, kTagsAfterSeek);
    if (reader.Seek(-static_cast<long>(seekByte & 0xFF), 2) == 0) ReadTags(reader, kTagsAfterSeek);
    (void)reader.GetPos();
    FUZZ_CHECK(reader.Seek(0, 1) == UC_ERR_NOT_SUPPORTED, "seeks from the current position are not supported");
    CFlvioTag* tag = nullptr;
    unsigned long tagPos = 0;
    FUZZ_CHECK(reader.GetRTag(tag, tagPos) == UC_ERR_NOT_SUPPORTED && tag == nullptr, "GetRTag is not supported");
    reader.Clear();
    return 0;
}
