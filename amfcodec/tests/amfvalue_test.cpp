#include <gtest/gtest.h>

#include <string>

#include "amftestsupport.h"

using amftest::Bytes;
using amftest::CLogCapture;
using amftest::Encoded;
using amftest::Hex;
using amftest::Input;

namespace {

// Exposes the U29 helpers of the byte array.
class CU29 : public CAmf3ByteArray {
public:
    static std::string Write(int length) {
        CFlashStream s(8);
        EXPECT_EQ(WriteInt(length, s), 0);
        return s.GetBuf().FlattenPackage();
    }
    static int Read(const std::string& bytes, int& length) {
        Input in(bytes);
        return ReadInt(length, in.stream);
    }
};

}  // namespace

TEST(AmfValue, PlainValueEncodings) {
    CAmfNumber one(1.0);
    EXPECT_EQ(Hex(Encoded(one)), "00 3F F0 00 00 00 00 00 00");
    CAmfBoolean yes(5);
    EXPECT_EQ(Hex(Encoded(yes)), "01 01");
    CAmfBoolean no;
    EXPECT_EQ(Hex(Encoded(no)), "01 00");
    CAmfNull null;
    EXPECT_EQ(Hex(Encoded(null)), "05");
    CAmfNull undefined(0);
    EXPECT_EQ(undefined.GetType(), AMF_UNDEFINED);
    EXPECT_EQ(Hex(Encoded(undefined)), "06");
    CAmfReference ref(0x1234);
    EXPECT_EQ(Hex(Encoded(ref)), "07 12 34");
    CAmfDate date(1.0, 0x0102);
    EXPECT_EQ(Hex(Encoded(date)), "0B 3F F0 00 00 00 00 00 00 01 02");
    CAmfMovieClip clip("ab");
    EXPECT_EQ(Hex(Encoded(clip)), "04 00 02 61 62");
    CAmfType base(AMF_NULL);
    EXPECT_EQ(Hex(Encoded(base)), "05");
}

TEST(AmfValue, PlainValuesDecodeWithoutTheirMarker) {
    CAmfNumber number;
    Input n(Bytes({0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18}));
    EXPECT_EQ(number.Decode(n.stream), 0);
    EXPECT_DOUBLE_EQ(number.GetValue(), 3.141592653589793);

    CAmfBoolean flag;
    Input b(Bytes({0x7F}));
    EXPECT_EQ(flag.Decode(b.stream), 0);
    EXPECT_EQ(flag.GetValue(), 1);

    CAmfReference ref;
    Input r(Bytes({0xBE, 0xEF}));
    EXPECT_EQ(ref.Decode(r.stream), 0);
    EXPECT_EQ(ref.GetValue(), 0xBEEF);

    CAmfDate date;
    Input d(Bytes({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x00, 0x3C}));
    EXPECT_EQ(date.Decode(d.stream), 0);
    EXPECT_EQ(date.GetTime(), 1.0);
    EXPECT_EQ(date.GetOffset(), 60);

    CAmfNull null;
    Input z(Bytes({0x42}));
    EXPECT_EQ(null.Decode(z.stream), 0);
    EXPECT_EQ(z.stream.GetLength(), 1u);

    CAmfType base(AMF_NUMBER);
    EXPECT_EQ(base.Decode(z.stream), 10004);

    // A date cut short keeps its old value and passes the stream code on.
    CAmfDate kept(7.0, 7);
    Input cut(Bytes({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x00}));
    CLogCapture log;
    EXPECT_EQ(kept.Decode(cut.stream), 10015);
    EXPECT_EQ(kept.GetTime(), 7.0);
    EXPECT_EQ(kept.GetOffset(), 7);
}

TEST(AmfValue, PlainValueEncodeFailuresPassThrough) {
    CFlashStream none;
    CAmfNumber number(2.0);
    CLogCapture log;
    EXPECT_EQ(number.Encode(none), 10015);
    ASSERT_EQ(log.Lines().size(), 2u);  // the stream's line, then the value's
    EXPECT_NE(log.Lines()[1].text.find("[CAmfNumber::Encode:"), std::string::npos);
    EXPECT_NE(log.Lines()[1].text.find("][amf.cpp:"), std::string::npos);
    EXPECT_NE(log.Lines()[1].text.find(" Assert failed: RV_SUCCEEDED(rv)]"), std::string::npos);
    log.Clear();
    CAmfBoolean flag(1);
    EXPECT_EQ(flag.Encode(none), 10015);
    EXPECT_EQ(log.Find("[CAmfBoolean::Encode:").size(), 1u);

    CFlashStream oneByte(1);
    CAmfDate date(1.0, 1);
    EXPECT_EQ(date.Encode(oneByte), 10015);
}

