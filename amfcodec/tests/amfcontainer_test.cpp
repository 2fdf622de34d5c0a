#include <gtest/gtest.h>

#include <string>

#include "amftestsupport.h"

using amftest::Bytes;
using amftest::CLogCapture;
using amftest::Encoded;
using amftest::Hex;
using amftest::Input;

namespace {

const char kOneEntry[] = "00 01 61 00 3F F0 00 00 00 00 00 00";  // "a" = 1.0

template <typename T>
T* ValueAs(CAmfType* value) {
    return dynamic_cast<T*>(value);
}

}  // namespace

TEST(AmfContainer, EcmaArrayCountRule) {
    CAmfECMAArray none;
    EXPECT_EQ(Hex(Encoded(none)), "08 00 00 00 00 00 00 09");

    CAmfECMAArray one;
    one.Set("a", 1.0);
    EXPECT_EQ(Hex(Encoded(one)), std::string("08 00 00 00 00 ") + kOneEntry + " 00 00 09");
    EXPECT_EQ(one.GetCount(), 1u);

    CAmfECMAArray two;
    two.Set("a", 1.0);
    two.SetBoolean("b", 1);
    EXPECT_EQ(Hex(Encoded(two)),
              std::string("08 00 00 00 02 ") + kOneEntry + " 00 01 62 01 01 00 00 09");
}

TEST(AmfContainer, ObjectLayouts) {
    CAmfSimpleObject bare(0, AMF_OBJECT);
    EXPECT_EQ(Hex(Encoded(bare)), "00 00 09");

    CAmfSimpleObject object;
    object.SetNumber("a", 1.0);
    object.SetString("s", "xy");
    object.Set("n", nullptr);  // a null property: the name alone
    EXPECT_EQ(Hex(Encoded(object)), std::string("03 ") + kOneEntry + " 00 01 73 02 00 02 78 79 00 01 6E 00 00 09");

    CAmfSimpleObject typed(1, AMF_TYPED_OBJECT);
    typed.SetClassName("Pt");
    typed.SetNumber("a", 1.0);
    EXPECT_EQ(Hex(Encoded(typed)), std::string("10 00 02 50 74 ") + kOneEntry + " 00 00 09");
    EXPECT_EQ(typed.GetClassNameA(), "Pt");
}

TEST(AmfContainer, SettersAppendAndLookupFindsTheFirst) {
    CAmfSimpleObject object;
    object.SetNumber("k", 1.0);
    object.SetNumber("k", 2.0);
    object.SetBoolean("b", 0);
    ASSERT_EQ(object.GetObjects().size(), 3u);
    EXPECT_EQ(ValueAs<CAmfNumber>(object.GetValue("k"))->GetValue(), 1.0);
    EXPECT_EQ(object.GetValue("missing"), nullptr);
    EXPECT_EQ(object.GetObjects()[1]->GetName(), "k");

    CAmfECMAArray array;
    array.Set("t", std::string("text"));
    array.Set("o", new CAmfSimpleObject());
    std::string name = "untouched";
    CAmfType* value = nullptr;
    EXPECT_EQ(array.GetKeyValue(1, name, value), 0);
    EXPECT_EQ(name, "o");
    EXPECT_EQ(value->GetType(), AMF_OBJECT);
    name = "untouched";
    value = &array;
    CLogCapture log;
    EXPECT_EQ(array.GetKeyValue(2, name, value), 10008);
    EXPECT_EQ(array.GetKeyValue(~0ul, name, value), 10008);
    EXPECT_EQ(name, "untouched");
    EXPECT_EQ(value, &array);
    EXPECT_EQ(ValueAs<CAmfString>(array.GetValue("t"))->GetValue(), "text");
}

TEST(AmfContainer, EmptyEcmaArrayDecodesAllSevenBytes) {
    CAmfECMAArray array;
    Input in(Bytes({0, 0, 0, 0, 0, 0, 9, 0x42}));
    EXPECT_EQ(array.Decode(in.stream), 0);
    EXPECT_TRUE(array.GetArray().empty());
    EXPECT_EQ(in.stream.GetLength(), 1u);
}

