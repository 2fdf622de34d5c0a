#include "flvio/ts/tswriter.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "flvio/ts/tsreader.h"
#include "tstestsupport.h"

namespace {

using tstest::Packets;
using tstest::PesOf;

std::string Frame(std::size_t size, unsigned char nalType, bool delimiter) {
    std::string f;
    if (delimiter) f.append("\x00\x00\x00\x01\x09\xF0", 6);
    f.append("\x00\x00\x00\x01", 4);
    f.push_back(static_cast<char>(0x60 | nalType));
    while (f.size() < size) f.push_back(static_cast<char>(0x11 + f.size() % 200));
    f.resize(size);
    return f;
}

int WriteVideo(CTsWriter& w, std::int64_t ts, const std::string& f, int key) {
    return w.WriteAVCVideo(ts, reinterpret_cast<const unsigned char*>(f.data()), f.size(), key);
}

int WriteAudio(CTsWriter& w, std::int64_t ts, const std::string& f) {
    return w.WriteAudio(ts, reinterpret_cast<const unsigned char*>(f.data()), f.size(), 0);
}

// Every section on the table PIDs: checks its CRC and returns its bytes.
std::vector<std::string> Sections(const std::vector<tstest::Packet>& packets, int pid) {
    std::vector<std::string> out;
    for (const tstest::Packet& k : packets) {
        if (k.nPid != pid || !k.bStart) continue;
        const auto* s = reinterpret_cast<const unsigned char*>(k.strPayload.data()) + 1;
        const std::size_t len = (((s[1] & 0x0F) << 8) | s[2]) + 3;
        EXPECT_EQ(CTsWriter::Crc32(s, len), 0u) << "section CRC on PID " << pid;
        out.emplace_back(reinterpret_cast<const char*>(s), len);
    }
    return out;
}

TEST(TsWriterTest, FileStartsWithTablesAndEveryPacketIsWellFormed) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 1, 0, 0, 0, 0), 0);
    EXPECT_EQ(w.Init(dir.File("b.ts"), 1, 0, 0, 0, 0), 10015);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(WriteVideo(w, 1000 + i * 6000, Frame(i % 30 == 0 ? 9000 : 700, i % 30 ? 1 : 5, false), i % 30 == 0), 0);
        ASSERT_EQ(WriteAudio(w, 1000 + i * 6000, std::string(370, '\x21')), 0);
    }
    w.Stop();
    const std::string ts = tstest::ReadAll(dir.File("a.ts"));
    ASSERT_EQ(ts.size() % 188, 0u);
    const auto packets = Packets(ts);
    ASSERT_GE(packets.size(), 4u);
    EXPECT_EQ(packets[0].nPid, 0x11);
    EXPECT_EQ(packets[1].nPid, 0);
    EXPECT_EQ(packets[2].nPid, 0x0FFF);
    std::map<int, int> lastCc;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(ts[i * 188], '\x47');
        EXPECT_TRUE(packets[i].bPayload);  // the writer sends no packet without payload
        auto it = lastCc.find(packets[i].nPid);
        if (it != lastCc.end()) {
            EXPECT_EQ(packets[i].nCc, (it->second + 1) & 15) << "packet " << i;
        }
        lastCc[packets[i].nPid] = packets[i].nCc;
    }
    const auto pat = Sections(packets, 0);
    ASSERT_FALSE(pat.empty());
    EXPECT_EQ(pat[0].substr(8, 4), std::string("\x00\x01\xEF\xFF", 4));
    const auto pmt = Sections(packets, 0x0FFF);
    ASSERT_FALSE(pmt.empty());
    EXPECT_EQ(pmt[0].substr(8, 14), std::string("\xE1\x00\xF0\x00\x1B\xE1\x00\xF0\x00\x0F\xE1\x01\xF0\x00", 14));
    const auto sdt = Sections(packets, 0x11);
    ASSERT_FALSE(sdt.empty());
    EXPECT_NE(sdt[0].find("\x05Orvix\x09Service01"), std::string::npos);
    // PTS: rebased to one second; the PCR leads it by half a second.
    const auto video = PesOf(packets, 0x100);
    ASSERT_EQ(video.size(), 100u);
    EXPECT_EQ(video[0].nPts, 90000);
    EXPECT_EQ(video[99].nPts, 90000 + 99 * 6000);
    for (const auto& k : packets) {
        if (k.bPcr) {
            EXPECT_EQ(k.nPid, 0x100);
        }
    }
    EXPECT_EQ(packets[3].nPid, 0x100);
    EXPECT_TRUE(packets[3].bPcr);
    EXPECT_EQ(packets[3].nPcrBase, 45000);
}

