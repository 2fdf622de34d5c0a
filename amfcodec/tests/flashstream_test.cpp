#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "amftestsupport.h"

using amftest::Bytes;
using amftest::CLogCapture;
using amftest::Hex;
using amftest::Input;

namespace {

std::string Written(CFlashStream& stream) { return stream.GetBuf().FlattenPackage(); }

// The one assertion line of a failed operation: both line numbers equal.
void ExpectAssertLine(const CLogCapture& log, const std::string& op, const std::string& cond) {
    ASSERT_EQ(log.Lines().size(), 1u) << op;
    const auto line = log.Lines()[0];
    EXPECT_EQ(line.level, CLogWrapper::LOG_ERROR);
    const std::string prefix = "[CFlashStream::" + op + ":";
    ASSERT_EQ(line.text.rfind(prefix, 0), 0u) << line.text;
    const std::string number = line.text.substr(prefix.size(), line.text.find(']') - prefix.size());
    EXPECT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << line.text;
    EXPECT_EQ(line.text, prefix + number + "][flashstream.cpp:" + number + " Assert failed: " + cond + "]");
}

}  // namespace

TEST(FlashStream, WritesIntegersInTheRequestedByteOrder) {
    CFlashStream s(64);
    EXPECT_EQ(s.PutUI16(0x0102, 0), 0);
    EXPECT_EQ(s.PutUI16(0x0102, 1), 0);
    EXPECT_EQ(s.PutUI24(0x123456, 1), 0);
    EXPECT_EQ(s.PutUI24(9, 1), 0);
    EXPECT_EQ(s.PutUI24(0xAB123456, 0), 0);  // the low 24 bits only
    EXPECT_EQ(s.PutUI32(0, 0), 0);
    EXPECT_EQ(s.PutUI32(0, 1), 0);
    EXPECT_EQ(s.PutUI32(0x01020304, 0), 0);
    EXPECT_EQ(s.PutUI32(0x01020304, 1), 0);
    EXPECT_EQ(s.PutUI8(0xFE), 0);
    EXPECT_EQ(s.PutDouble(1.0), 0);
    EXPECT_EQ(Hex(Written(s)),
              "02 01 01 02 12 34 56 00 00 09 56 34 12 00 00 00 00 00 00 00 00 04 03 02 01 01 02 03 04 FE "
              "3F F0 00 00 00 00 00 00");
    EXPECT_EQ(s.GetSpace(), 64u - 38u);
}

TEST(FlashStream, ReadsWhatWasWritten) {
    Input in(Bytes({0x02, 0x01, 0x01, 0x02, 0x12, 0x34, 0x56, 0x12, 0x34, 0x56, 0x04, 0x03, 0x02, 0x01, 0x01, 0x02,
                    0x03, 0x04, 0xC0, 0x5E, 0xDD, 0x2F, 0x1A, 0x9F, 0xBE, 0x77, 0x7F}));
    UI16 u16 = 0;
    UI32 u32 = 0;
    UI8 u8 = 0;
    double d = 0;
    EXPECT_EQ(in.stream.GetUI16(u16, 0), 0);
    EXPECT_EQ(u16, 0x0102);
    EXPECT_EQ(in.stream.GetUI16(u16, 1), 0);
    EXPECT_EQ(u16, 0x0102);
    // The 24-bit read is big-endian whatever the flag says.
    EXPECT_EQ(in.stream.GetUI24(u32, 0), 0);
    EXPECT_EQ(u32, 0x123456u);
    EXPECT_EQ(in.stream.GetUI24(u32, 1), 0);
    EXPECT_EQ(u32, 0x123456u);
    EXPECT_EQ(in.stream.GetUI32(u32, 0), 0);
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(in.stream.GetUI32(u32, 1), 0);
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(in.stream.GetDouble(d), 0);
    EXPECT_DOUBLE_EQ(d, -123.456);
    EXPECT_EQ(in.stream.GetUI8(u8), 0);
    EXPECT_EQ(u8, 0x7F);
    EXPECT_EQ(in.stream.Eof(1), 1);
}

