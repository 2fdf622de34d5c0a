// Transport streams checked with tools no one here wrote: flvtool to-ts and
// hls output against ffprobe, ffmpeg and tstools; CTSReader and flvtool
// from-ts on streams ffmpeg made; the round trip FLV -> TS -> FLV; and a
// growing stream read with from-ts --follow.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "basekit/datapackage.h"
#include "flvio/ts/tsreader.h"
#include "flvio/ts/tswriter.h"
#include "validationsupport.h"

using namespace validation;

namespace {

bool HaveTools() { return HaveProgram("ffmpeg") && HaveProgram("ffprobe"); }

// ffmpeg with its arguments, output last; true when it succeeded.
bool Ffmpeg(std::vector<std::string> args) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv).nExitCode == 0;
}

const std::vector<std::string> kAv = {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
                                      "-i", "sine=frequency=440:sample_rate=44100", "-t", "4", "-pix_fmt", "yuv420p",
                                      "-c:v", "libx264"};

struct TsPacketFacts {
    std::size_t nPackets = 0;
    bool bAllSynced = true;
    bool bCrcOk = true;
    long firstPat = -1, firstPmt = -1, firstPes = -1, firstSdt = -1;
    double maxPcrGapMs = 0;
    double maxPatGapMs = 0;
};

