#include "flvio/ts/tsvideoflv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basekit/datapackage.h"

namespace {

const std::string kStart("\x00\x00\x00\x01", 4);

std::string Nal(unsigned char type, std::size_t size, char fill) {
    std::string n(1, static_cast<char>(0x60 | type));
    n.append(size - 1, fill);
    return n;
}

std::string Lengths(const std::vector<std::string>& nals) {
    std::string out;
    for (const std::string& n : nals) {
        const std::size_t l = n.size();
        out += static_cast<char>(l >> 24);
        out += static_cast<char>(l >> 16);
        out += static_cast<char>(l >> 8);
        out += static_cast<char>(l);
        out += n;
    }
    return out;
}

std::string Record(const std::string& sps, const std::string& pps) {
    std::string r("\x01", 1);
    r += sps.substr(1, 3);
    r += "\xFF\xE1";
    r += static_cast<char>(sps.size() >> 8);
    r += static_cast<char>(sps.size() & 0xFF);
    r += sps;
    r += '\x01';
    r += static_cast<char>(pps.size() >> 8);
    r += static_cast<char>(pps.size() & 0xFF);
    r += pps;
    return r;
}

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

TEST(Flv2TsH264Test, KeyFrameKeepsTheSliceBehindTheParameterSets) {
    CFlv2TsH264 c;
    const std::string sps = Nal(7, 20, '\x42');
    const std::string pps = Nal(8, 6, '\x43');
    unsigned char* out = nullptr;
    unsigned long outLen = 7;
    const std::string idr = Nal(5, 900, '\x05');
    // A frame before any configuration.
    EXPECT_EQ(c.TransferFlv(AVC_PACKAGE_KEY, U(Lengths({idr})), Lengths({idr}).size(), out, outLen), 10001);
    const std::string record = Record(sps, pps);
    ASSERT_EQ(c.TransferFlv(AVC_PACKAGE_CONFIG, U(record), record.size(), out, outLen), 0);
    EXPECT_EQ(outLen, 0u);
    EXPECT_EQ(c.GetParameterSets(), kStart + sps + kStart + pps + kStart);
    const std::string key = Lengths({Nal(6, 30, '\x06'), sps, pps, idr});
    ASSERT_EQ(c.TransferFlv(AVC_PACKAGE_KEY, U(key), key.size(), out, outLen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outLen), c.GetParameterSets() + idr);
    const std::string s1 = Nal(1, 300, '\x11'), s2 = Nal(1, 200, '\x12');
    const std::string inter = Lengths({s1, s2});
    ASSERT_EQ(c.TransferFlv(AVC_PACKAGE_INTER, U(inter), inter.size(), out, outLen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outLen), kStart + s1 + kStart + s2);
    // A length beyond the packet, a short packet.
    std::string bad = inter;
    bad[0] = '\x7F';
    EXPECT_EQ(c.TransferFlv(AVC_PACKAGE_INTER, U(bad), bad.size(), out, outLen), 10001);
    EXPECT_EQ(outLen, 0u);
    EXPECT_EQ(c.TransferFlv(AVC_PACKAGE_INTER, U(inter), 4, out, outLen), 10008);
}

TEST(Flv2TsH264Test, OversizedParameterSetsAreRejected) {
    CFlv2TsH264 c;
    unsigned char* out = nullptr;
    unsigned long outLen = 0;
    const std::string longPps = Record(Nal(7, 20, '\x42'), Nal(8, 65, '\x43'));
    EXPECT_EQ(c.ParseAVCConfigure(U(longPps), longPps.size()), 10004);
    EXPECT_TRUE(c.GetParameterSets().empty());
    const std::string okPps = Record(Nal(7, 20, '\x42'), Nal(8, 64, '\x43'));
    EXPECT_EQ(c.ParseAVCConfigure(U(okPps), okPps.size()), 0);
    const std::string longSps = Record(Nal(7, 124, '\x42'), Nal(8, 4, '\x43'));
    EXPECT_EQ(c.ParseAVCConfigure(U(longSps), longSps.size()), 10004);
    const std::string cut = okPps.substr(0, okPps.size() - 1);
    EXPECT_EQ(c.ParseAVCConfigure(U(cut), cut.size()), 10001);
    EXPECT_EQ(c.ParseAVCConfigure(U(cut), 8), 10001);

    CFlv2TsH264 t;
    const std::string sps61 = Nal(7, 61, '\x42');
    EXPECT_EQ(t.TransferTsRaw(TS_TAG_SPS, U(sps61), sps61.size(), out, outLen), 10004);
    EXPECT_TRUE(t.GetParameterSets().empty());
    const std::string idr = Nal(5, 100, '\x05');
    EXPECT_EQ(t.TransferTsRaw(TS_TAG_IDR, U(idr), idr.size(), out, outLen), 10001);
    const std::string sps = Nal(7, 60, '\x42'), pps = Nal(8, 5, '\x43');
    ASSERT_EQ(t.TransferTsRaw(TS_TAG_SPS, U(sps), sps.size(), out, outLen), 0);
    ASSERT_EQ(t.TransferTsRaw(TS_TAG_PPS, U(pps), pps.size(), out, outLen), 0);
    ASSERT_EQ(t.TransferTsRaw(TS_TAG_IDR, U(idr), idr.size(), out, outLen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outLen),
              kStart + sps + kStart + pps + std::string("\x00\x00\x01", 3) + idr);
    const std::string slice = Nal(1, 50, '\x01');
    ASSERT_EQ(t.TransferTsRaw(TS_TAG_SLICE, U(slice), slice.size(), out, outLen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), outLen), kStart + slice);
}

