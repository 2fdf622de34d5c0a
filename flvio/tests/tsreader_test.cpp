#include "flvio/ts/tsreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basekit/datapackage.h"
#include "flvio/ts/tswriter.h"
#include "tstestsupport.h"

namespace {

std::string Nal(unsigned char type, std::size_t size, char fill) {
    std::string n(1, static_cast<char>(0x60 | type));
    n.append(size - 1, fill);
    return n;
}

std::string Annexb(const std::vector<std::string>& nals) {
    std::string out;
    for (const std::string& n : nals) out += std::string("\x00\x00\x00\x01", 4) + n;
    return out;
}

struct Written {
    std::string sps = Nal(7, 12, '\x07');
    std::string pps = Nal(8, 5, '\x08');
    std::string idr = Nal(5, 3000, '\x05');
    std::string slice1 = Nal(1, 700, '\x11');
    std::string slice2 = Nal(1, 500, '\x12');
    std::string audio1 = std::string("\xFF\xF1", 2) + std::string(298, '\x21');
};

// A stream of pictures (a key frame with parameter sets, then frames of two
// slices) and audio, written by CTsWriter.
std::string MakeStream(const std::string& path, const Written& w, int pictures) {
    CTsWriter writer;
    EXPECT_EQ(writer.Init(path, 1, 0, 0, 0, 1), 0);
    for (int i = 0; i < pictures; ++i) {
        const std::string frame = i == 0 ? Annexb({w.sps, w.pps, w.idr}) : Annexb({w.slice1, w.slice2});
        EXPECT_EQ(writer.WriteAVCVideo(90000 + i * 6000, reinterpret_cast<const unsigned char*>(frame.data()),
                                       frame.size(), i == 0),
                  0);
        EXPECT_EQ(writer.WriteAudio(90000 + i * 6000, reinterpret_cast<const unsigned char*>(w.audio1.data()),
                                    w.audio1.size(), 0),
                  0);
    }
    writer.Stop();
    return tstest::ReadAll(path);
}

std::vector<CTsTagPtr> ReadAllTags(CTSReader& reader, int* last = nullptr) {
    std::vector<CTsTagPtr> out;
    for (int guard = 0; guard < 100000; ++guard) {
        CTsTagList tags;
        const int rv = reader.mpegts_read_packet(tags);
        for (CTsTagPtr& t : tags) out.push_back(t);
        if (rv != 0) {
            if (last) *last = rv;
            break;
        }
    }
    return out;
}

std::string Bytes(const CTsTagPtr& tag) { return tag->GetData()->FlattenPackage(); }

TEST(TsReaderTest, TagsPerNalUnitRunAndAudioPes) {
    tstest::CTempDir dir;
    Written w;
    MakeStream(dir.File("a.ts"), w, 20);
    CTSReader reader;
    ASSERT_EQ(reader.Init(dir.File("a.ts"), 0, 1, 0), 0);
    int last = 0;
    const auto tags = ReadAllTags(reader, &last);
    EXPECT_EQ(last, -1);
    std::vector<CTsTagPtr> video, audio;
    for (const auto& t : tags) (t->GetType() == CTsTag::TS_TAG_AAC ? audio : video).push_back(t);
    ASSERT_EQ(video.size(), 3u + 19u);
    EXPECT_EQ(video[0]->GetType(), 7);
    EXPECT_EQ(Bytes(video[0]), w.sps);
    EXPECT_EQ(video[1]->GetType(), 8);
    EXPECT_EQ(Bytes(video[1]), w.pps);
    EXPECT_EQ(video[2]->GetType(), 5);
    EXPECT_EQ(Bytes(video[2]), w.idr);
    EXPECT_EQ(video[2]->GetTimeStamp(), 90000);
    // Two slices of one picture: one tag, the slices kept apart by a start code.
    EXPECT_EQ(video[3]->GetType(), 1);
    EXPECT_EQ(Bytes(video[3]), w.slice1 + std::string("\x00\x00\x00\x01", 4) + w.slice2);
    EXPECT_EQ(video[21]->GetTimeStamp(), 90000 + 19 * 6000);
    // Gathered audio: ten 300-byte frames per PES (2930 bytes hold nine... the tenth overflows).
    std::string allAudio;
    for (const auto& t : audio) allAudio += Bytes(t);
    EXPECT_EQ(allAudio.size(), 20u * w.audio1.size());
    EXPECT_EQ(audio[0]->GetTimeStamp(), 90000);
    EXPECT_EQ(reader.GetContinuityErrors(), 0u);
    ASSERT_EQ(reader.GetStreams().size(), 2u);
    EXPECT_EQ(reader.GetStreams()[0].nPid, 0x100);
    EXPECT_EQ(reader.GetStreams()[1].nCodec, CODEC_ID_AAC);
}

TEST(TsReaderTest, MemoryFileGarbageAndLostSync) {
    tstest::CTempDir dir;
    Written w;
    std::string ts = MakeStream(dir.File("a.ts"), w, 10);
    const std::size_t total = ReadAllTags(*[&] {
                                  static CTSReader r;
                                  r.Init(ts, 1, 1, 0);
                                  return &r;
                              }()).size();
    ASSERT_GT(total, 0u);
    // A garbage byte between packets is skipped.
    std::string garbled = ts;
    garbled.insert(188 * 7, "\x13");
    CTSReader a;
    ASSERT_EQ(a.Init(garbled, 1, 1, 0), 0);
    EXPECT_EQ(ReadAllTags(a).size(), total);
    // 65536 bytes without a sync byte end the reading.
    std::string gap = ts.substr(0, 188 * 10) + std::string(70000, '\x00') + ts.substr(188 * 10);
    CTSReader b;
    ASSERT_EQ(b.Init(gap, 1, 1, 0), 0);
    int last = 0;
    const auto tags = ReadAllTags(b, &last);
    EXPECT_EQ(last, -1);
    EXPECT_LT(tags.size(), total);
    EXPECT_LT(b.GetPosition(), static_cast<std::int64_t>(gap.size()));
}

TEST(TsReaderTest, LiveFileWaitsForDataThenReadsAsTheFinishedOne) {
    tstest::CTempDir dir;
    Written w;
    const std::string ts = MakeStream(dir.File("full.ts"), w, 30);
    CTSReader finished;
    ASSERT_EQ(finished.Init(dir.File("full.ts"), 0, 1, ts.size()), 0);
    const auto expected = ReadAllTags(finished);
    CTSReader wrongSize;
    EXPECT_EQ(wrongSize.Init(dir.File("full.ts"), 0, 1, ts.size() + 1), 10001);

    const std::string live = dir.File("live.ts");
    tstest::WriteAll(live, ts.substr(0, 4000));
    CTSReader reader;
    ASSERT_EQ(reader.Init(live, 0, 0, 0), 0);
    CTsTagList tags;
    EXPECT_EQ(reader.mpegts_read_packet(tags), -2);  // under 8192 bytes
    std::vector<CTsTagPtr> got;
    std::size_t pos = 4000;
    std::size_t step = 1;
    for (int guard = 0; guard < 200000; ++guard) {
        CTsTagList more;
        const int rv = reader.mpegts_read_packet(more);
        for (auto& t : more) got.push_back(t);
        if (rv == -2) {
            if (pos >= ts.size()) break;
            const std::size_t n = std::min(ts.size() - pos, 333 + (step++ * 977) % 4096);
            tstest::WriteAll(live, ts.substr(pos, n), true);
            pos += n;
        } else {
            ASSERT_EQ(rv, 0);
        }
    }
    reader.Finished(live, 0, 1);
    for (auto& t : ReadAllTags(reader)) got.push_back(t);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i]->GetType(), expected[i]->GetType());
        EXPECT_EQ(got[i]->GetTimeStamp(), expected[i]->GetTimeStamp());
        EXPECT_EQ(Bytes(got[i]), Bytes(expected[i])) << i;
    }
}