// Our own look at the packets: size and sync, section CRCs, the order of
// the first tables, and the largest PCR and PAT gaps in milliseconds (a
// packet's time is the last PCR before it).
TsPacketFacts LookAtPackets(const std::string& ts) {
    TsPacketFacts f;
    if (ts.size() % 188 != 0) f.bAllSynced = false;
    f.nPackets = ts.size() / 188;
    std::int64_t lastPcr = -1, lastPatAt = -1;
    for (std::size_t i = 0; i < f.nPackets; ++i) {
        const auto* p = reinterpret_cast<const unsigned char*>(ts.data() + i * 188);
        if (p[0] != 0x47) f.bAllSynced = false;
        const int pid = ((p[1] & 0x1F) << 8) | p[2];
        const bool start = p[1] & 0x40;
        std::size_t off = 4;
        if (p[3] & 0x20) {
            if (p[4] >= 7 && (p[5] & 0x10)) {
                const std::int64_t pcr = (std::int64_t(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
                if (lastPcr >= 0) f.maxPcrGapMs = std::max(f.maxPcrGapMs, (pcr - lastPcr) / 90.0);
                lastPcr = pcr;
            }
            off = 5 + p[4];
        }
        if ((pid == 0 || pid == 0x11 || pid == 0x0FFF) && start) {
            const unsigned char* s = p + off + 1 + p[off];
            const std::size_t len = (((s[1] & 0x0F) << 8) | s[2]) + 3;
            if (CTsWriter::Crc32(s, len) != 0) f.bCrcOk = false;
        }
        if (pid == 0 && f.firstPat < 0) f.firstPat = static_cast<long>(i);
        if (pid == 0x0FFF && f.firstPmt < 0) f.firstPmt = static_cast<long>(i);
        if (pid == 0x11 && f.firstSdt < 0) f.firstSdt = static_cast<long>(i);
        if ((pid == 0x100 || pid == 0x101) && f.firstPes < 0) f.firstPes = static_cast<long>(i);
        if (pid == 0 && lastPcr >= 0) {
            if (lastPatAt >= 0) f.maxPatGapMs = std::max(f.maxPatGapMs, (lastPcr - lastPatAt) / 90.0);
            lastPatAt = lastPcr;
        }
    }
    return f;
}

struct FlvFrames {
    std::vector<TagRecord> video, audio;
};

FlvFrames Frames(const std::string& flv) {
    FlvFrames f;
    for (TagRecord& t : ReadTags(flv)) {
        if (!t.bFrame) continue;
        (t.type == TAG_TYPE_VIDEO ? f.video : f.audio).push_back(t);
    }
    return f;
}

// The slice NAL units of an FLV AVC frame body (other units are dropped on
// the way to a transport stream).
std::vector<std::string> Slices(const std::string& body) {
    std::vector<std::string> out;
    std::size_t pos = 5;
    while (pos + 4 <= body.size()) {
        const std::size_t len = (std::size_t(std::uint8_t(body[pos])) << 24) | (std::uint8_t(body[pos + 1]) << 16) |
                                (std::uint8_t(body[pos + 2]) << 8) | std::uint8_t(body[pos + 3]);
        if (pos + 4 + len > body.size() || len == 0) break;
        const int type = body[pos + 4] & 0x1F;
        if (type == 1 || type == 5) out.push_back(body.substr(pos + 4, len));
        pos += 4 + len;
    }
    return out;
}

void CheckToTs(const std::string& flv, const std::string& ts) {
    const ProcessResult r = RunProgram({FlvTool(), "to-ts", flv, ts});
    ASSERT_EQ(r.nExitCode, 0) << r.strErr;
    auto fmt = ProbeFormat(ts);
    EXPECT_EQ(fmt["format.nb_programs"], "1");
    EXPECT_EQ(fmt["streams.stream.0.codec_name"], "h264");
    EXPECT_EQ(fmt["streams.stream.0.id"], "0x100");
    EXPECT_EQ(fmt["streams.stream.1.codec_name"], "aac");
    EXPECT_EQ(fmt["streams.stream.1.id"], "0x101");
    EXPECT_EQ(FfmpegDecodeErrors(ts), "");

    const FlvFrames frames = Frames(flv);
    const auto packets = ProbePackets(ts);
    std::vector<ProbePacket> video, audio;
    for (const auto& p : packets) (p.strType == "video" ? video : audio).push_back(p);
    ASSERT_EQ(video.size(), frames.video.size());
    ASSERT_EQ(audio.size(), frames.audio.size());
    long long firstPts = video.empty() ? audio[0].nPts : std::min(video[0].nPts, audio[0].nPts);
    std::uint32_t firstMs = std::min(frames.video.empty() ? ~0u : frames.video[0].dwTimeStamp, frames.audio[0].dwTimeStamp);
    for (std::size_t i = 0; i < video.size(); ++i) {
        EXPECT_NEAR(video[i].nPts - firstPts, (frames.video[i].dwTimeStamp - firstMs) * 90.0, 1.0) << "video " << i;
    }
    // Audio frames gathered into one PES take the frame duration after the
    // PES time stamp: within a millisecond of the FLV's whole milliseconds.
    for (std::size_t i = 0; i < audio.size(); ++i) {
        EXPECT_NEAR(audio[i].nPts - firstPts, (frames.audio[i].dwTimeStamp - firstMs) * 90.0, 91.0) << "audio " << i;
    }

    const std::string bytes = ReadFile(ts);
    const TsPacketFacts f = LookAtPackets(bytes);
    EXPECT_TRUE(f.bAllSynced);
    EXPECT_TRUE(f.bCrcOk);
    EXPECT_GE(f.firstSdt, 0);
    EXPECT_GE(f.firstPat, 0);
    EXPECT_LT(f.firstPat, f.firstPes);
    EXPECT_LT(f.firstPmt, f.firstPes);
    // Measured, not required: broadcast checks want a PCR every 40 ms and a PAT every 500 ms.
    std::printf("[ measure  ] %s: largest PCR gap %.1f ms, largest PAT/PMT gap %.1f ms\n", flv.c_str(),
                f.maxPcrGapMs, f.maxPatGapMs);
    ::testing::Test::RecordProperty("max_pcr_gap_ms", std::to_string(f.maxPcrGapMs));
    ::testing::Test::RecordProperty("max_pat_gap_ms", std::to_string(f.maxPatGapMs));

    if (HaveProgram("tsinfo")) {
        const ProcessResult info = RunProgram({"tsinfo", ts});
        EXPECT_NE(info.strOut.find("Program 1 -> PID 0fff"), std::string::npos) << info.strOut;
        EXPECT_NE(info.strOut.find("PMT with PID 0fff"), std::string::npos) << info.strOut;
        EXPECT_NE(info.strOut.find("PID 0100 ( 256) -> Stream type 1b"), std::string::npos) << info.strOut;
    }
    if (HaveProgram("tsreport")) {
        for (const char* pid : {"256", "257"}) {
            const ProcessResult rep = RunShell("cd \"$(dirname '" + ts + "')\" && tsreport -cnt " + pid + " '" + ts + "' 2>&1");
            EXPECT_EQ(rep.strOut.find("discontinuity"), std::string::npos) << rep.strOut;
            EXPECT_EQ(rep.strOut.find("CC error"), std::string::npos) << rep.strOut;
        }
    }
}

TEST(TsValidation, ToTsOfFfmpegFlvFiles) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    for (const char* name : {"av.flv", "gop15.flv"}) {
        const std::string flv = Media(name);
        ASSERT_FALSE(flv.empty());
        CheckToTs(flv, dir.File(std::string(name) + ".ts"));
    }
}

TEST(TsValidation, ToTsOfAFileWrittenAsTheEngineWritesIt) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    const std::string src = Media("av.flv");
    ASSERT_FALSE(src.empty());
    const auto tags = ReadTags(src);
    std::string failure;
    const std::string engine = dir.File("engine.flv");
    WriteLikeEngine(engine, tags, 0, tags.size(), 0, 320, 240, &failure);
    ASSERT_TRUE(failure.empty()) << failure;
    CheckToTs(engine, dir.File("engine.ts"));
}