CDataPackage* Transfer(CTs2FlvH264& c, TsTagType type, const std::string& unit, AVCPackageType& outType, int* rv) {
    CDataPackage in(unit.size(), unit.data(), CDataPackage::FLAG_NONE, unit.size());
    CDataPackage* out = nullptr;
    *rv = c.Transfer(type, in, outType, out);
    return out;
}

std::string Take(CDataPackage* p) {
    if (!p) return "(none)";
    std::string s = p->FlattenPackage();
    p->DestroyPackage();
    return s;
}

TEST(Ts2FlvH264Test, ParameterSetsGiveRecordsAndSlicesGetLengths) {
    CTs2FlvH264 c;
    AVCPackageType type = AVC_PACKAGE_INTER;
    int rv = 0;
    const std::string sps = Nal(7, 20, '\x42'), pps = Nal(8, 6, '\x43');
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SPS, sps, type, &rv)), "(none)");
    EXPECT_EQ(Take(Transfer(c, TS_TAG_PPS, pps, type, &rv)), Record(sps, pps));
    EXPECT_EQ(type, AVC_PACKAGE_CONFIG);
    const std::string sps2 = Nal(7, 22, '\x44');
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SPS, sps2, type, &rv)), Record(sps2, pps));
    const std::string idr = Nal(5, 500, '\x05');
    EXPECT_EQ(Take(Transfer(c, TS_TAG_IDR, idr, type, &rv)), Lengths({idr}));
    EXPECT_EQ(type, AVC_PACKAGE_KEY);
    // Two slices of one picture, as the reader joins them.
    const std::string s1 = Nal(1, 300, '\x11'), s2 = Nal(1, 200, '\x12');
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SLICE, s1 + kStart + s2, type, &rv)), Lengths({s1, s2}));
    EXPECT_EQ(type, AVC_PACKAGE_INTER);
    EXPECT_EQ(Take(Transfer(c, static_cast<TsTagType>(6), Nal(6, 10, '\x06'), type, &rv)), "(none)");
    EXPECT_EQ(rv, 0);
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SLICE, std::string(), type, &rv)), "(none)");
    EXPECT_EQ(rv, 10008);
}

TEST(Ts2FlvH264Test, OversizedOrShortParameterSetsAreRejected) {
    CTs2FlvH264 c;
    AVCPackageType type = AVC_PACKAGE_INTER;
    int rv = 0;
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SPS, Nal(7, 3, '\x42'), type, &rv)), "(none)");
    EXPECT_EQ(rv, 10004);
    EXPECT_EQ(Take(Transfer(c, TS_TAG_PPS, Nal(8, 6, '\x43'), type, &rv)), "(none)");
    EXPECT_EQ(rv, 0);
    // SPS + PPS + 11 above 1024 bytes.
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SPS, Nal(7, 1024 - 11 - 6 + 1, '\x42'), type, &rv)), "(none)");
    EXPECT_EQ(rv, 10004);
    const std::string sps = Nal(7, 1024 - 11 - 6, '\x42');
    EXPECT_EQ(Take(Transfer(c, TS_TAG_SPS, sps, type, &rv)).size(), 1024u);
    EXPECT_EQ(rv, 0);
}

}  // namespace
