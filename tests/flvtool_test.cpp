// flvtool itself: exit codes, damaged and truncated files, the JSON form,
// its facts against ffprobe, and dump --follow on a file being written.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "amfcodec/amf.h"
#include "basekit/datapackage.h"
#include "flvio/flvwriter.h"
#include "validationsupport.h"

using namespace validation;

namespace {

// Runs python3 over the JSON that `flvtool info FILE --json` prints; the
// script reads it as `d` and prints what the test compares.
ProcessResult JsonQuery(const std::string& file, const std::string& script) {
    const ProcessResult info = RunProgram({FlvTool(), "info", file, "--json"});
    ProcessResult r = RunProgram({"python3", "-c", "import json,sys\nd=json.load(sys.stdin)\n" + script}, info.strOut);
    r.strErr += info.strErr;
    return r;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The tag that holds `cut` (a file offset past the header), as the offset
// at which it starts; `boundary` tells whether the cut falls between tags.
std::uint64_t TagAt(const std::vector<TagRecord>& tags, std::uint64_t cut, bool& boundary) {
    boundary = cut == 13;
    std::uint64_t start = 13;
    for (const TagRecord& t : tags) {
        const std::uint64_t end = t.nOffset + t.dwSize + 15;
        if (cut == end) boundary = true;
        if (cut >= t.nOffset && cut < end) start = t.nOffset;
    }
    return start;
}

class FlvtoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
        m_strAv = validation::Media("av.flv");
        ASSERT_FALSE(m_strAv.empty());
    }
    std::string m_strAv;
    CScratchDir m_dir;
};

}  // namespace

TEST_F(FlvtoolTest, ExitCodesForSuccessDamageAndWrongUsage) {
    const std::string original = ReadFile(m_strAv);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", m_strAv}, {"info", m_strAv, "--json"}, {"dump", m_strAv},
          {"remux", m_strAv, m_dir.File("ok.flv")}, {"--help"}}) {
        const ProcessResult r = RunProgram([&] {
            std::vector<std::string> argv{FlvTool()};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        }());
        EXPECT_EQ(r.nExitCode, 0) << args[0] << ": " << r.strErr;
        EXPECT_FALSE(r.strOut.empty() && args[0] != "remux");
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"frob"}, {"info"}, {"info", m_strAv, m_strAv}, {"info", "--bogus", m_strAv},
          {"dump"}, {"dump", m_strAv, "--json"}, {"remux", m_strAv}, {"remux", m_strAv, m_strAv}}) {
        std::vector<std::string> argv{FlvTool()};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = RunProgram(argv);
        EXPECT_EQ(r.nExitCode, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_NE(r.strErr.find("usage: flvtool"), std::string::npos);
        EXPECT_EQ(r.strOut, "");
    }
    const ProcessResult missing = RunProgram({FlvTool(), "info", m_dir.File("missing.flv")});
    EXPECT_EQ(missing.nExitCode, 1);
    EXPECT_NE(missing.strErr.find("cannot open"), std::string::npos);
    const ProcessResult notFlv = RunProgram({FlvTool(), "dump", "/etc/passwd"});
    EXPECT_EQ(notFlv.nExitCode, 1);
    EXPECT_NE(notFlv.strErr.find("damaged file at offset 0: no FLV signature"), std::string::npos);
    EXPECT_TRUE(ReadFile(m_strAv) == original) << "remux x x left the input alone";
}

