#include "flvio/flviotag.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"

#include "../../basekit/tests/logcapture.h"

namespace {

using Bytes = std::vector<unsigned char>;

using LogCapture = CLogCapture;

Bytes ReadAll(CFlashStream& stream) {
    std::string flat = stream.GetBuf().FlattenPackage();
    return Bytes(flat.begin(), flat.end());
}

// A package holding `bytes`, readable from the start.
std::unique_ptr<CDataPackage> MakePackage(const Bytes& bytes, std::size_t extraRoom = 0) {
    auto pkg = std::make_unique<CDataPackage>(bytes.size() + extraRoom, bytes.data(),
                                              CDataPackage::FLAG_NONE, bytes.size());
    return pkg;
}

Bytes EncodeTag(CFlvioTag& tag) {
    CFlashStream stream(tag.GetEncodeLen());
    EXPECT_EQ(0, tag.Encode(stream));
    return ReadAll(stream);
}

TEST(FlvioHeader, EncodesFlagsAndVersionForStreamCounts) {
    CFlashStream stream(CFlvioHeader::GetEncodeLen());
    CFlvioHeader header;
    EXPECT_EQ(0, header.Encode(stream));
    EXPECT_EQ((Bytes{0x46, 0x4C, 0x56, 0x01, 0x05, 0, 0, 0, 0x09, 0, 0, 0, 0}), ReadAll(stream));
    EXPECT_EQ(13u, CFlvioHeader::GetEncodeLen());

    struct Case {
        unsigned short audio, video;
        unsigned char version, flags;
    };
    const Case cases[] = {{1, 1, 1, 0x05}, {2, 1, 2, 0x07}, {1, 3, 2, 0x25}, {0, 1, 1, 0x01},
                          {1, 0, 1, 0x04}, {3, 0, 2, 0x0E}, {4, 0, 2, 0x06}, {9, 0, 2, 0x06},
                          {0, 16, 2, 0xF1}, {0, 17, 2, 0x01}, {0, 0, 1, 0x00}};
    for (const Case& c : cases) {
        CFlvioHeader h(c.audio, c.video);
        EXPECT_EQ(c.version, h.GetVersion()) << c.audio << "/" << c.video;
        EXPECT_EQ(c.flags, h.GetFlags()) << c.audio << "/" << c.video;
        EXPECT_EQ(c.version == 1 ? 1 : 0, h.IsOfficeVersion());
    }
}

TEST(FlvioHeader, DecodeAndStreamCountQuirks) {
    // A version 2 header with 2 audio and 3 video streams survives a round trip.
    CFlashStream stream(13);
    CFlvioHeader(2, 3).Encode(stream);
    CFlvioHeader decoded(0, 0);
    EXPECT_EQ(0, decoded.Decode(stream));
    EXPECT_EQ(0u, stream.GetLength());
    EXPECT_EQ(2, decoded.GetVersion());
    EXPECT_EQ(9u, decoded.GetDataOffset());
    unsigned short audio = 99, video = 99;
    decoded.GetAVNumber(audio, video);
    EXPECT_EQ(2, audio);
    EXPECT_EQ(3, video);

    // Flags 0x04 (one audio stream) read back as 0 audio streams.
    CFlvioHeader(1, 1).GetAVNumber(audio, video);
    EXPECT_EQ(0, audio);
    EXPECT_EQ(1, video);
    CFlvioHeader(3, 0).GetAVNumber(audio, video);
    EXPECT_EQ(3, audio);
    EXPECT_EQ(0, video);

    // Too few bytes: the last read fails.
    auto shortPkg = MakePackage({0x46, 0x4C, 0x56, 1, 5, 0, 0, 0, 9, 0, 0, 0});
    CFlashStream shortStream(*shortPkg, 0);
    EXPECT_EQ(10015, CFlvioHeader().Decode(shortStream));
}

TEST(FlvioTag, TimeStampSplitExtensionAndOffsetWrap) {
    CDataPackage body(4, "abcd", CDataPackage::FLAG_NONE, 4);
    CFlvioTag big(TAG_TYPE_AUDIO, 0x01020304u, body, 0, 0x77);
    EXPECT_EQ(0x020304u, big.GetTimeStamp());
    EXPECT_EQ(0x01, big.GetTimeStampExt());
    EXPECT_EQ(0x01020304u, big.GetTimeStampAll());

    CFlvioTag small(TAG_TYPE_VIDEO, 0x123456u, body, 7, 0x05);
    EXPECT_EQ(0x123456u, small.GetTimeStamp());
    EXPECT_EQ(0x05, small.GetTimeStampExt());
    EXPECT_EQ(0x05123456u, small.GetTimeStampAll());
    EXPECT_EQ(7u, small.GetStreamID());
    EXPECT_EQ(4u, small.GetDataSize());
    // The tag holds its own duplicate: the caller's package is untouched.
    EXPECT_NE(&body, small.GetData());
    EXPECT_EQ(4u, body.GetPackageLength());

    CFlvioTag edge(TAG_TYPE_AUDIO, 0xFFFFFFu, body);
    edge.SetTimeStampOffset(1);
    EXPECT_EQ(0u, edge.GetTimeStamp());
    EXPECT_EQ(1, edge.GetTimeStampExt());

    CFlvioTag wrap(TAG_TYPE_AUDIO, 0xFFFFFFFFu, body);
    wrap.SetTimeStampOffset(2);
    EXPECT_EQ(1u, wrap.GetTimeStampAll());
    EXPECT_EQ(0, wrap.GetTimeStampExt());
}

TEST(FlvioTag, EncodesLayoutFromPackageChain) {
    CDataPackage body(5, "\xAF\x01\x02\x03\x04", CDataPackage::FLAG_NONE, 5);
    CFlvioTag tag(TAG_TYPE_AUDIO, 0x01000203u, body, 0x0A0B0C);
    EXPECT_EQ(20u, tag.GetEncodeLen());
    EXPECT_EQ(9u, tag.GetEncodeLenNoHeader());
    Bytes expect = {0x08, 0x00, 0x00, 0x05, 0x00, 0x02, 0x03, 0x01, 0x0A, 0x0B,
                    0x0C, 0xAF, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x10};
    EXPECT_EQ(expect, EncodeTag(tag));

    // A body spread over several blocks is laid out in order.
    auto* head = new CDataPackage(2, "\x17\x01", CDataPackage::FLAG_NONE, 2);
    head->Append(new CDataPackage(3, "xyz", CDataPackage::FLAG_NONE, 3));
    CFlvioTag chained(TAG_TYPE_VIDEO, 40, *head, 0);
    head->DestroyPackage();
    Bytes out = EncodeTag(chained);
    ASSERT_EQ(20u, out.size());
    EXPECT_EQ((Bytes{0x17, 0x01, 'x', 'y', 'z'}), Bytes(out.begin() + 11, out.begin() + 16));

    // The raw layout helpers give the same bytes.
    unsigned char header[11], back[4];
    CFlvioTag::EncodeHeader(header, TAG_TYPE_AUDIO, 5, 0x01000203u, 0x0A0B0C);
    CFlvioTag::EncodeBackPointer(back, 5);
    EXPECT_EQ(Bytes(expect.begin(), expect.begin() + 11), Bytes(header, header + 11));
    EXPECT_EQ(Bytes(expect.end() - 4, expect.end()), Bytes(back, back + 4));

    // An empty body still gives a complete tag.
    CDataPackage empty(0);
    CFlvioTag none(TAG_TYPE_SCRIPT, 0, empty);
    EXPECT_EQ((Bytes{0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0B}), EncodeTag(none));
}

TEST(FlvioTag, EncodeFailures) {
    LogCapture log;
    CFlvioTag bare;
    CFlashStream stream(64);
    EXPECT_EQ(10015, bare.Encode(stream));
    EXPECT_TRUE(log.Contains(0, "Assert failed: m_data]"));
    EXPECT_EQ(0u, stream.GetLength());

    // A stream sized too small fails and does not write the back-pointer.
    CDataPackage body(8, "12345678", CDataPackage::FLAG_NONE, 8);
    CFlvioTag tag(TAG_TYPE_VIDEO, 0, body);
    CFlashStream tiny(15);
    EXPECT_EQ(10015, tag.Encode(tiny));

    // A body that was consumed behind the tag's back is not read past its end.
    tag.GetData()->AdvancePackageReadPtr(6);
    CFlashStream room(tag.GetEncodeLen());
    EXPECT_EQ(10015, tag.Encode(room));
}

TEST(FlvioTag, DecodeRoundTripAndTypeCheck) {
    CDataPackage body(6, "\x27\x01\x00\x00\x00\x42", CDataPackage::FLAG_NONE, 6);
    CFlvioTag original(TAG_TYPE_VIDEO, 0x05000010u, body, 3);
    Bytes wire = EncodeTag(original);
    wire.push_back(0x99);  // the next tag's first byte stays in the stream

    auto pkg = MakePackage(wire);
    CFlashStream stream(*pkg, 0);
    CFlvioTag decoded;
    EXPECT_EQ(0, decoded.Decode(stream, 0));
    EXPECT_EQ(TAG_TYPE_VIDEO, decoded.GetTagType());
    EXPECT_EQ(6u, decoded.GetDataSize());
    EXPECT_EQ(0x05000010u, decoded.GetTimeStampAll());
    EXPECT_EQ(3u, decoded.GetStreamID());
    ASSERT_NE(nullptr, decoded.GetData());
    EXPECT_EQ(std::string("\x27\x01\x00\x00\x00\x42", 6), decoded.GetData()->FlattenPackage());
    EXPECT_EQ(1u, stream.GetLength());

    // Header only: the body stays in the stream.
    auto pkg2 = MakePackage(wire);
    CFlashStream stream2(*pkg2, 0);
    CFlvioTag headerOnly;
    EXPECT_EQ(0, headerOnly.Decode(stream2, 1));
    EXPECT_EQ(nullptr, headerOnly.GetData());
    EXPECT_EQ(wire.size() - 11, stream2.GetLength());

    auto bad = MakePackage({0x07, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0, 0, 0, 12});
    CFlashStream badStream(*bad, 0);
    CFlvioTag badTag;
    EXPECT_EQ(10001, badTag.Decode(badStream));

    // A body size of 0 leaves the back-pointer unread.
    auto zero = MakePackage({0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 11});
    CFlashStream zeroStream(*zero, 0);
    CFlvioTag zeroTag;
    EXPECT_EQ(0, zeroTag.Decode(zeroStream));
    EXPECT_EQ(4u, zeroStream.GetLength());
}

TEST(FlvioTag, DecodeNoHeaderBackPointerAndShortData) {
    // Mismatching back-pointer: 10001, but body and fields are kept.
    auto mismatch = MakePackage({0x08, 0, 0, 2, 0, 0, 5, 0, 0, 0, 0, 0xAF, 0x11, 0, 0, 0, 0x0C});
    CFlashStream stream(*mismatch, 0);
    CFlvioTag tag;
    EXPECT_EQ(10001, tag.Decode(stream));
    ASSERT_NE(nullptr, tag.GetData());
    EXPECT_EQ(std::string("\xAF\x11", 2), tag.GetData()->FlattenPackage());
    EXPECT_EQ(5u, tag.GetTimeStamp());

    // Decoding again into the same tag replaces (and releases) the old body.
    auto next = MakePackage({0x09, 0, 0, 3, 0, 0, 6, 0, 0, 0, 0, 0x17, 0x01, 0x02, 0, 0, 0, 14});
    CFlashStream nextStream(*next, 0);
    EXPECT_EQ(0, tag.Decode(nextStream));
    EXPECT_EQ(std::string("\x17\x01\x02", 3), tag.GetData()->FlattenPackage());

    // A size field larger than the data fails cleanly without consuming anything.
    auto truncated = MakePackage({0x09, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x17, 0x01, 0x02});
    CFlashStream truncStream(*truncated, 0);
    CFlvioTag shortTag;
    EXPECT_EQ(10001, shortTag.Decode(truncStream));
    EXPECT_EQ(nullptr, shortTag.GetData());
    EXPECT_EQ(3u, truncStream.GetLength());

    // Exactly the body but no back-pointer is also short.
    auto noBack = MakePackage({0x17, 0x01, 0x02});
    CFlashStream noBackStream(*noBack, 0);
    EXPECT_EQ(10001, tag.DecodeNoHeader(noBackStream));
    EXPECT_EQ(3u, noBackStream.GetLength());
}

TEST(FlvioTag, ReferenceCountingDeletesAtZero) {
    LogCapture log;
    CDataPackage body(3, "abc", CDataPackage::FLAG_NONE, 3);
    auto* tag = new CFlvioTag(TAG_TYPE_AUDIO, 1, body);
    EXPECT_EQ(1u, tag->AddReference());
    EXPECT_EQ(2u, tag->AddReference());
    EXPECT_EQ(1u, tag->ReleaseReference());
    EXPECT_EQ(0u, tag->ReleaseReference());  // deleted here (checked by ASan)

    CFlvioTag local;
    EXPECT_EQ(0u, local.ReleaseReference());
    EXPECT_TRUE(log.Contains(1, "ReleaseReference,wrong value=0"));
}

TEST(FlvioTag, AudioAndVideoTypeBytes) {
    EXPECT_EQ(0xAF, CFlvioTag::GetAudioType(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0));
    EXPECT_EQ(0xAC, CFlvioTag::GetAudioType(FLV_SOUND_AAC, FLV_RATE_44KHZ, 1, 1));
    EXPECT_EQ(0x2A, CFlvioTag::GetAudioType(FLV_SOUND_MP3, FLV_RATE_22KHZ, 0, 1));

    FlvSoundType format;
    FlvSoundRate rate;
    int is8Bit = -1, isMono = -1;
    CFlvioTag::AnalyzeAudioType(0xAF, format, rate, is8Bit, isMono);
    EXPECT_EQ(FLV_SOUND_AAC, format);
    EXPECT_EQ(FLV_RATE_44KHZ, rate);
    EXPECT_EQ(0, is8Bit);
    EXPECT_EQ(0, isMono);
    CFlvioTag::AnalyzeAudioType(0x24, format, rate, is8Bit, isMono);
    EXPECT_EQ(FLV_SOUND_MP3, format);
    EXPECT_EQ(FLV_RATE_11KHZ, rate);
    EXPECT_EQ(1, is8Bit);
    EXPECT_EQ(1, isMono);

    EXPECT_EQ(0x17, CFlvioTag::GetVideoType(FLV_FRAME_KEY, FLV_CODEC_AVC));
    EXPECT_EQ(0x27, CFlvioTag::GetVideoType(FLV_FRAME_INTER, FLV_CODEC_AVC));
    FlvVideoFrame frame;
    FlvVideoCodec codec;
    CFlvioTag::AnalyzeVideoType(0x27, frame, codec);
    EXPECT_EQ(FLV_FRAME_INTER, frame);
    EXPECT_EQ(FLV_CODEC_AVC, codec);
}

// A script body as the writer lays it out: name, array, one more end marker.
Bytes ScriptBody(const std::string& name, CAmfECMAArray& array) {
    CAmfString amfName(name, 0);
    CFlashStream stream(amfName.GetEncodeLen() + array.GetEncodeLen() + 3);
    EXPECT_EQ(0, amfName.Encode(stream));
    EXPECT_EQ(0, array.Encode(stream));
    EXPECT_EQ(0, stream.PutUI24(9, 1));
    return ReadAll(stream);
}

TEST(FlvioData, DecodesNameAndArray) {
    CAmfECMAArray meta;
    meta.Set("duration", 12.5);
    meta.Set("width", 640.0);
    Bytes body = ScriptBody("onMetaData", meta);

    // Not duplicated: the caller's package is consumed.
    auto pkg = MakePackage(body);
    {
        CFlvioData data(*pkg, 0);
        EXPECT_EQ(0, data.Decode());
        EXPECT_EQ("onMetaData", data.GetName());
        ASSERT_NE(nullptr, data.GetValue());
        ASSERT_EQ(2u, data.GetValue()->GetArray().size());
        std::string key;
        CAmfType* value = nullptr;
        EXPECT_EQ(0, data.GetValue()->GetKeyValue(0, key, value));
        EXPECT_EQ("duration", key);
        ASSERT_NE(nullptr, value);
        EXPECT_DOUBLE_EQ(12.5, static_cast<CAmfNumber*>(value)->GetValue());
        EXPECT_EQ(3u, pkg->GetPackageLength());  // the extra end marker is left
        EXPECT_EQ(10015, data.Decode());          // no array marker in what is left
    }

    // Duplicated: the caller's package stays as it was.
    auto kept = MakePackage(body);
    CFlvioData copy(*kept, 1);
    EXPECT_EQ(0, copy.Decode());
    EXPECT_EQ(body.size(), kept->GetPackageLength());
}

TEST(FlvioData, FailureCodes) {
    CAmfECMAArray array;
    CFlvioData named("name", array);
    EXPECT_EQ("name", named.GetName());
    EXPECT_EQ(&array, named.GetValue());
    EXPECT_EQ(10015, named.Decode());  // no package
    CFlashStream stream(16);
    EXPECT_EQ(10004, named.Encode(stream));
    EXPECT_EQ(0u, named.GetEncodeLen());

    // A name followed by an object marker instead of an ECMA array.
    auto object = MakePackage({0x02, 0x00, 0x01, 'x', 0x03, 0x00, 0x00, 0x09});
    CFlvioData noArray(*object, 1);
    EXPECT_EQ(10015, noArray.Decode());
    EXPECT_EQ("x", noArray.GetName());
    EXPECT_EQ(nullptr, noArray.GetValue());

    // A missing name leaves it empty and decoding goes on to the marker.
    auto noName = MakePackage({0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09});
    CFlvioData unnamed(*noName, 1);
    unnamed.Decode();
    EXPECT_EQ("", unnamed.GetName());
}

}  // namespace