TEST(AmfValue, StringMarkerAndLengthRules) {
    CAmfString withMarker("abc", 0);
    EXPECT_EQ(withMarker.GetType(), AMF_STRING);
    EXPECT_EQ(Hex(Encoded(withMarker)), "02 00 03 61 62 63");
    CAmfString bare;
    bare.SetValue("abc");
    EXPECT_EQ(Hex(Encoded(bare)), "00 03 61 62 63");
    bare.SetIncludeType(1);
    EXPECT_EQ(Hex(Encoded(bare)), "02 00 03 61 62 63");
    CAmfString longShort("abc", 1);
    EXPECT_EQ(Hex(Encoded(longShort)), "0C 00 00 00 03 61 62 63");
    CAmfString empty("", 0);
    EXPECT_EQ(Hex(Encoded(empty)), "02 00 00");

    // Longer than 65535 bytes: always long, whatever was asked for.
    const std::string big(65536, 'x');
    CAmfString forced(big, 0);
    EXPECT_EQ(forced.GetType(), AMF_LONG_STRING);
    EXPECT_EQ(forced.GetEncodeLen(), 65536u + 5u);
    std::string bytes = Encoded(forced);
    EXPECT_EQ(Hex(bytes.substr(0, 6)), "0C 00 01 00 00 78");
    CAmfString exact(std::string(65535, 'y'), 0);
    EXPECT_EQ(exact.GetType(), AMF_STRING);
    EXPECT_EQ(Hex(Encoded(exact).substr(0, 3)), "02 FF FF");

    // The long string reads back with its marker.
    CAmfString longBack(1);
    longBack.SetIncludeType(1);
    Input in(bytes);
    EXPECT_EQ(longBack.Decode(in.stream), 0);
    EXPECT_EQ(longBack.GetValue(), big);
}

TEST(AmfValue, StringDecodingChecksTheMarkerAndUsesItsOwnLengthWidth) {
    CAmfString s("", 0);  // expects a marker
    Input ok(Bytes({0x02, 0x00, 0x02, 'h', 'i'}));
    EXPECT_EQ(s.Decode(ok.stream), 0);
    EXPECT_EQ(s.GetValue(), "hi");

    CAmfString wrong("keep", 0);
    Input bad(Bytes({0x05, 0x00, 0x01, 'x'}));
    CLogCapture log;
    EXPECT_EQ(wrong.Decode(bad.stream), 10001);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].level, 0);
    EXPECT_NE(log.Lines()[0].text.find(" Assert failed: var == AMF_STRING || var == AMF_LONG_STRING]"),
              std::string::npos);
    EXPECT_EQ(wrong.GetValue(), "keep");

    // Marker 0C read by a short string: the length is still read as 16 bits.
    CAmfString shortOne("", 0);
    Input longMarker(Bytes({0x0C, 0x00, 0x01, 'z', 0x00}));
    EXPECT_EQ(shortOne.Decode(longMarker.stream), 0);
    EXPECT_EQ(shortOne.GetValue(), "z");
    EXPECT_EQ(longMarker.stream.GetLength(), 1u);

    // A movie clip with its marker uses the string's rule and refuses 04.
    CAmfMovieClip clip("c");
    Input clipBytes(Encoded(clip));
    EXPECT_EQ(clip.Decode(clipBytes.stream), 10001);
}

TEST(AmfValue, ShortStringTooLongForItsLengthFieldIsRefused) {
    CAmfString s;
    s.SetValue(std::string(70000, 'q'));
    CFlashStream out(s.GetEncodeLen());
    CLogCapture log;
    EXPECT_EQ(s.Encode(out), 10008);
    EXPECT_EQ(out.GetLength(), 0u);
    EXPECT_EQ(log.Find("Assert failed: LengthFits()").size(), 1u);
}

TEST(AmfValue, ByteArrayLengthsAndLayout) {
    struct Case {
        unsigned length;
        unsigned long encoded;
        const char* head;  // marker, AMF3 marker and U29
    };
    const Case cases[] = {
        {0, 3, "11 0C 01"},
        {63, 66, "11 0C 7F"},
        {64, 68, "11 0C 81 01"},
        {8191, 8195, "11 0C FF 7F"},
        {8192, 8197, "11 0C 81 80 01"},
        {1048575, 1048580, "11 0C FF FF 7F"},
        {1048576, 1048582, "11 0C 80 C0 80 01"},
    };
    for (const Case& c : cases) {
        std::string data(c.length, '\0');
        for (unsigned i = 0; i < c.length; ++i) data[i] = static_cast<char>(i * 7);
        CAmf3ByteArray array(reinterpret_cast<unsigned char*>(data.data()), c.length, 1);
        EXPECT_EQ(array.GetEncodeLen(), c.encoded) << c.length;
        std::string bytes = Encoded(array);
        ASSERT_EQ(bytes.size(), c.encoded);
        std::string head = Hex(bytes.substr(0, c.encoded - c.length));
        EXPECT_EQ(head, c.head);

        CAmf3ByteArray back;
        Input in(bytes.substr(1));  // the caller reads the marker 11
        EXPECT_EQ(back.Decode(in.stream), 0) << c.length;
        EXPECT_EQ(back.GetLength(), c.length);
        EXPECT_EQ(in.stream.GetLength(), 0u);
        if (c.length) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(back.GetBuf()), c.length), data);
        }
    }
}