TEST(FlashStream, FailedWritesMoveNothingAndLogTheirCondition) {
    struct Case {
        const char* op;
        const char* cond;
        std::function<int(CFlashStream&)> call;
    };
    const unsigned char data[10] = {};
    const Case cases[] = {
        {"PutUI8", "m_data && m_data->GetPackageSpace() >= sizeof(UI8)", [](CFlashStream& s) { return s.PutUI8(1); }},
        {"PutUI16", "m_data && m_data->GetPackageSpace() >= sizeof(UI16)",
         [](CFlashStream& s) { return s.PutUI16(1, 1); }},
        {"PutUI24", "m_data && m_data->GetPackageSpace() >= 3", [](CFlashStream& s) { return s.PutUI24(1, 1); }},
        {"PutUI32", "m_data && m_data->GetPackageSpace() >= sizeof(UI32)",
         [](CFlashStream& s) { return s.PutUI32(1, 1); }},
        {"PutDouble", "m_data && m_data->GetPackageSpace() >= 8", [](CFlashStream& s) { return s.PutDouble(1); }},
        {"PutData", "m_data && m_data->GetPackageSpace() >= len",
         [&](CFlashStream& s) { return s.PutData(data, 10); }},
    };
    for (const Case& c : cases) {
        CFlashStream empty;  // no room at all
        CLogCapture log;
        EXPECT_EQ(c.call(empty), 10015) << c.op;
        ExpectAssertLine(log, c.op, c.cond);
    }
    // Ten bytes into nine bytes of room: nothing is written.
    CFlashStream nine(9);
    CLogCapture log;
    EXPECT_EQ(nine.PutData(data, 10), 10015);
    EXPECT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(nine.GetSpace(), 9u);
    EXPECT_EQ(nine.GetLength(), 0u);
    EXPECT_EQ(nine.PutData(data, 9), 0);
    EXPECT_EQ(nine.Eof(0), 1);
}

TEST(FlashStream, FailedReadsLeaveOutputAndPositionAlone) {
    struct Case {
        const char* op;
        const char* cond;
        unsigned need;
        std::function<int(CFlashStream&)> call;
    };
    UI8 u8 = 0xAA;
    UI16 u16 = 0xAAAA;
    UI32 u32 = 0xAAAAAAAA;
    double d = 42.0;
    unsigned char buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    const Case cases[] = {
        {"GetUI8", "m_data && m_data->GetPackageLength() >= sizeof(UI8)", 1,
         [&](CFlashStream& s) { return s.GetUI8(u8); }},
        {"GetUI16", "m_data && m_data->GetPackageLength() >= sizeof(UI16)", 2,
         [&](CFlashStream& s) { return s.GetUI16(u16, 1); }},
        {"GetUI24", "m_data && m_data->GetPackageLength() >= 3", 3, [&](CFlashStream& s) { return s.GetUI24(u32, 1); }},
        {"GetUI32", "m_data && m_data->GetPackageLength() >= sizeof(UI32)", 4,
         [&](CFlashStream& s) { return s.GetUI32(u32, 0); }},
        {"GetDouble", "m_data && m_data->GetPackageLength() >= 8", 8, [&](CFlashStream& s) { return s.GetDouble(d); }},
        {"GetData", "m_data && m_data->GetPackageLength() >= len", 4,
         [&](CFlashStream& s) { return s.GetData(buf, 4); }},
        {"Peek", "m_data && m_data->GetPackageLength() >= len", 4, [&](CFlashStream& s) { return s.Peek(buf, 4); }},
    };
    for (const Case& c : cases) {
        Input in(std::string(c.need - 1, '\x01'));  // one byte short
        CLogCapture log;
        EXPECT_EQ(c.call(in.stream), 10015) << c.op;
        ExpectAssertLine(log, c.op, c.cond);
        EXPECT_EQ(in.stream.GetLength(), c.need - 1) << c.op;
    }
    EXPECT_EQ(u8, 0xAA);
    EXPECT_EQ(u16, 0xAAAA);
    EXPECT_EQ(u32, 0xAAAAAAAAu);
    EXPECT_EQ(d, 42.0);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(buf), 4)), "AA AA AA AA");
}