// An MP3 elementary stream cut into frames at its headers.
std::vector<std::string> Mp3Frames(const std::string& mp3) {
    static const int kRates[3] = {44100, 48000, 32000};
    static const int kBitrates[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    std::vector<std::string> frames;
    std::size_t pos = 0;
    while (pos + 4 <= mp3.size()) {
        const auto* h = reinterpret_cast<const unsigned char*>(mp3.data() + pos);
        if (h[0] != 0xFF || (h[1] & 0xFE) != 0xFA) {  // MPEG-1 layer III
            ++pos;
            continue;
        }
        const int bitrate = kBitrates[h[2] >> 4];
        const int rateIndex = (h[2] >> 2) & 3;
        if (bitrate == 0 || rateIndex == 3) {
            ++pos;
            continue;
        }
        const std::size_t len = 144000u * bitrate / kRates[rateIndex] + ((h[2] >> 1) & 1);
        if (pos + len > mp3.size()) break;
        frames.push_back(mp3.substr(pos, len));
        pos += len;
    }
    return frames;
}

TEST(TsValidation, Mp3ThroughTheWriterDecodes) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    const std::string mp3 = dir.File("a.mp3");
    if (!Ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", "3", "-ac", "2", "-c:a",
                 "libmp3lame", "-b:a", "128k", "-write_xing", "0", "-id3v2_version", "0", "-f", "mp3", mp3})) {
        GTEST_SKIP() << "no libmp3lame";
    }
    const auto frames = Mp3Frames(ReadFile(mp3));
    ASSERT_GT(frames.size(), 100u);
    const std::string ts = dir.File("mp3.ts");
    CTsWriter writer;
    ASSERT_EQ(writer.Init(ts, 0, 1, 0, 0, 0), 0);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(writer.WriteAudio(static_cast<std::int64_t>(i) * 1152 * 90000 / 44100,
                                    reinterpret_cast<const unsigned char*>(frames[i].data()), frames[i].size(), 0),
                  0);
    }
    writer.Stop();
    auto fmt = ProbeFormat(ts);
    EXPECT_EQ(fmt["streams.stream.0.codec_name"], "mp3");
    EXPECT_EQ(fmt["streams.stream.0.id"], "0x101");
    EXPECT_EQ(FfmpegDecodeErrors(ts), "");
    const ProcessResult dec = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", ts, "-f", "s16le", "-"});
    EXPECT_NEAR(static_cast<double>(dec.strOut.size()), frames.size() * 1152.0 * 4, 1152.0 * 4 * 2);
}