TEST(TsWriterTest, AudioOnlyStreamCarriesPcrOnAudioPid) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(WriteVideo(w, 0, Frame(100, 5, false), 1), 10001);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(WriteAudio(w, i * 2090, std::string(400, '\x33')), 0);
    w.Stop();
    const auto packets = Packets(tstest::ReadAll(dir.File("a.ts")));
    const auto pmt = Sections(packets, 0x0FFF);
    ASSERT_FALSE(pmt.empty());
    EXPECT_EQ(pmt[0].substr(8, 9), std::string("\xE1\x01\xF0\x00\x0F\xE1\x01\xF0\x00", 9));
    EXPECT_EQ(pmt[0].size(), 8u + 9u + 4u);
    int pcrs = 0;
    for (const auto& k : packets) {
        if (k.bPcr) {
            EXPECT_EQ(k.nPid, 0x101);
            ++pcrs;
        }
    }
    EXPECT_GT(pcrs, 0);
}

TEST(TsWriterTest, DelimiterAddedOnlyWhenMissing) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 1, 0, 0, 0, 1), 0);
    const std::string plain = Frame(500, 5, false);
    const std::string withAud = Frame(500, 5, true);
    ASSERT_EQ(WriteVideo(w, 90000, plain, 1), 0);
    ASSERT_EQ(WriteVideo(w, 93000, withAud, 0), 0);
    w.Stop();
    const auto video = PesOf(Packets(tstest::ReadAll(dir.File("a.ts"))), 0x100);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].strData, std::string("\x00\x00\x00\x01\x09\xF0", 6) + plain);
    EXPECT_EQ(video[1].strData, withAud);
    EXPECT_EQ(video[0].nPts, 90000);  // plain time stamps pass unchanged
}

TEST(TsWriterTest, PesLengthFieldAroundSixteenBits) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 1, 0, 0, 0, 0), 0);
    // Payload + 8 header bytes: 0xFFFF fits, one byte more is unbounded (0).
    const std::string fits = Frame(0xFFFF - 8, 5, true);
    const std::string over = Frame(0xFFFF - 7, 1, true);
    const std::string big = Frame(70000, 1, true);
    ASSERT_EQ(WriteVideo(w, 0, fits, 1), 0);
    ASSERT_EQ(WriteVideo(w, 3000, over, 0), 0);
    ASSERT_EQ(WriteVideo(w, 6000, big, 0), 0);
    w.Stop();
    const auto video = PesOf(Packets(tstest::ReadAll(dir.File("a.ts"))), 0x100);
    ASSERT_EQ(video.size(), 3u);
    EXPECT_EQ(video[0].nLengthField, 0xFFFFu);
    EXPECT_EQ(video[1].nLengthField, 0u);
    EXPECT_EQ(video[2].nLengthField, 0u);
    EXPECT_EQ(video[0].strData, fits);
    EXPECT_EQ(video[1].strData, over);
    EXPECT_EQ(video[2].strData, big);
}

TEST(TsWriterTest, FrameLargerThanThePacketBufferIsWrittenWhole) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 1, 0, 0, 0, 0), 0);
    const std::string huge = Frame(2500000, 5, true);
    ASSERT_EQ(WriteVideo(w, 0, huge, 1), 0);
    const std::string next = Frame(1000, 1, true);
    ASSERT_EQ(WriteVideo(w, 3000, next, 0), 0);
    w.Stop();
    const auto video = PesOf(Packets(tstest::ReadAll(dir.File("a.ts"))), 0x100);
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0].strData, huge);
    EXPECT_EQ(video[1].strData, next);
}

TEST(TsWriterTest, AudioIsGatheredUpToItsBuffer) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 0, 0, 0, 0, 1), 0);
    const std::string a(1500, '\x41');
    const std::string b(1500, '\x42');
    const std::string c(3000, '\x43');  // above the buffer: a PES of its own
    ASSERT_EQ(WriteAudio(w, 90000, a), 0);
    ASSERT_EQ(WriteAudio(w, 92000, b), 0);
    ASSERT_EQ(WriteAudio(w, 94000, c), 0);
    EXPECT_EQ(WriteAudio(w, 96000, std::string()), 10008);
    w.Stop();
    const auto audio = PesOf(Packets(tstest::ReadAll(dir.File("a.ts"))), 0x101);
    ASSERT_EQ(audio.size(), 3u);
    EXPECT_EQ(audio[0].strData, a);
    EXPECT_EQ(audio[0].nPts, 90000);
    EXPECT_EQ(audio[1].strData, b);
    EXPECT_EQ(audio[1].nPts, 92000);
    EXPECT_EQ(audio[2].strData, c);
}