// Builds packets by hand: a PAT, a PMT on `pmtPid`, and PES packets.
std::string Packet(int pid, bool start, int cc, const std::string& payload, int afc = 1) {
    std::string p(188, '\xFF');
    p[0] = 0x47;
    p[1] = static_cast<char>((start ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<char>(pid & 0xFF);
    p[3] = static_cast<char>((afc << 4) | cc);
    if (afc == 2) {
        p[4] = static_cast<char>(183);
        p[5] = 0;
        return p;
    }
    const std::size_t room = 184;
    if (payload.size() < room && afc == 1) {
        const std::size_t stuffing = room - payload.size();
        p[3] = static_cast<char>((3 << 4) | cc);
        p[4] = static_cast<char>(stuffing - 1);
        if (stuffing > 1) p[5] = 0;
        p.replace(4 + stuffing, payload.size(), payload);
    } else {
        p.replace(4, std::min(room, payload.size()), payload.substr(0, room));
    }
    return p;
}

std::string Section(int table, int ext, const std::string& body) {
    std::string s;
    const std::size_t len = 5 + body.size() + 4;
    s += static_cast<char>(table);
    s += static_cast<char>(0xB0 | (len >> 8));
    s += static_cast<char>(len & 0xFF);
    s += static_cast<char>(ext >> 8);
    s += static_cast<char>(ext & 0xFF);
    s += "\xC1\x00\x00";
    s.append(3, '\0');
    s.resize(3 + 5);
    s += body;
    const std::uint32_t crc = CTsWriter::Crc32(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    for (int i = 3; i >= 0; --i) s += static_cast<char>((crc >> (i * 8)) & 0xFF);
    return std::string(1, '\0') + s;  // pointer field
}

std::string Pat(int pmtPid) {
    return Section(0, 1, std::string("\x00\x01", 2) + static_cast<char>(0xE0 | (pmtPid >> 8)) +
                             static_cast<char>(pmtPid & 0xFF));
}

std::string PmtBody(const std::vector<std::pair<int, int>>& streams) {
    std::string body("\xE1\x00\xF0\x00", 4);
    for (auto [type, pid] : streams) {
        body += static_cast<char>(type);
        body += static_cast<char>(0xE0 | (pid >> 8));
        body += static_cast<char>(pid & 0xFF);
        body += std::string("\xF0\x00", 2);
    }
    return body;
}

std::string AudioPes(std::int64_t pts, const std::string& data, bool withLength = true) {
    std::string h("\x00\x00\x01\xC0", 4);
    const std::size_t len = withLength ? data.size() + 8 : 0;
    h += static_cast<char>(len >> 8);
    h += static_cast<char>(len & 0xFF);
    h += "\x80\x80\x05";
    h += static_cast<char>(0x21 | ((pts >> 29) & 0x0E));
    h += static_cast<char>((pts >> 22) & 0xFF);
    h += static_cast<char>(((pts >> 14) & 0xFE) | 1);
    h += static_cast<char>((pts >> 7) & 0xFF);
    h += static_cast<char>(((pts << 1) & 0xFE) | 1);
    return h + data;
}

TEST(TsReaderTest, PesBeforeThePmtRestartsOnceFromTheStart) {
    std::string ts;
    ts += Packet(0x101, true, 0, AudioPes(1000, std::string(100, 'a')));
    ts += Packet(0, true, 0, Pat(0x1000));
    ts += Packet(0x1000, true, 0, Section(2, 1, PmtBody({{0x0F, 0x101}})));
    ts += Packet(0x101, true, 1, AudioPes(3000, std::string(100, 'b')));
    ts += std::string(188 * 40, '\0').replace(0, 0, "");  // nothing: padded below
    ts.resize(188 * 4);
    for (int i = 0; i < 50; ++i) ts += Packet(0x1FFF, false, 0, std::string(184, '\xFF'));
    CTSReader reader;
    ASSERT_EQ(reader.Init(ts, 1, 1, 0), 0);
    const auto tags = ReadAllTags(reader);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0]->GetTimeStamp(), 1000);
    EXPECT_EQ(Bytes(tags[0]), std::string(100, 'a'));
    EXPECT_EQ(tags[1]->GetTimeStamp(), 3000);
    ASSERT_EQ(reader.GetPmtPids().size(), 1u);
    EXPECT_EQ(reader.GetPmtPids()[0], 0x1000);
}

TEST(TsReaderTest, PacketsWithoutPayloadKeepTheContinuityCounter) {
    std::string ts;
    ts += Packet(0, true, 0, Pat(0x1000));
    ts += Packet(0x1000, true, 0, Section(2, 1, PmtBody({{0x0F, 0x101}})));
    const std::string pes = AudioPes(5000, std::string(400, 'x'));
    ts += Packet(0x101, true, 0, pes.substr(0, 184), 1);
    ts += Packet(0x101, false, 0, "", 2);  // adaptation field only, counter unchanged
    ts += Packet(0x101, false, 1, pes.substr(184, 184), 1);
    ts += Packet(0x101, false, 1, pes.substr(184, 184), 1);  // a duplicate
    ts += Packet(0x101, false, 2, pes.substr(368), 1);
    for (int i = 0; i < 50; ++i) ts += Packet(0x1FFF, false, 0, std::string(184, '\xFF'));
    CTSReader reader;
    ASSERT_EQ(reader.Init(ts, 1, 1, 0), 0);
    const auto tags = ReadAllTags(reader);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(Bytes(tags[0]), std::string(400, 'x'));
    EXPECT_EQ(reader.GetContinuityErrors(), 0u);
}

TEST(TsReaderTest, HostileInputs) {
    // A section length above 4093, a PMT naming hundreds of PIDs, a PES
    // length beyond the file, an unbounded PES cut by the end, and a file
    // cut inside a packet: clear ends, no crash.
    std::string ts;
    ts += Packet(0, true, 0, std::string("\x00\x00\xBF\xFF", 4) + std::string(100, '\x01'));
    ts += Packet(0, true, 1, Pat(0x1000));
    std::vector<std::pair<int, int>> many;
    for (int pid = 0x20; pid < 0x20 + 800; ++pid) many.push_back({0x0F, pid});
    const std::string bigPmt = Section(2, 1, PmtBody(many));
    for (std::size_t i = 0, cc = 0; i < bigPmt.size(); i += 184, ++cc) {
        ts += Packet(0x1000, i == 0, static_cast<int>(cc & 15), bigPmt.substr(i, 184));
    }
    ts += Packet(0x20, true, 0, AudioPes(9000, std::string(150, 'q')).replace(4, 2, "\xFF\xF0", 2));
    ts += Packet(0x21, true, 0, AudioPes(9000, std::string(150, 'r'), false));
    ts += Packet(0x22, true, 0, AudioPes(9000, std::string(150, 's'))).substr(0, 100);
    CTSReader reader;
    ASSERT_EQ(reader.Init(ts, 1, 1, 0), 0);
    int last = 0;
    const auto tags = ReadAllTags(reader, &last);
    EXPECT_TRUE(last == -1 || last == 100) << last;  // the end, or the short last packet's bytes
    EXPECT_EQ(reader.GetStreams().size(), 800u);
    EXPECT_LE(tags.size(), 3u);
}

TEST(TsReaderTest, M2tsPacketsAreRecognised) {
    tstest::CTempDir dir;
    Written w;
    const std::string ts = MakeStream(dir.File("a.ts"), w, 10);
    std::string m2ts;
    for (std::size_t i = 0; i + 188 <= ts.size(); i += 188) m2ts += std::string("\x00\x01\x02\x03", 4) + ts.substr(i, 188);
    CTSReader a, b;
    ASSERT_EQ(a.Init(ts, 1, 1, 0), 0);
    ASSERT_EQ(b.Init(m2ts, 1, 1, 0), 0);
    const auto ta = ReadAllTags(a);
    const auto tb = ReadAllTags(b);
    EXPECT_EQ(b.GetPacketSize(), 192);
    ASSERT_EQ(ta.size(), tb.size());
    for (std::size_t i = 0; i < ta.size(); ++i) EXPECT_EQ(Bytes(ta[i]), Bytes(tb[i]));
}

}  // namespace