TEST(FlashStream, PeekDoesNotConsumeButGetDataDoes) {
    Input in(Bytes({1, 2, 3, 4}));
    unsigned char a[3] = {};
    unsigned char b[3] = {};
    EXPECT_EQ(in.stream.Peek(a, 3), 0);
    EXPECT_EQ(in.stream.GetLength(), 4u);
    EXPECT_EQ(in.stream.GetData(b, 3), 0);
    EXPECT_EQ(in.stream.GetLength(), 1u);
    EXPECT_EQ(0, std::memcmp(a, b, 3));
    EXPECT_EQ(b[2], 3);
    // The stream on the caller's package consumed the caller's bytes.
    EXPECT_EQ(in.package.GetPackageLength(), 1u);
}

TEST(FlashStream, EofForwardAndPointers) {
    CFlashStream s(8);
    EXPECT_EQ(s.Eof(1), 1);  // nothing to read yet
    EXPECT_EQ(s.Eof(0), 0);
    EXPECT_EQ(s.PutUI32(0x11223344, 1), 0);
    // Patch a written byte in place and declare two more bytes as written.
    s.GetReadPtr()[1] = 0x99;
    s.GetWritePtr()[0] = 0x55;
    s.GetWritePtr()[1] = 0x66;
    EXPECT_EQ(s.Forward(2, 0), 0);
    EXPECT_EQ(Hex(Written(s)), "11 99 33 44 55 66");
    EXPECT_EQ(s.Forward(3, 0), 10015);  // two bytes of room left
    EXPECT_EQ(s.Forward(5, 1), 0);
    EXPECT_EQ(s.GetLength(), 1u);
    EXPECT_EQ(s.Forward(2, 1), 10015);
    EXPECT_EQ(s.Forward(1, 1), 0);
    EXPECT_EQ(s.Eof(1), 1);
    EXPECT_EQ(s.Eof(0), 0);  // fully read, but two bytes of room remain
    EXPECT_EQ(s.Forward(2, 0), 0);
    EXPECT_EQ(s.Eof(0), 1);
}

TEST(FlashStream, DuplicatingStreamLeavesTheCallersPositions) {
    CDataPackage package(16, "abcd", CDataPackage::FLAG_NONE, 4);
    {
        CFlashStream copy(package, 1);
        unsigned char buf[4];
        EXPECT_EQ(copy.GetData(buf, 4), 0);
        EXPECT_EQ(copy.Eof(1), 1);
        EXPECT_EQ(copy.PutUI8('e'), 0);
    }
    EXPECT_EQ(package.GetPackageLength(), 4u);
    // The copy claimed the shared room by writing into it: the caller can no
    // longer overwrite the byte the copy put there.
    EXPECT_EQ(package.GetPackageSpace(), 0u);
    EXPECT_EQ(package.FlattenPackage(), "abcd");
}

TEST(FlashStream, PutPackageCopiesFromAChainWithoutConsumingIt) {
    CDataPackage head(4, "abcd", CDataPackage::FLAG_NONE, 4);
    auto* tail = new CDataPackage(4, "efgh", CDataPackage::FLAG_NONE, 4);
    head.Append(tail);
    CFlashStream s(7);
    EXPECT_EQ(s.PutUI8('>'), 0);
    EXPECT_EQ(s.PutPackage(head, 6), 0);
    EXPECT_EQ(Written(s), ">abcdef");
    EXPECT_EQ(head.GetPackageLength(), 8u);
    {
        CLogCapture log;
        EXPECT_EQ(s.PutPackage(head, 1), 10015);  // no room left
        EXPECT_EQ(log.Lines().size(), 1u);
    }
    CFlashStream big(16);
    {
        CLogCapture log;
        EXPECT_EQ(big.PutPackage(head, 9), 10015);  // the source is shorter
        EXPECT_EQ(log.Lines().size(), 1u);
    }
    EXPECT_EQ(big.GetSpace(), 16u);
    EXPECT_EQ(big.PutPackage(head, 0), 0);
    EXPECT_EQ(big.GetLength(), 0u);
    tail->DestroyPackage();
}