// A file cut anywhere: every command exits 1 (0 when the cut falls between
// two tags) naming the offset of the cut tag, never crashes or hangs; info
// still prints what it read, and remux leaves a valid file of the tags
// before the cut.
TEST_F(FlvtoolTest, TruncatedFilesAreReportedAtTheCutTag) {
    const std::string whole = ReadFile(m_strAv);
    const std::vector<TagRecord> tags = ReadTags(m_strAv);
    ASSERT_GT(tags.size(), 10u);
    std::vector<std::uint64_t> cuts = {0, 5, 12, 13, 14, 20, tags[1].nOffset, tags[1].nOffset + 11,
                                       tags[2].nOffset + 13, whole.size() - 1, whole.size() - 4};
    for (int i = 1; i < 8; ++i) cuts.push_back(whole.size() * i / 8);
    const bool flvmeta = HaveProgram("flvmeta");
    for (std::uint64_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const std::string path = m_dir.File("cut.flv");
        WriteFile(path, whole.substr(0, cut));
        bool boundary = false;
        const std::uint64_t at = cut < 13 ? 0 : TagAt(tags, cut, boundary);
        const std::string expected = "flvtool: damaged file at offset " + std::to_string(at) + ": ";
        for (const char* command : {"info", "dump", "remux"}) {
            std::vector<std::string> argv{FlvTool(), command, path};
            if (std::string(command) == "remux") argv.push_back(m_dir.File("cut-out.flv"));
            const ProcessResult r = RunProgram(argv);
            EXPECT_EQ(r.nSignal, 0) << command;
            if (boundary) {
                EXPECT_EQ(r.nExitCode, 0) << command << ": " << r.strErr;
                continue;
            }
            EXPECT_EQ(r.nExitCode, 1) << command;
            EXPECT_EQ(r.strErr.rfind(expected, 0), 0u) << command << ": " << r.strErr;
            if (std::string(command) == "info" && cut >= 13) {
                EXPECT_NE(r.strOut.find("\ntags "), std::string::npos);
                EXPECT_NE(r.strOut.find("damage          at offset " + std::to_string(at)), std::string::npos);
            }
        }
        if (!boundary && cut > 1000 && flvmeta) {
            EXPECT_EQ(FlvmetaErrors(m_dir.File("cut-out.flv")), "");
        }
    }
}

TEST_F(FlvtoolTest, CorruptTagsAreNamed) {
    const std::string whole = ReadFile(m_strAv);
    const std::vector<TagRecord> tags = ReadTags(m_strAv);
    const TagRecord& t = tags[4];
    struct Case {
        std::size_t nAt;
        char cValue;
        std::string strMessage;
    };
    const std::string size = std::to_string(t.dwSize);
    const Case cases[] = {
        {t.nOffset + 11 + t.dwSize + 3, static_cast<char>((t.dwSize + 11 + 1) & 0xFF),
         "back-pointer " + std::to_string(t.dwSize + 12) + " does not match body size " + size + " + 11"},
        {t.nOffset, 7, "unknown tag type 7"},
        {t.nOffset + 1, 0x7F, "truncated tag: body size "},
    };
    for (const Case& c : cases) {
        std::string bytes = whole;
        bytes[c.nAt] = c.cValue;
        const std::string path = m_dir.File("bad.flv");
        WriteFile(path, bytes);
        for (const char* command : {"info", "dump"}) {
            const ProcessResult r = RunProgram({FlvTool(), command, path});
            EXPECT_EQ(r.nExitCode, 1) << command;
            EXPECT_EQ(r.strErr.rfind("flvtool: damaged file at offset " + std::to_string(t.nOffset) + ": " +
                                         c.strMessage, 0),
                      0u)
                << r.strErr;
        }
        // dump printed the tags before the damaged one.
        const ProcessResult dump = RunProgram({FlvTool(), "dump", path});
        EXPECT_NE(dump.strOut.find(std::to_string(tags[3].nOffset) + " "), std::string::npos);
    }
}

TEST_F(FlvtoolTest, JsonParsesAndMatchesFfprobe) {
    if (!HaveProgram("python3") || !HaveProgram("ffprobe")) GTEST_SKIP() << "python3/ffprobe missing";
    for (const char* name : {"av.flv", "video.flv", "audio.flv", "keyframes.flv"}) {
        SCOPED_TRACE(name);
        const std::string path = validation::Media(name);
        ASSERT_FALSE(path.empty());
        const ProcessResult r = JsonQuery(path,
            "a=d['audio'] or {}; v=d['video'] or {}\n"
            "print(a.get('frames',0), v.get('frames',0), d['tags']['keyFrames'], d['damage'],"
            " (a.get('config') or {}).get('sampleRate'), (a.get('config') or {}).get('channels'))");
        ASSERT_EQ(r.nExitCode, 0) << r.strErr;
        int audio = 0, video = 0, keys = 0;
        for (const ProbePacket& p : ProbePackets(path)) {
            audio += p.strType == "audio";
            video += p.strType == "video";
            keys += p.strType == "video" && p.bKey;
        }
        const bool hasAudio = std::string(name) != "video.flv";
        EXPECT_EQ(Trimmed(r.strOut), std::to_string(audio) + " " + std::to_string(video) + " " +
                                         std::to_string(keys) + " None " + (hasAudio ? "44100 2" : "None None"));
    }
    // The keyframe index: the strict array is reported with its marker, the
    // properties in front of it are kept, nothing misread is shown.
    const ProcessResult kf = JsonQuery(validation::Media("keyframes.flv"),
        "m=d['metadata']; u=m['unsupported'][0]\n"
        "print(u['name'], u['marker'], u['path'], 'keyframes' in m['properties'], m['properties']['width'],"
        " m['misread'] > 0, '' in m['properties'])");
    ASSERT_EQ(kf.nExitCode, 0) << kf.strErr;
    EXPECT_EQ(Trimmed(kf.strOut), "filepositions 10 keyframes.filepositions False 320 False False");
}