TEST(AmfContainer, EcmaArrayDecodingPhases) {
    // Count 0 for one entry, then the entry and the end marker.
    Input one(Bytes({0, 0, 0, 0, 0, 1, 'a', 0, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 9}));
    CAmfECMAArray a;
    EXPECT_EQ(a.Decode(one.stream), 0);
    ASSERT_EQ(a.GetArray().size(), 1u);
    EXPECT_EQ(one.stream.GetLength(), 0u);

    // A missing end marker after complete entries is not an error.
    Input open(Bytes({0, 0, 0, 2, 0, 1, 'a', 1, 1, 0, 1, 'b', 1, 0}));
    CAmfECMAArray b;
    EXPECT_EQ(b.Decode(open.stream), 0);
    EXPECT_EQ(b.GetArray().size(), 2u);
    EXPECT_EQ(b.GetCount(), 2u);

    // More entries than announced: the rest are read up to the end marker.
    Input more(Bytes({0, 0, 0, 1, 0, 1, 'a', 1, 1, 0, 1, 'b', 1, 0, 0, 0, 9}));
    CAmfECMAArray c;
    EXPECT_EQ(c.Decode(more.stream), 0);
    EXPECT_EQ(c.GetArray().size(), 2u);
}

TEST(AmfContainer, UnsupportedMarkerFailsAfterTheWarning) {
    CLogCapture log;
    Input in(Bytes({0, 0, 0, 0, 0, 1, 'a', 0x0A, 0, 0, 0, 0, 0, 0, 9}));
    CAmfECMAArray array;
    EXPECT_EQ(array.Decode(in.stream), 10004);
    EXPECT_TRUE(array.GetArray().empty());
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(log.Lines()[0].level, 2);
    EXPECT_TRUE(log.Lines()[0].text.starts_with("[CAmfSimpleKeyValue::Decode:"));
    EXPECT_TRUE(log.Lines()[0].text.ends_with("][CAmfSimpleKeyValue::Decode, name=a, amfType=10]"));
    EXPECT_EQ(log.Lines()[1].level, 1);
    EXPECT_TRUE(log.Lines()[1].text.starts_with("[CAmfSimpleKeyValue::Decode:"));
    EXPECT_TRUE(log.Lines()[1].text.ends_with("][CAmfSimpleKeyValue::Decode,don't support type=10]"));

    // The byte-array switch is not a property type the decoder accepts.
    Input avm(Bytes({0, 1, 'b', 0x11, 0x0C, 0x01}));
    CAmfSimpleKeyValue entry(0);
    EXPECT_EQ(entry.Decode(avm.stream), 10004);
}