TEST(TsWriterTest, GatheredAudioFollowsTheFirstPictureOnTheTimeLine) {
    tstest::CTempDir dir;
    CTsWriter w;
    ASSERT_EQ(w.Init(dir.File("a.ts"), 1, 0, 0, 0, 0), 0);
    // Audio at 0 ms is gathered; the first picture at 23 ms moves the base.
    ASSERT_EQ(WriteAudio(w, 0, std::string(300, '\x51')), 0);
    ASSERT_EQ(WriteVideo(w, 2070, Frame(800, 5, false), 1), 0);
    ASSERT_EQ(WriteAudio(w, 2090, std::string(300, '\x52')), 0);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(WriteAudio(w, 4180 + i * 2090, std::string(300, '\x53')), 0);
    w.Stop();
    const auto packets = Packets(tstest::ReadAll(dir.File("a.ts")));
    const auto video = PesOf(packets, 0x100);
    const auto audio = PesOf(packets, 0x101);
    ASSERT_EQ(video.size(), 1u);
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(video[0].nPts, 90000);
    EXPECT_EQ(audio[0].nPts, 90000 - 2070);  // audio 23 ms before the picture, as written
    ASSERT_GE(audio.size(), 2u);
    // The second PES starts with frame 10 (ten 300-byte frames fill 2930 bytes... less one).
    const std::int64_t framesInFirst = static_cast<std::int64_t>(audio[0].strData.size() / 300);
    EXPECT_EQ(audio[1].nPts, 90000 - 2070 + framesInFirst * 2090);
}

TEST(TsWriterTest, SegmentsAndBoundaries) {
    tstest::CTempDir dir;
    CTsWriter w;
    unsigned long prev = 1, cur = 1;
    EXPECT_EQ(w.AddNewSeg(prev, cur), 10001);
    ASSERT_EQ(w.Init(dir.File("s0.ts"), 1, 0, 0, 0, 0), 0);
    ASSERT_EQ(WriteVideo(w, 0, Frame(1000, 5, false), 1), 0);
    ASSERT_EQ(w.AddNewSeg(prev, cur), 0);
    EXPECT_EQ(prev, 0u);
    EXPECT_EQ(cur, 9u * 188u);  // SDT, PAT, PMT and six packets of the picture
    ASSERT_EQ(WriteAudio(w, 100, std::string(200, '\x61')), 0);  // gathered, goes to s0
    ASSERT_EQ(w.AddNewSeg(dir.File("s1.ts")), 0);
    ASSERT_EQ(WriteVideo(w, 3000, Frame(1000, 5, false), 1), 0);
    EXPECT_EQ(w.AddNewSeg(std::string()), 0);
    EXPECT_EQ(WriteVideo(w, 6000, Frame(1000, 1, false), 0), 10015);
    const auto s0 = Packets(tstest::ReadAll(dir.File("s0.ts")));
    EXPECT_EQ(PesOf(s0, 0x101).size(), 1u);
    const auto s1 = Packets(tstest::ReadAll(dir.File("s1.ts")));
    ASSERT_GE(s1.size(), 3u);
    EXPECT_EQ(s1[0].nPid, 0);  // a key frame brings PAT and PMT first
    EXPECT_EQ(s1[1].nPid, 0x0FFF);
    EXPECT_EQ(PesOf(s1, 0x100).size(), 1u);
}

TEST(TsWriterTest, ShortWriteIsReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CTsWriter w;
    ASSERT_EQ(w.Init("/dev/full", 1, 0, 0, 0, 0), 0);
    const int rv = WriteVideo(w, 0, Frame(200000, 5, false), 1);
    // The file object may keep the bytes until it closes; closing reports it then.
    const int closed = w.AddNewSeg(std::string());
    EXPECT_TRUE(rv == 10001 || closed == 10001) << rv << " " << closed;
}

TEST(TsWriterTest, Mp3TimestampSmoothing) {
    tstest::CTempDir dir;
    CTsWriter w;
    // 418-byte frames of 1152 samples at 44100 Hz: 2351 ticks each.
    ASSERT_EQ(w.Init(dir.File("a.ts"), 0, 1, 418, 2351, 0), 0);
    const std::string frame(418 * 7, '\x71');  // 7 frames: one PES each (above nothing gathered)
    ASSERT_EQ(w.WriteAudio(0, reinterpret_cast<const unsigned char*>(frame.data()), frame.size(), 1), 0);
    // Jittered time stamp: takes the predicted one.
    ASSERT_EQ(w.WriteAudio(7 * 2351 + 500, reinterpret_cast<const unsigned char*>(frame.data()), frame.size(), 1), 0);
    w.Stop();
    const auto audio = PesOf(Packets(tstest::ReadAll(dir.File("a.ts"))), 0x101);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[1].nPts - audio[0].nPts, 7 * 2351);
    const auto pmt = Sections(Packets(tstest::ReadAll(dir.File("a.ts"))), 0x0FFF);
    ASSERT_FALSE(pmt.empty());
    EXPECT_EQ(static_cast<unsigned char>(pmt[0][12]), 0x03);
}

}  // namespace