TEST_F(FlvtoolTest, SpsFactsMatchFfprobe) {
    if (!HaveProgram("python3") || !HaveProgram("ffprobe")) GTEST_SKIP() << "python3/ffprobe missing";
    for (const char* name : {"av.flv", "cropped.flv", "baseline.flv"}) {
        SCOPED_TRACE(name);
        const std::string path = validation::Media(name);
        ASSERT_FALSE(path.empty());
        const ProcessResult r = JsonQuery(path,
            "s=d['video']['sps']\nprint(s['profileName'], s['levelIdc'], s['width'], s['height'], sep='|')");
        ASSERT_EQ(r.nExitCode, 0) << r.strErr;
        const auto probe = ProbeFormat(path);
        EXPECT_EQ(Trimmed(r.strOut), probe.at("streams.stream.0.profile") + "|" + probe.at("streams.stream.0.level") +
                                         "|" + probe.at("streams.stream.0.width") + "|" +
                                         probe.at("streams.stream.0.height"));
    }
}

// Strings from a file reach the JSON escaped and as valid UTF-8 whatever
// bytes they hold; time stamps that go back are listed per stream.
TEST_F(FlvtoolTest, HostileStringsAndBackwardTimeStamps) {
    if (!HaveProgram("python3")) GTEST_SKIP() << "python3 missing";
    const std::string path = m_dir.File("odd.flv");
    {
        CFlvWriter writer;
        ASSERT_EQ(writer.Init(path, 0, 0, 2), 0);
        CAmfECMAArray meta;
        meta.Set("title", std::string("quote\" back\\ nl\n tab\t bad\xff\xfe end \xe2\x82\xac"));
        meta.Set("width", 64.0);
        meta.Set("we\x01ird\xc3", 1.0);
        ASSERT_EQ(writer.WriteData(0, "onMetaData", meta), 0);
        const unsigned char key[] = {0x17, 0x01, 0, 0, 0, 0, 0, 0, 1, 0x65};
        const unsigned char inter[] = {0x27, 0x01, 0, 0, 0, 0, 0, 0, 1, 0x41};
        const unsigned times[] = {0, 40, 80, 60, 100};
        for (int i = 0; i < 5; ++i) {
            CDataPackage body(10, i ? inter : key, CDataPackage::FLAG_NONE, 10);
            ASSERT_EQ(writer.WriteVideo(times[i], body), 0);
        }
        writer.Finished();
    }
    const std::vector<TagRecord> tags = ReadTags(path);
    ASSERT_EQ(tags.size(), 6u);
    const ProcessResult r = JsonQuery(path,
        "m=d['metadata']['properties']; b=d['backward']\n"
        "print(repr(m['title']), sorted(m.keys()), b)");
    ASSERT_EQ(r.nExitCode, 0) << r.strErr;
    EXPECT_EQ(Trimmed(r.strOut),
              "'quote\" back\\\\ nl\\n tab\\t badÿþ end €' ['title', 'we\\x01irdÃ', 'width'] "
              "[{'stream': 'video', 'offset': " + std::to_string(tags[4].nOffset) +
                  ", 'previous': 80, 'current': 60}]");
    const ProcessResult text = RunProgram({FlvTool(), "info", path});
    EXPECT_EQ(text.nExitCode, 0);
    EXPECT_NE(text.strOut.find("video         at offset " + std::to_string(tags[4].nOffset) + ": 80 -> 60 ms"),
              std::string::npos)
        << text.strOut;
    EXPECT_NE(text.strOut.find("bad\\xFF\\xFE"), std::string::npos) << "control and bad bytes are escaped";
}