TEST(TsValidation, HlsSegmentsPlayInOrder) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    const std::string flv = Media("av12.flv");
    ASSERT_FALSE(flv.empty());
    const std::string out = dir.File("hls");
    const ProcessResult r = RunProgram({FlvTool(), "hls", flv, out, "--segment", "3"});
    ASSERT_EQ(r.nExitCode, 0) << r.strErr;
    const std::string playlist = ReadFile(out + "/index.m3u8");
    ASSERT_EQ(playlist.rfind("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:", 0), 0u) << playlist;
    EXPECT_NE(playlist.find("#EXT-X-ENDLIST"), std::string::npos);
    std::vector<double> durations;
    std::vector<std::string> names;
    std::istringstream lines(playlist);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("#EXTINF:", 0) == 0) durations.push_back(std::atof(line.c_str() + 8));
        if (!line.empty() && line[0] != '#') names.push_back(line);
    }
    ASSERT_EQ(names.size(), durations.size());
    ASSERT_GE(names.size(), 3u);
    // A GOP is 30 pictures at 15 per second: 2 s.
    for (std::size_t i = 0; i + 1 < durations.size(); ++i) {
        EXPECT_GE(durations[i], 3.0 - 0.01) << i;
        EXPECT_LE(durations[i], 3.0 + 2.0 + 0.01) << i;
    }
    double total = 0;
    for (double d : durations) total += d;
    EXPECT_NEAR(total, 12.0, 0.2);
    const ProcessResult play = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", out + "/index.m3u8", "-c", "copy",
                                           "-f", "null", "-"});
    EXPECT_EQ(play.nExitCode, 0);
    EXPECT_EQ(play.strErr, "");
    // Every segment opens with PAT, PMT and a key frame; time stamps run on.
    long long lastVideoPts = -1;
    for (const std::string& name : names) {
        const std::string seg = ReadFile(out + "/" + name);
        ASSERT_GE(seg.size(), 3u * 188);
        const TsPacketFacts f = LookAtPackets(seg);
        EXPECT_TRUE(f.bAllSynced && f.bCrcOk) << name;
        EXPECT_LT(f.firstPat, f.firstPes) << name;
        EXPECT_LT(f.firstPmt, f.firstPes) << name;
        // The first picture of a segment is an IDR picture.
        CTSReader reader;
        ASSERT_EQ(reader.Init(out + "/" + name, 0, 1, 0), 0);
        int firstSlice = 0;
        for (int guard = 0; guard < 100000 && firstSlice == 0; ++guard) {
            CTsTagList tags;
            const int rv = reader.mpegts_read_packet(tags);
            for (const CTsTagPtr& t : tags) {
                if (firstSlice == 0 && (t->GetType() == 1 || t->GetType() == 5)) firstSlice = t->GetType();
            }
            if (rv != 0) break;
        }
        EXPECT_EQ(firstSlice, 5) << name;
        for (const auto& p : ProbePackets(out + "/" + name)) {
            if (p.strType != "video") continue;
            // 15 pictures per second on FLV's millisecond grid: 66 or 67 ms.
            if (lastVideoPts >= 0) {
                EXPECT_NEAR(p.nPts - lastVideoPts, 6000, 90) << name;
            }
            lastVideoPts = p.nPts;
        }
    }
}

struct ProbeSet {
    std::vector<long long> video, audio;
};

ProbeSet ProbeTimes(const std::string& path) {
    ProbeSet s;
    for (const auto& p : ProbePackets(path)) (p.strType == "video" ? s.video : s.audio).push_back(p.nPts);
    return s;
}

// CTSReader's tags of a file, checked against ffprobe's packets: one PTS per
// picture (the NAL unit runs of a picture share it) and every audio PES
// time stamp among ffprobe's audio frames.
void CheckReaderAgainstFfprobe(const std::string& ts, bool audioExpected, bool videoExpected) {
    CTSReader reader;
    ASSERT_EQ(reader.Init(ts, 0, 1, 0), 0);
    std::vector<long long> pictures;
    std::vector<long long> audioPes;
    std::size_t audioBytes = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        CTsTagList tags;
        const int rv = reader.mpegts_read_packet(tags);
        for (const CTsTagPtr& t : tags) {
            if (t->GetType() == CTsTag::TS_TAG_AAC || t->GetType() == CTsTag::TS_TAG_MP3) {
                audioPes.push_back(t->GetTimeStamp());
                audioBytes += t->GetData()->GetPackageLength();
            } else if (t->GetType() == 1 || t->GetType() == 5) {
                if (pictures.empty() || pictures.back() != t->GetTimeStamp()) pictures.push_back(t->GetTimeStamp());
            }
        }
        if (rv != 0) break;
    }
    const ProbeSet probe = ProbeTimes(ts);
    if (videoExpected) {
        ASSERT_FALSE(probe.video.empty());
        EXPECT_EQ(pictures, probe.video);
    }
    if (audioExpected) {
        ASSERT_FALSE(probe.audio.empty());
        ASSERT_FALSE(audioPes.empty());
        const std::set<long long> all(probe.audio.begin(), probe.audio.end());
        for (long long pts : audioPes) EXPECT_TRUE(all.count(pts)) << pts;
        EXPECT_GT(audioBytes, 0u);
    }
    EXPECT_EQ(reader.GetContinuityErrors(), 0u);
}