TEST(AmfValue, ByteArrayOwnershipAndFailures) {
    unsigned char data[3] = {1, 2, 3};
    CAmf3ByteArray held(data, 3, 0);
    EXPECT_EQ(held.GetBuf(), data);
    CAmf3ByteArray copied(data, 3, 1);
    EXPECT_NE(copied.GetBuf(), data);
    EXPECT_EQ(copied.GetBuf()[2], 3);

    CAmf3ByteArray empty;
    CFlashStream out(16);
    {
        CLogCapture log;
        EXPECT_EQ(empty.Encode(out), 10008);
        EXPECT_EQ(out.GetLength(), 0u);
        ASSERT_EQ(log.Lines().size(), 1u);
        EXPECT_NE(log.Lines()[0].text.find(" Assert failed: m_buf]"), std::string::npos);
    }
    {
        Input in(Bytes({0x0B, 0x07, 1, 2, 3}));
        CLogCapture log;
        EXPECT_EQ(held.Decode(in.stream), 10004);
        EXPECT_EQ(log.Find(" Assert failed: byType == 12]").size(), 1u);
        EXPECT_EQ(held.GetBuf(), data);  // untouched
    }
    // A decoded array replaces a held buffer; a length of 0 leaves it empty.
    Input zero(Bytes({0x0C, 0x01}));
    EXPECT_EQ(held.Decode(zero.stream), 0);
    EXPECT_EQ(held.GetBuf(), nullptr);
    EXPECT_EQ(held.GetLength(), 0u);
    Input two(Bytes({0x0C, 0x05, 9, 8}));
    EXPECT_EQ(copied.Decode(two.stream), 0);
    EXPECT_EQ(copied.GetLength(), 2u);
    EXPECT_EQ(copied.GetBuf()[1], 8);
    // A negative length (bit 28 of the U29 set) leaves the array empty.
    Input negative(Bytes({0x0C, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(copied.Decode(negative.stream), 0);
    EXPECT_EQ(copied.GetLength(), 0u);
    EXPECT_EQ(copied.GetBuf(), nullptr);
}

TEST(AmfValue, U29Boundaries) {
    // Length 63..1048576 give U29 values 127, 129, 16383, 16385, 2097151, 2097153.
    EXPECT_EQ(Hex(CU29::Write(0)), "01");
    EXPECT_EQ(Hex(CU29::Write(63)), "7F");
    EXPECT_EQ(Hex(CU29::Write(64)), "81 01");
    EXPECT_EQ(Hex(CU29::Write(8191)), "FF 7F");
    EXPECT_EQ(Hex(CU29::Write(8192)), "81 80 01");
    EXPECT_EQ(Hex(CU29::Write(1048575)), "FF FF 7F");
    EXPECT_EQ(Hex(CU29::Write(1048576)), "80 C0 80 01");
    EXPECT_EQ(Hex(CU29::Write(0x7FFFFFF)), "BF FF FF FF");
    // Bit 30 set: always four bytes.
    EXPECT_EQ(CU29::Write(1 << 30).size(), 4u);
    EXPECT_EQ(CU29::Write((1 << 30) | 1).size(), 4u);

    for (int length : {0, 1, 63, 64, 8191, 8192, 1048575, 1048576, 0x7FFFFFF}) {
        int back = -5;
        EXPECT_EQ(CU29::Read(CU29::Write(length), back), 0);
        EXPECT_EQ(back, length);
    }
    int v = 0;
    EXPECT_EQ(CU29::Read(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), v), 0);
    EXPECT_EQ(v, -1);  // 29 bits sign-extended, then halved
    EXPECT_EQ(CU29::Read(Bytes({0x81, 0x80, 0x80, 0x80}), v), 0);
    EXPECT_EQ(v, 0x400080 >> 1);  // the fourth byte carries 8 bits
    EXPECT_EQ(CU29::Read(Bytes({0xC0, 0x80, 0x80, 0x00}), v), 0);
    EXPECT_EQ(v, -134217728);  // bit 28 set: negative
    int untouched = 77;
    CLogCapture log;
    EXPECT_EQ(CU29::Read(Bytes({0x81, 0x80}), untouched), 10015);
    EXPECT_EQ(untouched, 77);
}

TEST(AmfValue, ByteArrayTooLongForU29IsRefused) {
    unsigned char byte = 0;
    CAmf3ByteArray held(&byte, 0x8000000, 0);  // held, not read
    CFlashStream out(16);
    CLogCapture log;
    EXPECT_EQ(held.Encode(out), 10008);
    EXPECT_EQ(out.GetLength(), 0u);
}
