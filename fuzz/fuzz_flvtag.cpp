// One FLV tag and one script-data body. The input is decoded as a whole tag
// (header, body, back-pointer), then header and body separately with the
// body decoded twice into the same tag (the first body must be released),
// and finally as a script-data body (name + ECMA array). A tag that decodes
// completely must encode back to exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "flvio/flviotag.h"
#include "fuzzsupport.h"

namespace {

// Holds the one reference of a fresh tag.
class CTagHolder {
public:
    CTagHolder() : m_pTag(new CFlvioTag()) { m_pTag->AddReference(); }
    ~CTagHolder() { m_pTag->ReleaseReference(); }
    CTagHolder(const CTagHolder&) = delete;
    CTagHolder& operator=(const CTagHolder&) = delete;
    CFlvioTag* operator->() const { return m_pTag; }
    CFlvioTag& operator*() const { return *m_pTag; }

private:
    CFlvioTag* m_pTag;
};

void CheckBody(const CFlvioTag& tag) {
    if (!tag.GetData()) return;
    FUZZ_CHECK(tag.GetData()->GetPackageLength() == tag.GetDataSize(), "body length is the size field");
}

// A tag read completely re-encodes to the bytes it came from.
void CheckRoundTrip(CFlvioTag& tag, const std::uint8_t* data, std::size_t size) {
    const unsigned len = tag.GetEncodeLen();
    FUZZ_CHECK(len <= size, "a decoded tag is not longer than its input");
    CFlashStream out(len);
    FUZZ_CHECK(tag.Encode(out) == 0, "re-encoding a decoded tag");
    FUZZ_CHECK(out.GetLength() == len, "re-encoded tag length");
    FUZZ_CHECK(std::memcmp(out.GetReadPtr(), data, len) == 0, "re-encoded tag bytes");

    unsigned char head[11];
    CFlvioTag::EncodeHeader(head, tag.GetTagType(), tag.GetDataSize(), tag.GetTimeStampAll(),
                            tag.GetStreamID());
    FUZZ_CHECK(std::memcmp(head, data, sizeof head) == 0, "raw header helper matches Encode");
    unsigned char back[4];
    CFlvioTag::EncodeBackPointer(back, tag.GetDataSize());
    FUZZ_CHECK(std::memcmp(back, data + len - 4, sizeof back) == 0, "raw back-pointer helper matches Encode");
}

void DecodeWholeTag(const std::uint8_t* data, std::size_t size, std::uint32_t offset) {
    CDataPackage package(size, data, CDataPackage::FLAG_NONE, size);
    CFlashStream stream(package, 0);
    CTagHolder tag;
    const int rv = tag->Decode(stream, 0);
    // The header fields are readable whatever the result, as a caller that
    // reports the failure reads them (the type byte is kept even when unknown).
    (void)tag->GetTagType();
    (void)tag->GetDataSize();
    (void)tag->GetTimeStampAll();
    (void)tag->GetStreamID();
    CheckBody(*tag);
    if (rv == 0 && tag->GetData()) CheckRoundTrip(*tag, data, size);

    const unsigned before = tag->GetTimeStampAll();
    tag->SetTimeStampOffset(offset);
    FUZZ_CHECK(tag->GetTimeStampAll() == static_cast<std::uint32_t>(before + offset),
               "time stamp offset wraps modulo 2^32");
    FUZZ_CHECK(tag->GetTimeStamp() <= 0xFFFFFF, "low time stamp keeps 24 bits");
}

void DecodeHeaderThenBodies(const std::uint8_t* data, std::size_t size) {
    CDataPackage package(size, data, CDataPackage::FLAG_NONE, size);
    CFlashStream stream(package, 0);
    CTagHolder tag;
    if (tag->Decode(stream, 1) != 0) return;
    // The same size is taken twice from what follows the header; the second
    // body replaces the first.
    tag->DecodeNoHeader(stream);
    CheckBody(*tag);
    tag->DecodeNoHeader(stream);
    CheckBody(*tag);
}

void DecodeScriptBody(const std::uint8_t* data, std::size_t size, int duplicate) {
    CDataPackage package(size, data, CDataPackage::FLAG_NONE, size);
    CFlvioData script(package, duplicate);
    script.Decode();
    (void)script.GetName().size();
    if (CAmfECMAArray* array = script.GetValue()) {
        fuzzsupport::WalkValue(array, 0);
        fuzzsupport::CheckEncodeLen(*array, "script-data array");
    }
    if (duplicate) FUZZ_CHECK(package.GetPackageLength() == size, "a duplicated body stays unread");
}

void CheckTypeBytes(std::uint8_t value) {
    FlvSoundType format;
    FlvSoundRate rate;
    int is8Bit = 0;
    int isMono = 0;
    CFlvioTag::AnalyzeAudioType(value, format, rate, is8Bit, isMono);
    FUZZ_CHECK(CFlvioTag::GetAudioType(format, rate, is8Bit, isMono) == value, "audio type byte round trip");
    FlvVideoFrame frame;
    FlvVideoCodec codec;
    CFlvioTag::AnalyzeVideoType(value, frame, codec);
    FUZZ_CHECK(CFlvioTag::GetVideoType(frame, codec) == value, "video type byte round trip");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The time stamp offset comes from the last bytes, so that it does not
    // disturb the tag in front.
    std::uint32_t offset = 0;
    for (std::size_t i = size > 4 ? size - 4 : 0; i < size; ++i) offset = (offset << 8) | data[i];

    DecodeWholeTag(data, size, offset);
    DecodeHeaderThenBodies(data, size);
    DecodeScriptBody(data, size, 0);
    DecodeScriptBody(data, size, 1);
    CheckTypeBytes(data[0]);
    return 0;
}
