// flvtool repair: recordings whose writer never finished them, cut in a tag
// header, a body, a back-pointer, between tags or left with zeros by a power
// cut; damage that no crash makes; a recording still being written; a file
// that is sound already.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "flvio/recordingmarker.h"
#include "validationsupport.h"

using namespace validation;

namespace {

class FlvRepairTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("ffmpeg") || !HaveProgram("flvmeta")) GTEST_SKIP() << "ffmpeg or flvmeta missing";
        const std::string av = Media("av.flv");
        ASSERT_FALSE(av.empty());
        std::string failure;
        const std::vector<TagRecord> source = ReadTags(av);
        WriteLikeEngine(m_dir.File("finished.flv"), source, 0, source.size(), 0, 320, 240, &failure);
        ASSERT_EQ(failure, "");
        m_tags = ReadTags(m_dir.File("finished.flv"));
        ASSERT_GT(m_tags.size(), 20u);
        std::uint32_t last = 0;
        for (const TagRecord& t : m_tags) last = std::max(last, t.dwTimeStamp);
        // The engine finishes a file with the duration in whole seconds,
        // rounded; the writer killed before that leaves 0.
        m_strFinished = WithDuration(ReadFile(m_dir.File("finished.flv")), std::round(last / 1000.0));
        WriteFile(m_dir.File("finished.flv"), m_strFinished);
        m_strUnfinished = WithDuration(m_strFinished, 0);
    }

    static std::string WithDuration(std::string bytes, double seconds) {
        const std::size_t key = bytes.find("duration");
        EXPECT_NE(key, std::string::npos);
        if (key == std::string::npos) return bytes;
        std::uint64_t bits = 0;
        std::memcpy(&bits, &seconds, sizeof bits);
        for (int i = 7; i >= 0; --i, bits >>= 8) bytes[key + 9 + i] = static_cast<char>(bits & 0xFF);
        return bytes;
    }

    // The end of a tag (header, body and back-pointer) in the file.
    static std::uint64_t EndOf(const TagRecord& t) { return t.nOffset + 11 + t.dwSize + 4; }

    // Repairs the file at path as a recording whose writer is gone (its
    // marker names no running process): the duration becomes `seconds`, and
    // ffprobe, ffmpeg and flvmeta find the file sound.
    static void RepairAndExpectDuration(const std::string& path, double seconds) {
        WriteFile(CRecordingMarker::PathFor(path), "pid=999999999\n");
        const ProcessResult r = RunProgram({FlvTool(), "repair", path});
        ASSERT_EQ(r.nExitCode, 0) << r.strOut << r.strErr;
        EXPECT_NE(r.strOut.find("repaired"), std::string::npos) << r.strOut;
        EXPECT_FALSE(CRecordingMarker::Exists(path));
        double duration = -1;
        ASSERT_TRUE(MetaDataNumber(path, "duration", duration));
        EXPECT_DOUBLE_EQ(duration, seconds);
        EXPECT_NEAR(std::atof(ProbeFormat(path)["format.duration"].c_str()), seconds, 0.1);
        EXPECT_EQ(FfmpegDecodeErrors(path), "");
        EXPECT_EQ(FlvmetaErrors(path), "");
    }

    // Repairs `bytes` as a file; checks the outcome against the tags that
    // end at or before `goodEnd`.
    void ExpectRepaired(const std::string& what, const std::string& bytes, std::uint64_t goodEnd) {
        SCOPED_TRACE(what);
        const std::string path = m_dir.File("cut.flv");
        WriteFile(path, bytes);
        std::uint32_t last = 0;
        for (const TagRecord& t : m_tags)
            if (EndOf(t) <= goodEnd && t.type != TAG_TYPE_SCRIPT) last = std::max(last, t.dwTimeStamp);
        RepairAndExpectDuration(path, last / 1000.0);
        if (HasFatalFailure()) return;
        EXPECT_EQ(std::filesystem::file_size(path), goodEnd);
        const ProcessResult check = RunProgram({"flvmeta", "--check", path});
        EXPECT_EQ(check.strOut.find("duration"), std::string::npos) << check.strOut;
        // A second repair finds nothing to do and changes nothing.
        const std::string repaired = ReadFile(path);
        const ProcessResult again = RunProgram({FlvTool(), "repair", path});
        EXPECT_EQ(again.nExitCode, 0);
        EXPECT_NE(again.strOut.find("needs no repair"), std::string::npos) << again.strOut;
        EXPECT_EQ(ReadFile(path), repaired);
    }

    CScratchDir m_dir;
    std::string m_strFinished;
    std::string m_strUnfinished;
    std::vector<TagRecord> m_tags;
};

}  // namespace

TEST_F(FlvRepairTest, TornEndsAreCutAtTheLastCompleteTag) {
    const TagRecord& last = m_tags.back();
    const TagRecord& before = m_tags[m_tags.size() - 2];
    const std::string& u = m_strUnfinished;
    ExpectRepaired("killed between tags", u, u.size());
    ExpectRepaired("cut in a tag header", u.substr(0, last.nOffset + 5), last.nOffset);
    ExpectRepaired("cut in a body", u.substr(0, last.nOffset + 11 + last.dwSize / 2), last.nOffset);
    ExpectRepaired("cut in a back-pointer", u.substr(0, last.nOffset + 11 + last.dwSize + 2), last.nOffset);
    ExpectRepaired("cut right after a body", u.substr(0, last.nOffset + 11 + last.dwSize), last.nOffset);
    ExpectRepaired("zeros behind the end (power cut)", u + std::string(6000, '\0'), u.size());
    std::string zeroed = u;
    std::memset(&zeroed[before.nOffset + 11 + before.dwSize / 2], 0, u.size() - (before.nOffset + 11 + before.dwSize / 2));
    ExpectRepaired("the last tags' bytes zeros (power cut)", zeroed, before.nOffset);
}