void CheckFromTs(const std::string& ts, const std::string& flv) {
    const ProcessResult r = RunProgram({FlvTool(), "from-ts", ts, flv});
    ASSERT_EQ(r.nExitCode, 0) << r.strErr;
    EXPECT_EQ(FfmpegDecodeErrors(flv), "");
    if (HaveProgram("flvmeta")) {
        EXPECT_EQ(FlvmetaErrors(flv), "");
    }
}

TEST(TsValidation, ReaderAndFromTsOnFfmpegStreams) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool audio, video;
        int pmtPid, packetSize;
    };
    std::vector<Case> cases = {
        {"aac.ts", {"-c:a", "aac", "-ac", "2", "-f", "mpegts"}, true, true, 0x1000, 188},
        {"mp3.ts", {"-c:a", "libmp3lame", "-f", "mpegts"}, true, true, 0x1000, 188},
        {"m2ts.m2ts", {"-an", "-mpegts_m2ts_mode", "1", "-f", "mpegts"}, false, true, 0x100, 192},
    };
    for (Case& c : cases) {
        std::vector<std::string> args = kAv;
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string ts = dir.File(c.name);
        args.push_back(ts);
        if (!Ffmpeg(args)) {
            ADD_FAILURE() << "ffmpeg could not make " << c.name;
            continue;
        }
        SCOPED_TRACE(c.name);
        CheckReaderAgainstFfprobe(ts, c.audio, c.video);
        CTSReader reader;
        ASSERT_EQ(reader.Init(ts, 0, 1, 0), 0);
        CTsTagList tags;
        reader.mpegts_read_packet(tags);
        EXPECT_EQ(reader.GetPacketSize(), c.packetSize);
        ASSERT_FALSE(reader.GetPmtPids().empty());
        EXPECT_EQ(reader.GetPmtPids()[0], c.pmtPid);
        CheckFromTs(ts, dir.File(std::string(c.name) + ".flv"));
    }
    // Audio only.
    const std::string audioOnly = dir.File("audio.ts");
    ASSERT_TRUE(Ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", "3", "-c:a", "aac", "-f",
                        "mpegts", audioOnly}));
    CheckReaderAgainstFfprobe(audioOnly, true, false);
    CheckFromTs(audioOnly, dir.File("audio.flv"));
    const FlvFrames frames = Frames(dir.File("audio.flv"));
    EXPECT_EQ(frames.audio.size(), ProbeTimes(audioOnly).audio.size());
}

TEST(TsValidation, RoundTripKeepsFramesAndTimes) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    for (const char* name : {"av.flv", "video.flv", "audio.flv"}) {
        SCOPED_TRACE(name);
        const std::string flv = Media(name);
        ASSERT_FALSE(flv.empty());
        const std::string ts = dir.File("rt.ts");
        const std::string back = dir.File("rt.flv");
        ASSERT_EQ(RunProgram({FlvTool(), "to-ts", flv, ts}).nExitCode, 0);
        ASSERT_EQ(RunProgram({FlvTool(), "from-ts", ts, back}).nExitCode, 0);
        const FlvFrames a = Frames(flv);
        const FlvFrames b = Frames(back);
        ASSERT_EQ(a.video.size(), b.video.size());
        ASSERT_EQ(a.audio.size(), b.audio.size());
        const std::uint32_t a0 = std::min(a.video.empty() ? ~0u : a.video[0].dwTimeStamp,
                                          a.audio.empty() ? ~0u : a.audio[0].dwTimeStamp);
        for (std::size_t i = 0; i < a.video.size(); ++i) {
            EXPECT_EQ(b.video[i].dwTimeStamp, a.video[i].dwTimeStamp - a0) << "video " << i;
            EXPECT_EQ(b.video[i].bKey, a.video[i].bKey) << i;
            EXPECT_EQ(Slices(b.video[i].strBody), Slices(a.video[i].strBody)) << "video " << i;
        }
        for (std::size_t i = 0; i < a.audio.size(); ++i) {
            EXPECT_NEAR(b.audio[i].dwTimeStamp, a.audio[i].dwTimeStamp - a0, 1.0) << "audio " << i;
            EXPECT_EQ(b.audio[i].strBody, a.audio[i].strBody) << "audio " << i;
        }
    }
}

