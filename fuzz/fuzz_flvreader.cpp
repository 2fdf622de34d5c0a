// CFlvReader over a file held in memory: the header, then every tag up to the
// first non-zero result, then a walk backwards from the end through the
// back-pointers, then reads from a few offsets taken from the input. Every
// loop is bounded, and every tag handed out has a body of its size field.
#include <cstddef>
#include <cstdint>

#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"
#include "flvio/flviotag.h"
#include "flvio/flvreader.h"
#include "fuzzsupport.h"

namespace {

constexpr int kMaxTags = 4096;
constexpr int kMaxBackSteps = 4096;
constexpr int kRandomReads = 4;

void CheckAndRelease(CFlvioTag* tag) {
    FUZZ_CHECK(tag != nullptr, "0 from a finished reader comes with a tag");
    const TagType type = tag->GetTagType();
    FUZZ_CHECK(type == TAG_TYPE_AUDIO || type == TAG_TYPE_VIDEO || type == TAG_TYPE_SCRIPT,
               "the reader hands out known tag types only");
    FUZZ_CHECK(tag->GetData() != nullptr, "a tag handed out has a body");
    FUZZ_CHECK(tag->GetData()->GetPackageLength() == tag->GetDataSize(), "body length is the size field");
    FUZZ_CHECK(tag->ReleaseReference() == 0, "the caller holds the only reference");
}

void ReadForward(CFlvReader& reader) {
    for (int i = 0; i < kMaxTags; ++i) {
        CFlvioTag* tag = nullptr;
        const int rv = reader.GetNextTag(tag);
        if (rv != 0) {
            FUZZ_CHECK(tag == nullptr, "a failed read hands out no tag");
            return;
        }
        CheckAndRelease(tag);
    }
}

void WalkBackwards(CFlvReader& reader) {
    if (reader.Seek(0, 2) != 0) return;
    unsigned long end = reader.GetPos();
    for (int i = 0; i < kMaxBackSteps; ++i) {
        CFlvioTag* tag = nullptr;
        unsigned long tagPos = 0;
        const int rv = reader.GetRTag(tag, tagPos);
        if (rv != 0) {
            FUZZ_CHECK(tag == nullptr, "a failed read hands out no tag");
            return;
        }
        CheckAndRelease(tag);
        FUZZ_CHECK(tagPos < end, "each step backwards starts before the last");
        end = tagPos;
        if (reader.Seek(static_cast<long>(tagPos), 0) != 0) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CDataPackage package(size, data, CDataPackage::FLAG_NONE, size);
    CFlvReader reader;
    if (reader.Init(package) != 0) return 0;
    FUZZ_CHECK(reader.Init(package) == UC_ERR_NO_ROOM, "a second Init is refused");
    FUZZ_CHECK(reader.IsFinish() == 1, "a file in memory is finished");

    CFlvioHeader header;
    reader.ReadHeader(header);
    unsigned short audio = 0;
    unsigned short video = 0;
    header.GetAVNumber(audio, video);
    ReadForward(reader);
    (void)reader.IsEof();
    (void)reader.GetPos();

    WalkBackwards(reader);

    // Reads from offsets inside the file named by its first bytes (mostly
    // not at a tag start).
    fuzzsupport::CFuzzInput input(data, size);
    for (int i = 0; i < kRandomReads && size > 0; ++i) {
        const long offset = static_cast<long>(input.TakeU32() % size);
        if (reader.Seek(offset, 0) != 0) continue;
        CFlvioTag* tag = nullptr;
        if (reader.GetNextTag(tag) == 0) CheckAndRelease(tag);
    }
    FUZZ_CHECK(reader.Seek(0, -1) == UC_ERR_BAD_DATA, "time seeks are not supported");
    reader.SetFinish();
    reader.Clear();
    return 0;
}