// dump --follow on a file that a CFlvWriter in another thread is still
// writing: every tag is printed as soon as it is in the file (the writer
// waits for each line before it writes the next tag), a half-written tag is
// not, and SIGTERM ends the tool with status 0.
TEST_F(FlvtoolTest, DumpFollowPrintsTagsAsTheyArriveAndStopsOnSigterm) {
    const std::string path = m_dir.File("growing.flv");
    std::atomic<int> linesSeen{0};
    std::atomic<bool> failed{false};
    constexpr int kTags = 12;
    CFlvWriter writer;
    ASSERT_EQ(writer.Init(path, 0, 0, 1), 0);
    unsigned long pos = 0, len = 0;
    writer.CreateMetaData(0, 320, 240, 0, 0, 7, 0, 0.0, 0, 1, pos, len, 1);
    // A first picture large enough to pass the reader's 16 KiB minimum.
    std::string big(20000, '\x42');
    big[0] = 0x17;
    big[1] = 0x01;
    big[2] = big[3] = big[4] = 0;
    ASSERT_EQ(writer.WriteVideo(0, *std::make_unique<CDataPackage>(big.size(), big.data(), 0, big.size())), 0);
    writer.Flush();

    CChildProcess tool;
    ASSERT_TRUE(tool.Start({FlvTool(), "dump", path, "--follow"}));
    std::thread producer([&] {
        for (int i = 1; i <= kTags && !failed; ++i) {
            // Wait until the tool has printed the tag before (metadata, big picture, ...).
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (linesSeen < i + 1 && !failed) {
                if (std::chrono::steady_clock::now() > deadline) {
                    failed = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const unsigned char body[] = {0x27, 0x01, 0, 0, 0, 0, 0, 0, 1, static_cast<unsigned char>(i)};
            CDataPackage pkg(sizeof body, body, CDataPackage::FLAG_NONE, sizeof body);
            writer.WriteVideo(static_cast<unsigned>(i * 66), pkg);
            writer.Flush();
        }
    });
    std::string line;
    std::vector<std::string> tagLines;
    while (static_cast<int>(tagLines.size()) < kTags + 2 && tool.ReadLine(line, 10000)) {
        if (line.empty() || line[0] == '#') continue;
        tagLines.push_back(line);
        ++linesSeen;
    }
    producer.join();
    ASSERT_FALSE(failed) << "the tool did not print a tag that was in the file";
    ASSERT_EQ(tagLines.size(), static_cast<std::size_t>(kTags + 2));
    EXPECT_NE(tagLines[0].find(" script "), std::string::npos);
    EXPECT_NE(tagLines[0].find("onMetaData"), std::string::npos);
    EXPECT_NE(tagLines[1].find("key AVC nalu cts=0"), std::string::npos);
    std::istringstream last(tagLines.back());
    std::uint64_t offset = 0;
    std::string type;
    unsigned size = 0, ts = 0;
    last >> offset >> type >> size >> ts;
    EXPECT_EQ(type, "video");
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(ts, kTags * 66u);

    // Half a tag: nothing; the rest of it: its line.
    writer.Finished();
    const std::string file = ReadFile(path);
    std::string tag = file.substr(offset, 25);
    tag[7] = 0;  // time stamp extension stays 0
    tag[6] = static_cast<char>(0xFF);
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out.write(tag.data(), 12);
    }
    EXPECT_FALSE(tool.ReadLine(line, 400)) << "printed a half-written tag: " << line;
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out.write(tag.data() + 12, static_cast<std::streamsize>(tag.size() - 12));
    }
    ASSERT_TRUE(tool.ReadLine(line, 5000));
    EXPECT_NE(line.find(std::to_string(file.size()) + " video"), std::string::npos) << line;

    tool.Signal(SIGTERM);
    const ProcessResult end = tool.Wait();
    EXPECT_EQ(end.nSignal, 0);
    EXPECT_EQ(end.nExitCode, 0) << end.strErr;
    EXPECT_EQ(end.strOut, "");
}
