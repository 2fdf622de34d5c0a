#include "flvio/flvrecorder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "../../basekit/tests/logcapture.h"
#include "recordertestsupport.h"

namespace {

using namespace recordertest;

class CNotifyLog : public IFileNotify {
public:
    void OnFileFinished(const std::string& name, unsigned long, unsigned long, unsigned long) override {
        events.push_back("finished " + name);
    }
    void OnFileRemoved(const std::string& name) override { events.push_back("removed " + name); }
    void OnFileDeleted(const std::string& name) override { events.push_back("deleted " + name); }
    std::vector<std::string> events;
};

class CLive {
public:
    int Start(unsigned long window = 10) {
        m_rec.SetFileNotify(&m_notify);
        return m_rec.Start(m_dir.File("live/record.xml"), 320, 240, m_audio, 3000, window, "http://a/?x=1&y=2", "");
    }
    int Audio(unsigned long ts) { return m_rec.RecordRawMP3(ts, *Package(AdtsFrame(50)), 0); }
    int Video(unsigned long ts, AVCPackageType type) {
        return m_rec.RecordRawAVC(ts, *Package(std::string(200, type == AVC_PACKAGE_KEY ? 'K' : 'i')), type, 0);
    }
    int Config() { return m_rec.RecordRawAVC(0, *Package(AvcConfig()), AVC_PACKAGE_CONFIG, 0); }
    std::string Index() const { return ReadAll(m_rec.GetIndexFile()); }

    CScratch m_dir;
    CNotifyLog m_notify;
    CFLVRecorder m_rec;
    AudioPriority m_audio;
};

TEST(FLVRecorder, VideoFilesStartAtKeyFramesAndEveryListedFileIsComplete) {
    CLive live;
    ASSERT_EQ(live.Start(), 0);
    ASSERT_EQ(live.Config(), 0);
    for (unsigned long t = 0; t <= 12000; t += 100) {
        ASSERT_EQ(live.Audio(t + 5), 0);
        ASSERT_EQ(live.Video(t, t % 2000 == 0 ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER), 0);
    }
    ASSERT_EQ(live.m_rec.Stop(), 0);
    const std::string index = live.Index();
    EXPECT_EQ(index.find("<recordfiles totaltime=\"12000\" segduration=\"2800\" url=\"http://a/?x=1&amp;y=2\" >"),
              index.find('\n') + 1)
        << index;
    const std::vector<Entry> entries = IndexEntries(index);
    ASSERT_EQ(entries.size(), 7u);  // 0-2 s ... 10-12 s, and the key frame at 12 s
    EXPECT_TRUE(entries[0].newStream);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::vector<Tag> tags = ReadTags(live.m_rec.GetRecordPath() + entries[i].name);
        ASSERT_GE(tags.size(), 3u) << entries[i].name;
        EXPECT_EQ(tags[0].body.substr(0, 2), std::string("\x17\x00", 2)) << "AVC configuration first";
        EXPECT_EQ(tags[0].ts, 0u) << "every file starts at 0";
        EXPECT_EQ(tags[1].body, std::string("\xAF\x00\x12\x10", 4)) << "then the AAC configuration";
        const auto firstPicture = std::find_if(tags.begin(), tags.end(), [](const Tag& t) {
            return t.type == TAG_TYPE_VIDEO && t.body.size() > 1 && t.body[1] == 1;
        });
        ASSERT_NE(firstPicture, tags.end());
        EXPECT_EQ(firstPicture->body[0], '\x17') << "a key frame first: " << entries[i].name;
        EXPECT_NE(std::find_if(tags.begin(), tags.end(), [](const Tag& t) { return t.type == TAG_TYPE_SCRIPT; }), tags.end())
            << "the onXML tag";
        if (i + 1 < entries.size()) {
            EXPECT_EQ(entries[i].duration, 2000u);
            EXPECT_EQ(entries[i].status, "normal");
            EXPECT_FALSE(entries[i + 1].newStream);
        }
    }
    EXPECT_EQ(entries.back().status, "stop");
    EXPECT_EQ(live.m_notify.events.size(), 7u);
}

