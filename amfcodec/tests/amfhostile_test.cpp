#include <gtest/gtest.h>

#include <random>
#include <string>

#include "amftestsupport.h"

using amftest::Bytes;
using amftest::CLogCapture;
using amftest::Encoded;
using amftest::Input;

namespace {

// An object tree with every kind of value the decoder accepts.
std::string RichEncoding() {
    CAmfSimpleObject root;
    auto* array = new CAmfECMAArray();
    auto* inner = new CAmfSimpleObject();
    inner->SetString("s", "text");
    inner->Set("z", new CAmfNull());
    array->Set("inner", inner);
    array->Set("n", 2.0);
    array->SetBoolean("b", 1);
    auto* typed = new CAmfSimpleObject(1, AMF_TYPED_OBJECT);
    typed->SetClassName("C");
    typed->SetNumber("x", 1);
    root.Set("array", array);
    root.Set("typed", typed);
    root.Set("date", new CAmfDate(1.0, 2));
    root.Set("ref", new CAmfReference(1));
    root.Set("clip", new CAmfMovieClip("m"));
    root.Set("long", new CAmfString("abc", 1));
    return Encoded(root);
}

// `levels` objects inside each other, the outermost with its marker.
std::string NestedObjects(unsigned levels) {
    std::string bytes = Bytes({AMF_OBJECT});
    for (unsigned i = 1; i < levels; ++i) bytes += Bytes({0, 1, 'a', AMF_OBJECT});
    for (unsigned i = 0; i < levels; ++i) bytes += Bytes({0, 0, 9});
    return bytes;
}

}  // namespace

TEST(AmfHostile, EveryTruncationFailsOrStopsCleanly) {
    const std::string full = RichEncoding();
    CLogCapture log(CLogWrapper::LOG_ERROR);
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        Input in(full.substr(0, cut));
        CAmfSimpleObject object;
        int rv = object.Decode(in.stream);
        if (rv == 0) {
            EXPECT_LE(object.GetObjects().size(), 6u) << cut;
        }
        EXPECT_LE(in.stream.GetLength(), cut);
        log.Clear();
    }
    Input in(full);
    CAmfSimpleObject object;
    EXPECT_EQ(object.Decode(in.stream), 0);
    EXPECT_EQ(object.GetObjects().size(), 6u);
}

TEST(AmfHostile, CorruptedBytesNeverCrash) {
    const std::string full = RichEncoding();
    std::mt19937 random(1234);
    CLogCapture log(CLogWrapper::LOG_ERROR);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = full;
        const int flips = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < flips; ++i) bytes[random() % bytes.size()] = static_cast<char>(random());
        Input in(bytes);
        if (round % 2) {
            CAmfSimpleObject object;
            object.Decode(in.stream);
        } else {
            CAmfECMAArray array;
            in.stream.Forward(1, 1);
            array.Decode(in.stream);
        }
        log.Clear();
    }
}

TEST(AmfHostile, NestingDepthIsLimited) {
    {
        CAmfSimpleObject object;
        Input in(NestedObjects(AMF_MAX_NESTING_DEPTH));
        EXPECT_EQ(object.Decode(in.stream), 0);
        EXPECT_EQ(in.stream.GetLength(), 0u);
        // The decoded tree is as deep as the input.
        const CAmfSimpleObject* level = &object;
        unsigned depth = 1;
        while (!level->GetObjects().empty()) {
            level = dynamic_cast<const CAmfSimpleObject*>(level->GetObjects()[0]->GetValue());
            ASSERT_NE(level, nullptr);
            ++depth;
        }
        EXPECT_EQ(depth, AMF_MAX_NESTING_DEPTH);
    }
    {
        CLogCapture log(CLogWrapper::LOG_ERROR);
        CAmfSimpleObject object;
        Input in(NestedObjects(AMF_MAX_NESTING_DEPTH + 1));
        EXPECT_EQ(object.Decode(in.stream), 10001);
        EXPECT_TRUE(object.GetObjects().empty());
        EXPECT_EQ(log.Find(" Assert failed: depth < AMF_MAX_NESTING_DEPTH]").size(), 1u);
    }
    {
        // A million levels: refused at the limit, without exhausting the stack.
        CLogCapture log(CLogWrapper::LOG_ERROR);
        CAmfSimpleObject object;
        Input in(NestedObjects(1000000));
        EXPECT_EQ(object.Decode(in.stream), 10001);
    }
    {
        // Deeply nested counted ECMA arrays: the depth limit fails the innermost
        // entry and the failure ends every level above it.
        std::string bytes = Bytes({0, 0, 0, 1});
        for (int i = 0; i < 100000; ++i) bytes += Bytes({0, 1, 'a', AMF_ECMA_ARRAY, 0, 0, 0, 1});
        CLogCapture log(CLogWrapper::LOG_ERROR);
        CAmfECMAArray array;
        Input in(bytes);
        EXPECT_EQ(array.Decode(in.stream), 10001);
        EXPECT_TRUE(array.GetArray().empty());
    }
}

TEST(AmfHostile, LengthsBeyondTheDataFailWithoutAllocating) {
    CLogCapture log(CLogWrapper::LOG_ERROR);
    amftest::ResetLargestAllocation();
    {
        CAmfString text("kept", 1);
        Input in(Bytes({AMF_LONG_STRING, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'}));
        EXPECT_EQ(text.Decode(in.stream), 10015);
        EXPECT_EQ(text.GetValue(), "kept");
        EXPECT_EQ(log.Find(" Assert failed: len <= stream.GetLength()]").size(), 1u);
    }
    {
        CAmfSimpleKeyValue entry(0);
        Input in(Bytes({0, 1, 'k', AMF_LONG_STRING, 0x7F, 0xFF, 0xFF, 0xFF, 'a'}));
        EXPECT_EQ(entry.Decode(in.stream), 10015);
        EXPECT_EQ(entry.GetValue(), nullptr);
    }
    {
        CAmf3ByteArray array;
        Input in(Bytes({0x0C, 0xBF, 0xFF, 0xFF, 0xFF, 1, 2}));  // 134217727 bytes announced
        EXPECT_EQ(array.Decode(in.stream), 10015);
        EXPECT_EQ(array.GetLength(), 0u);
        EXPECT_EQ(array.GetBuf(), nullptr);
    }
    {
        // A huge entry count is not trusted either.
        CAmfECMAArray array;
        Input in(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 'a', 1, 1, 0, 1, 'b', 1, 0}));
        EXPECT_EQ(array.Decode(in.stream), 10015);
        EXPECT_EQ(array.GetArray().size(), 2u);
    }
    EXPECT_LT(amftest::LargestAllocation(), 1u << 20);
}
