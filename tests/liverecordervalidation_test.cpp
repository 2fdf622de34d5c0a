// CFLVRecorder through `flvtool live`, checked with tools no one here wrote:
// the folder read while the paced feed runs (index well-formed, every listed
// file there, old files deleted), every listed file through flvmeta and
// ffmpeg, starting with a key frame, and ffmpeg's concat over the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../flvio/tests/recordertestsupport.h"
#include "validationsupport.h"

namespace {

using namespace validation;

using Listed = recordertest::Entry;

std::vector<Listed> ParseIndex(const std::string& index) {
    const std::vector<Listed> entries = recordertest::IndexEntries(index);
    for (const Listed& e : entries) {
        EXPECT_TRUE(e.status == "normal" || e.status == "pause" || e.status == "stop") << e.status;
    }
    return entries;
}

std::size_t FlvFilesIn(const std::string& folder) {
    std::size_t n = 0;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(folder, ec)) n += f.path().extension() == ".flv";
    return n;
}

class LiveRecorder : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"ffmpeg", "ffprobe", "flvmeta", "xmllint"})
            if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is missing";
    }
};

TEST_F(LiveRecorder, PacedFeedKeepsAMovingWindowOfCompleteFiles) {
    const std::string media = Media("live.flv");
    ASSERT_FALSE(media.empty());
    CScratchDir dir;
    const std::string folder = dir.File("live/");
    CChildProcess live;
    ASSERT_TRUE(live.Start({FlvTool(), "live", media, folder, "--window", "2", "--margin", "3", "--pace"}));
    std::vector<std::string> finished;
    std::size_t mostOnDisk = 0;
    std::string line;
    // The last file is printed when the feed ends; a dead child ends the
    // loop at the deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (finished.size() < 8 && std::chrono::steady_clock::now() < deadline) {
        if (live.ReadLine(line, 100)) finished.push_back(line);
        for (const Listed& f : ParseIndex(ReadFile(folder + "record.xml")))
            EXPECT_TRUE(std::filesystem::exists(folder + f.name)) << f.name << " listed but missing";
        mostOnDisk = std::max(mostOnDisk, FlvFilesIn(folder));
    }
    const ProcessResult result = live.Wait();
    ASSERT_EQ(result.nExitCode, 0) << result.strErr;
    for (std::size_t from = 0; from < result.strOut.size();) {
        const std::size_t nl = result.strOut.find('\n', from);
        if (nl == std::string::npos) break;
        finished.push_back(result.strOut.substr(from, nl - from));
        from = nl + 1;
    }
    // 16 s in files of 2 s; the window (2 s) and the margin (3 s) keep about
    // 4 files on the disk at any time, and the oldest ones are gone.
    EXPECT_EQ(finished.size(), 8u);
    EXPECT_LE(mostOnDisk, 6u);
    EXPECT_LT(FlvFilesIn(folder), finished.size());

    ASSERT_EQ(RunProgram({"xmllint", "--noout", folder + "record.xml"}).nExitCode, 0);
    const std::vector<Listed> listed = ParseIndex(ReadFile(folder + "record.xml"));
    ASSERT_GE(listed.size(), 2u);
    std::string concat;
    for (const Listed& f : listed) {
        const std::string path = folder + f.name;
        EXPECT_EQ(FlvmetaErrors(path), "") << f.name;
        EXPECT_EQ(FfmpegDecodeErrors(path), "") << f.name;
        const std::vector<TagRecord> tags = ReadTags(path);
        const auto picture = std::find_if(tags.begin(), tags.end(), [](const TagRecord& t) {
            return t.type == TAG_TYPE_VIDEO && t.bFrame;
        });
        ASSERT_NE(picture, tags.end());
        EXPECT_TRUE(picture->bKey) << f.name;
        if (&f != &listed.back()) {
            EXPECT_NEAR(f.duration, 2000.0, 70.0) << f.name;  // a GOP, on the 15 fps grid
        }
        concat += "file '" + path + "'\n";
    }
    WriteFile(dir.File("list.txt"), concat);
    const ProcessResult probe = RunProgram({"ffprobe", "-v", "error", "-f", "concat", "-safe", "0", "-i",
                                            dir.File("list.txt"), "-show_entries", "packet=stream_index,dts",
                                            "-of", "csv=p=0"});
    ASSERT_EQ(probe.nExitCode, 0) << probe.strErr;
    std::map<int, long long> last;
    std::size_t packets = 0;
    const std::regex row("([0-9]+),(-?[0-9]+)");
    for (auto it = std::sregex_iterator(probe.strOut.begin(), probe.strOut.end(), row); it != std::sregex_iterator(); ++it) {
        const int stream = std::stoi((*it)[1]);
        const long long dts = std::stoll((*it)[2]);
        if (last.count(stream)) {
            EXPECT_GE(dts, last[stream]) << "stream " << stream;
        }
        last[stream] = dts;
        ++packets;
    }
    EXPECT_GT(packets, 100u);
    const ProcessResult play = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-f", "concat", "-safe", "0", "-i",
                                           dir.File("list.txt"), "-f", "null", "-"});
    EXPECT_EQ(play.nExitCode, 0);
    EXPECT_EQ(play.strErr, "");
}

TEST_F(LiveRecorder, AudioOnlySourceIsCutEvery2800Ms) {
    const std::string media = Media("liveaudio.flv");
    ASSERT_FALSE(media.empty());
    CScratchDir dir;
    const ProcessResult r = RunProgram({FlvTool(), "live", media, dir.File("a")});
    ASSERT_EQ(r.nExitCode, 0) << r.strErr;
    const std::vector<Listed> listed = ParseIndex(ReadFile(dir.File("a/record.xml")));
    ASSERT_EQ(listed.size(), 4u);  // 10 s: 2.8 + 2.8 + 2.8 + the rest
    EXPECT_TRUE(listed[0].newStream);
    for (std::size_t i = 0; i + 1 < listed.size(); ++i) {
        EXPECT_NEAR(listed[i].duration, 2800, 30);
        EXPECT_FALSE(listed[i + 1].newStream);
        EXPECT_EQ(FfmpegDecodeErrors(dir.File("a/" + listed[i].name)), "");
        EXPECT_NE(ReadFile(dir.File("a/" + listed[i].name)).find("<video type=\"no\""), std::string::npos);
    }
}

TEST_F(LiveRecorder, BadUsageAndInput) {
    CScratchDir dir;
    EXPECT_EQ(RunProgram({FlvTool(), "live", "only-one"}).nExitCode, 2);
    EXPECT_EQ(RunProgram({FlvTool(), "live", "a", "b", "--window"}).nExitCode, 2);
    EXPECT_EQ(RunProgram({FlvTool(), "live", "a", "b", "--window", "x"}).nExitCode, 2);
    EXPECT_EQ(RunProgram({FlvTool(), "live", dir.File("missing.flv"), dir.File("o")}).nExitCode, 1);
    WriteFile(dir.File("junk.flv"), std::string(100, 'j'));
    const ProcessResult junk = RunProgram({FlvTool(), "live", dir.File("junk.flv"), dir.File("o")});
    EXPECT_EQ(junk.nExitCode, 1);
    EXPECT_NE(junk.strErr.find("flvtool: "), std::string::npos);
    const std::string media = Media("av.flv");
    ASSERT_FALSE(media.empty());
    WriteFile(dir.File("file"), "x");
    EXPECT_EQ(RunProgram({FlvTool(), "live", media, dir.File("file/sub")}).nExitCode, 1);
}

}  // namespace