TEST(TsValidation, FollowingAGrowingStreamGivesTheFinishedFile) {
    if (!HaveTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CScratchDir dir;
    const std::string flv = Media("av.flv");
    ASSERT_FALSE(flv.empty());
    const std::string full = dir.File("full.ts");
    ASSERT_EQ(RunProgram({FlvTool(), "to-ts", flv, full}).nExitCode, 0);
    const std::string bytes = ReadFile(full);
    const std::string growing = dir.File("growing.ts");
    WriteFile(growing, "");
    CChildProcess tool;
    ASSERT_TRUE(tool.Start({FlvTool(), "from-ts", growing, dir.File("live.flv"), "--follow"}));
    std::size_t pos = 0;
    for (std::size_t step = 1; pos < bytes.size(); ++step) {
        const std::size_t n = std::min(bytes.size() - pos, 101 + (step * 7919) % 6007);
        std::ofstream(growing, std::ios::binary | std::ios::app) << bytes.substr(pos, n);
        pos += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // The stop signal makes the tool read the rest as a finished file.
    tool.Signal(SIGINT);
    const ProcessResult end = tool.Wait();
    EXPECT_EQ(end.nExitCode, 0) << end.strErr;
    ASSERT_EQ(RunProgram({FlvTool(), "from-ts", full, dir.File("finished.flv")}).nExitCode, 0);
    EXPECT_EQ(ReadFile(dir.File("live.flv")), ReadFile(dir.File("finished.flv")));
}

TEST(TsValidation, ToolExitCodesAndInfo) {
    CScratchDir dir;
    EXPECT_EQ(RunProgram({FlvTool(), "to-ts", "x.flv"}).nExitCode, 2);
    EXPECT_EQ(RunProgram({FlvTool(), "from-ts", "x.ts", "y.flv", "--bogus"}).nExitCode, 2);
    EXPECT_EQ(RunProgram({FlvTool(), "hls", "x.flv", "d", "--segment", "0"}).nExitCode, 2);
    const std::string junk = dir.File("junk.ts");
    WriteFile(junk, std::string("\x47") + std::string(100000, '\x00'));
    const ProcessResult r = RunProgram({FlvTool(), "from-ts", junk, dir.File("junk.flv")});
    EXPECT_EQ(r.nExitCode, 1);
    EXPECT_NE(r.strErr.find("offset"), std::string::npos) << r.strErr;
    EXPECT_EQ(RunProgram({FlvTool(), "from-ts", dir.File("missing.ts"), dir.File("m.flv")}).nExitCode, 1);
    if (!HaveTools()) return;
    const std::string flv = Media("av.flv");
    ASSERT_FALSE(flv.empty());
    const std::string ts = dir.File("a.ts");
    ASSERT_EQ(RunProgram({FlvTool(), "to-ts", flv, ts}).nExitCode, 0);
    const ProcessResult info = RunProgram({FlvTool(), "info", ts});
    EXPECT_EQ(info.nExitCode, 0);
    EXPECT_NE(info.strOut.find("program map table: PID 0x0fff"), std::string::npos) << info.strOut;
    EXPECT_NE(info.strOut.find("PID 0x0100 (256), stream type 0x1b, H.264"), std::string::npos) << info.strOut;
    EXPECT_NE(info.strOut.find("continuity errors: 0"), std::string::npos) << info.strOut;
    const ProcessResult dump = RunProgram({FlvTool(), "dump", ts});
    EXPECT_EQ(dump.nExitCode, 0);
    EXPECT_NE(dump.strOut.find("aac "), std::string::npos);
}

}  // namespace