// A recording killed while its sound ran late: the muxer wrote the late
// sound behind the pictures with its own time stamps, so the last tag in the
// file is older than the time line's end. The duration is that end.
TEST_F(FlvRepairTest, TheDurationIsTheTimeLinesEndWhenTheLastTagIsOlder) {
    std::uint32_t last = 0;
    for (const TagRecord& t : m_tags)
        if (t.type == TAG_TYPE_VIDEO) last = std::max(last, t.dwTimeStamp);
    ASSERT_GT(last, 2500u);
    // The sound of [last - 2.5 s, last - 1.5 s) came after all the pictures;
    // the rest had not come when the kill came.
    std::vector<TagRecord> reordered;
    std::vector<TagRecord> late;
    for (const TagRecord& t : m_tags) {
        const bool sound = t.type == TAG_TYPE_AUDIO && t.bFrame;
        if (sound && t.dwTimeStamp + 1500 >= last) continue;
        (sound && t.dwTimeStamp + 2500 >= last ? late : reordered).push_back(t);
    }
    ASSERT_FALSE(late.empty());
    reordered.insert(reordered.end(), late.begin(), late.end());
    const std::string path = m_dir.File("late.flv");
    std::string failure;
    WriteLikeEngine(path, reordered, 0, reordered.size(), 0, 320, 240, &failure);
    ASSERT_EQ(failure, "");
    ASSERT_LT(ReadTags(path).back().dwTimeStamp + 1000, last);
    // Killed before the finish: the duration is still 0.
    WriteFile(path, WithDuration(ReadFile(path), 0));
    RepairAndExpectDuration(path, last / 1000.0);
}

TEST_F(FlvRepairTest, DamageAFileDoesNotGetFromACrashLeavesItAlone) {
    const std::string path = m_dir.File("damaged.flv");
    const TagRecord& t = m_tags[m_tags.size() / 2];
    std::string damaged = m_strUnfinished;
    damaged[EndOf(t) - 1] ^= 0x5A;  // a wrong back-pointer with tags behind it
    std::string notFlv = damaged;
    notFlv[0] = 'X';
    for (const std::string& bytes : {damaged, notFlv, damaged.substr(0, 7)}) {
        WriteFile(path, bytes);
        const ProcessResult r = RunProgram({FlvTool(), "repair", path});
        EXPECT_EQ(r.nExitCode, 1) << r.strOut;
        EXPECT_NE(r.strErr.find("left as it was"), std::string::npos) << r.strErr;
        EXPECT_EQ(ReadFile(path), bytes);
    }
    EXPECT_EQ(RunProgram({FlvTool(), "repair", m_dir.File("missing.flv")}).nExitCode, 1);
    EXPECT_EQ(RunProgram({FlvTool(), "repair"}).nExitCode, 2);
    EXPECT_EQ(RunProgram({FlvTool(), "repair", path, path}).nExitCode, 2);
}

TEST_F(FlvRepairTest, ARecordingStillWrittenOrFinishedIsNotChanged) {
    const std::string path = m_dir.File("busy.flv");
    WriteFile(path, m_strUnfinished.substr(0, m_strUnfinished.size() - 3));
    // The marker names a process that runs: this one.
    ASSERT_TRUE(CRecordingMarker::Create(path));
    EXPECT_TRUE(CRecordingMarker::WriterRuns(path));
    EXPECT_TRUE(CRecordingMarker::FindUnfinished(m_dir.Path()).empty());
    const ProcessResult busy = RunProgram({FlvTool(), "repair", path});
    EXPECT_EQ(busy.nExitCode, 1);
    EXPECT_NE(busy.strErr.find("still being recorded"), std::string::npos) << busy.strErr;
    EXPECT_EQ(ReadFile(path), m_strUnfinished.substr(0, m_strUnfinished.size() - 3));
    EXPECT_TRUE(CRecordingMarker::Exists(path));
    // Once its writer is gone the folder lists it.
    WriteFile(CRecordingMarker::PathFor(path), "pid=999999999\n");
    EXPECT_EQ(CRecordingMarker::FindUnfinished(m_dir.Path()), std::vector<std::string>{path});
    EXPECT_TRUE(CRecordingMarker::Remove(path));
    EXPECT_TRUE(CRecordingMarker::FindUnfinished(m_dir.Path()).empty());

    const std::string finished = m_dir.File("finished.flv");
    const ProcessResult r = RunProgram({FlvTool(), "repair", finished});
    EXPECT_EQ(r.nExitCode, 0);
    EXPECT_NE(r.strOut.find("needs no repair"), std::string::npos) << r.strOut;
    EXPECT_EQ(ReadFile(finished), m_strFinished);
}