TEST(AmfContainer, PropertyLinesFollowTheLogLevel) {
    CAmfSimpleObject object;
    object.SetNumber("w", 640);
    object.SetNumber("h", 480);
    const std::string bytes = Encoded(object);
    {
        CLogCapture log(CLogWrapper::LOG_INFO);
        CAmfSimpleObject back;
        Input in(bytes);
        EXPECT_EQ(back.Decode(in.stream), 0);
        ASSERT_EQ(log.Lines().size(), 2u);
        EXPECT_TRUE(log.Lines()[1].text.ends_with("[CAmfSimpleKeyValue::Decode, name=h, amfType=0]"));
    }
    {
        CLogCapture log(CLogWrapper::LOG_WARNING);
        CAmfSimpleObject back;
        Input in(bytes);
        EXPECT_EQ(back.Decode(in.stream), 0);
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST(AmfContainer, NestedTreeRoundTrip) {
    CAmfSimpleObject root;
    auto* array = new CAmfECMAArray();
    auto* inner = new CAmfSimpleObject();
    inner->SetString("deep", "yes");
    inner->Set("none", new CAmfNull());
    inner->Set("undef", new CAmfNull(0));
    array->Set("inner", inner);
    array->Set("n", 2.5);
    auto* typed = new CAmfSimpleObject(1, AMF_TYPED_OBJECT);
    typed->SetClassName("flash.geom.Point");
    typed->SetNumber("x", -1);
    root.Set("array", array);
    root.Set("typed", typed);
    root.Set("date", new CAmfDate(1.5e12, 120));
    root.Set("ref", new CAmfReference(3));
    root.Set("clip", new CAmfMovieClip("mc"));
    root.SetString("long", std::string(70000, 'L'));
    root.SetBoolean("flag", 7);

    const std::string bytes = Encoded(root);
    CAmfSimpleObject back;
    Input in(bytes);
    EXPECT_EQ(back.Decode(in.stream), 0);
    EXPECT_EQ(in.stream.GetLength(), 0u);
    ASSERT_EQ(back.GetObjects().size(), 7u);

    auto* a = ValueAs<CAmfECMAArray>(back.GetValue("array"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetCount(), 2u);
    auto* i = ValueAs<CAmfSimpleObject>(a->GetValue("inner"));
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(ValueAs<CAmfString>(i->GetValue("deep"))->GetValue(), "yes");
    ASSERT_EQ(i->GetObjects().size(), 3u);
    EXPECT_EQ(i->GetObjects()[1]->GetValue(), nullptr);  // null and undefined keep no value
    EXPECT_EQ(i->GetObjects()[2]->GetValue(), nullptr);
    EXPECT_EQ(ValueAs<CAmfNumber>(a->GetValue("n"))->GetValue(), 2.5);

    auto* t = ValueAs<CAmfSimpleObject>(back.GetValue("typed"));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->GetType(), AMF_TYPED_OBJECT);
    EXPECT_EQ(t->GetClassNameA(), "flash.geom.Point");
    EXPECT_EQ(ValueAs<CAmfNumber>(t->GetValue("x"))->GetValue(), -1.0);

    auto* d = ValueAs<CAmfDate>(back.GetValue("date"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetTime(), 1.5e12);
    EXPECT_EQ(d->GetOffset(), 120);
    EXPECT_EQ(ValueAs<CAmfReference>(back.GetValue("ref"))->GetValue(), 3);
    auto* clip = ValueAs<CAmfMovieClip>(back.GetValue("clip"));
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(clip->GetValue(), "mc");
    auto* longText = ValueAs<CAmfString>(back.GetValue("long"));
    ASSERT_NE(longText, nullptr);
    EXPECT_EQ(longText->GetType(), AMF_LONG_STRING);
    EXPECT_EQ(longText->GetValue().size(), 70000u);
    EXPECT_EQ(ValueAs<CAmfBoolean>(back.GetValue("flag"))->GetValue(), 1);
}

TEST(AmfContainer, DecodedValuesEncodeWithoutTheirMarkers) {
    CAmfSimpleObject object;
    object.SetString("s", "x");
    object.Set("z", new CAmfNull());
    object.Set("o", new CAmfSimpleObject());
    CAmfSimpleObject back;
    Input in(Encoded(object));
    ASSERT_EQ(back.Decode(in.stream), 0);
    EXPECT_EQ(Hex(Encoded(back)), "03 00 01 73 00 01 78 00 01 7A 00 01 6F 00 00 09 00 00 09");
    ValueAs<CAmfString>(back.GetValue("s"))->SetIncludeType(1);
    EXPECT_EQ(Hex(Encoded(back)), "03 00 01 73 02 00 01 78 00 01 7A 00 01 6F 00 00 09 00 00 09");
}

TEST(AmfContainer, EncodeFailuresAreReported) {
    CAmfECMAArray array;
    array.Set("a", 1.0);
    array.Set("b", 2.0);
    CLogCapture log;
    {
        CFlashStream small(array.GetEncodeLen() - 1);  // no room for the end marker
        EXPECT_EQ(array.Encode(small), 10015);
        EXPECT_EQ(small.GetSpace(), 2u);
    }
    {
        // Room for everything but the first entry: the second still fits, the
        // end marker follows it, and the missing first entry is reported.
        CAmfSimpleObject object(0, AMF_OBJECT);
        object.SetString("big", std::string(20, 'x'));
        object.SetNumber("n", 1.0);
        CFlashStream room(5 + 3 + 12 + 3);
        EXPECT_EQ(object.Encode(room), 10015);
        EXPECT_EQ(room.GetSpace(), 0u);
    }
    {
        // The last entry failing: no end marker.
        CAmfSimpleObject object(0, AMF_OBJECT);
        object.SetNumber("n", 1.0);
        object.SetString("big", std::string(20, 'x'));
        CFlashStream room(12 + 5 + 3 + 10);
        EXPECT_EQ(object.Encode(room), 10015);
        EXPECT_EQ(Hex(room.GetBuf().FlattenPackage()),
                  "00 01 6E 00 3F F0 00 00 00 00 00 00 00 03 62 69 67 02 00 14");
    }
}