TEST(FLVRecorder, AudioOnlyAndStoppedVideoSwitchTheMarks) {
    CLive live;
    CLogCapture log;
    ASSERT_EQ(live.Start(1000), 0);
    ASSERT_EQ(live.Config(), 0);
    EXPECT_EQ(live.Video(0, AVC_PACKAGE_INTER), 10015) << "an inter frame while there is no video";
    // 10 s of audio only: files of 2.8 s.
    unsigned long t = 0;
    for (; t < 10000; t += 100) ASSERT_EQ(live.Audio(t), 0);
    // Then video and audio for 6 s, then audio only for 40 s, then video again.
    for (; t < 16000; t += 100) {
        ASSERT_EQ(live.Video(t, t % 2000 == 0 ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER), 0);
        ASSERT_EQ(live.Audio(t), 0);
    }
    for (; t < 56000; t += 100) ASSERT_EQ(live.Audio(t), 0);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "CFLVRecorder::RecordRawMP3,no video"));
    for (; t < 60000; t += 100) {
        ASSERT_EQ(live.Video(t, t % 2000 == 0 ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER), 0);
        ASSERT_EQ(live.Audio(t), 0);
    }
    ASSERT_EQ(live.m_rec.Stop(), 0);
    const std::vector<Entry> entries = IndexEntries(live.Index());
    ASSERT_GE(entries.size(), 10u);
    EXPECT_EQ(entries[0].duration, 2800u);
    EXPECT_TRUE(entries[0].newStream);
    std::vector<std::string> marked;
    for (const Entry& e : entries)
        if (e.newStream) marked.push_back(e.name);
    // The first file, the audio-only file after 30 s without pictures, the
    // file where the pictures come back.
    EXPECT_EQ(marked.size(), 3u);
    const std::string firstFile = ReadAll(live.m_rec.GetRecordPath() + entries[0].name);
    EXPECT_NE(firstFile.find("<video type=\"no\" vod=\"false\" />"), std::string::npos);
    const std::string lastFile = ReadAll(live.m_rec.GetRecordPath() + entries.back().name);
    EXPECT_NE(lastFile.find("<video type=\"video\" width=\"320\" height=\"240\" vod=\"false\" />"), std::string::npos);
}

TEST(FLVRecorder, FilesLeaveTheIndexBehindTheWindowAndAreDeletedAfterTheMargin) {
    CLive live;
    live.m_rec.SetRemovalMargin(4000);
    ASSERT_EQ(live.Start(3), 0);
    ASSERT_EQ(live.Config(), 0);
    for (unsigned long t = 0; t <= 20000; t += 100) {
        ASSERT_EQ(live.Video(t, t % 2000 == 0 ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER), 0);
        const std::vector<Entry> entries = IndexEntries(live.Index());
        for (const Entry& e : entries) EXPECT_TRUE(std::filesystem::exists(live.m_rec.GetRecordPath() + e.name));
        std::size_t onDisk = 0;
        for (const auto& f : std::filesystem::directory_iterator(live.m_rec.GetRecordPath()))
            onDisk += f.path().extension() == ".flv";
        // Window 3 s + segment 2.8 s listed, + margin 4 s on the disk, files of 2 s.
        EXPECT_LE(entries.size(), 4u);
        EXPECT_LE(onDisk, 7u);
    }
    ASSERT_EQ(live.m_rec.Stop(), 0);
    const std::vector<std::string>& ev = live.m_notify.events;
    ASSERT_GE(ev.size(), 6u);
    EXPECT_EQ(ev[0].rfind("finished ", 0), 0u);
    const std::string first = ev[0].substr(9);
    const auto removed = std::find(ev.begin(), ev.end(), "removed " + first);
    const auto deleted = std::find(ev.begin(), ev.end(), "deleted " + first);
    ASSERT_NE(removed, ev.end());
    ASSERT_NE(deleted, ev.end());
    EXPECT_LT(removed, deleted);
    EXPECT_FALSE(std::filesystem::exists(live.m_rec.GetRecordPath() + first));
}

TEST(FLVRecorder, MisuseAndBadMediaGetClearCodes) {
    CLive live;
    CLogCapture log;
    EXPECT_EQ(live.m_rec.Start("", 0, 0, live.m_audio, 1, 1, "", ""), 10008);
    EXPECT_EQ(live.Audio(0), 10001) << "before Start";
    EXPECT_EQ(live.m_rec.Start("/dev/null/x/record.xml", 0, 0, live.m_audio, 1, 1, "", ""), 10001);
    ASSERT_EQ(live.Start(), 0);
    EXPECT_EQ(live.Start(), 10015);
    EXPECT_EQ(live.Video(0, AVC_PACKAGE_KEY), 10015) << "no configuration yet";
    EXPECT_EQ(live.m_rec.SetAVCConfigure(*Package(AvcConfig()), 9), 10008);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: nStreamID < MAX_STREAM_NUM"));
    EXPECT_EQ(live.m_rec.RecordRawMP3(0, *Package(std::string(7, '\xFF')), 0), 10001);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: data.GetPackageLength() > 7"));
    EXPECT_EQ(live.m_rec.RecordRawMP3(0, *Package(""), 0), 10001);
    ASSERT_EQ(live.Audio(0), 0);
    ASSERT_EQ(live.m_rec.Pause(1), 0);
    EXPECT_EQ(live.Audio(100), 10015);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: m_dwPauseTimeStamp == 0"));
    ASSERT_EQ(live.m_rec.Pause(0), 0);
    ASSERT_EQ(live.Audio(3000), 0);
    ASSERT_EQ(live.m_rec.Stop(), 0);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "CFLVRecorder::Stop, m_dwTotalSize="));
    const std::string name = CFLVRecorder::CreateRecordFilename(1, 0, "n", 0);
    EXPECT_TRUE(std::regex_match(name, std::regex("1/sbr/1970_01_01/n_[0-9]+/record.flv"))) << name;
}

}  // namespace
