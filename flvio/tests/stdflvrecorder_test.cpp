#include "flvio/stdflvrecorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "../../basekit/tests/logcapture.h"
#include "recordertestsupport.h"

namespace {

using namespace recordertest;

class CSession {
public:
    int Start(unsigned long segmentMinutes = 0) {
        return m_rec.Start("Weekly <sync> & \"review\"", "c&1", m_dir.File("rec/record.xml"), 320, 240, m_audio, 0,
                           segmentMinutes, 0);
    }
    int Audio(unsigned long ts, std::size_t payload = 100) {
        return m_rec.RecordRawMP3(ts, *Package(AdtsFrame(payload)), 0);
    }
    int Video(unsigned long ts, AVCPackageType type, std::size_t size = 300) {
        return m_rec.RecordRawAVC(ts, *Package(std::string(size, type == AVC_PACKAGE_KEY ? 'K' : 'i')), type);
    }
    int Config() { return m_rec.RecordRawAVC(0, *Package(AvcConfig()), AVC_PACKAGE_CONFIG); }
    int Event(unsigned char type, const std::string& bytes, CDataInfo info = {}) {
        info.type = type;
        return m_rec.RecordRawData(0, *Package(bytes), &info);
    }
    std::string Index() const { return ReadAll(m_rec.GetIndexFile()); }
    std::string File(const std::string& name) const { return m_rec.GetRecordPath() + name; }
    std::vector<Tag> MediaTags() const { return ReadTags(File(m_rec.GetMediaFiles().at(0))); }

    CScratch m_dir;
    CSTDFLVRecorder m_rec;
    AudioPriority m_audio;
};

std::vector<std::uint32_t> FrameTimes(const std::vector<Tag>& tags, TagType type) {
    std::vector<std::uint32_t> times;
    for (const Tag& t : tags) {
        const bool config = t.body.size() > 1 && t.body[1] == 0;
        if (t.type == type && !config) times.push_back(t.ts);
    }
    return times;
}

TEST(STDFLVRecorder, TimeLineFoldsLongGapsKeepsOrderAndRefusesWhatItCannotPlace) {
    CSession s;
    CLogCapture log;
    ASSERT_EQ(s.Start(), 0);
    EXPECT_EQ(s.Video(1000, AVC_PACKAGE_KEY), 10015) << "a key frame without configuration";
    ASSERT_EQ(s.Config(), 0);
    EXPECT_EQ(s.Video(1000, AVC_PACKAGE_INTER), 10015) << "video before the first key frame";
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawAVC, still not get the key"));
    // Audio before video starts the time line.
    ASSERT_EQ(s.Audio(1000), 0);
    ASSERT_EQ(s.Audio(1023), 0);
    ASSERT_EQ(s.Video(1040, AVC_PACKAGE_KEY), 0);
    ASSERT_EQ(s.Video(1100, AVC_PACKAGE_INTER), 0);
    // Stamps that go back: video keeps the last media time, audio too.
    ASSERT_EQ(s.Video(1050, AVC_PACKAGE_INTER), 0);
    ASSERT_EQ(s.Audio(1010), 0);
    // A jump of 10 s with 2 s also gone on the tick clock is folded away.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    ASSERT_EQ(s.Video(11100, AVC_PACKAGE_INTER), 0);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordRawAVC,av timestamp too long, dwAVDiff=10000"));
    ASSERT_EQ(s.Video(11166, AVC_PACKAGE_INTER), 0);
    // A jump without the tick clock's 2 s is kept.
    ASSERT_EQ(s.Video(21166, AVC_PACKAGE_INTER), 0);
    // Media while paused is refused with the assertion line.
    ASSERT_EQ(s.m_rec.Pause(0, 21200), 0);
    EXPECT_EQ(s.Audio(21210), 10015);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: m_dwPauseTimeStamp == 0"));
    ASSERT_EQ(s.m_rec.Pause(1, 24200), 0);
    ASSERT_EQ(s.Video(24233, AVC_PACKAGE_KEY), 0);
    ASSERT_EQ(s.m_rec.Stop(), 0);

    const std::vector<Tag> tags = s.MediaTags();
    EXPECT_EQ(FrameTimes(tags, TAG_TYPE_VIDEO), (std::vector<std::uint32_t>{40, 100, 100, 100, 166, 10166, 10233}));
    EXPECT_EQ(FrameTimes(tags, TAG_TYPE_AUDIO), (std::vector<std::uint32_t>{0, 23, 100}));
    const std::string index = s.Index();
    EXPECT_NE(index.find("<module name=\"recordpause\"><pause begin=\""), std::string::npos);
    EXPECT_NE(index.find("<videokey timestamp=\"0.040\" filepos = \""), std::string::npos);
    EXPECT_NE(index.find("isconfig=\"1\"/>"), std::string::npos);
}

TEST(STDFLVRecorder, AudioIsCheckedAndGetsItsConfigurationFirst) {
    CSession s;
    CLogCapture log;
    ASSERT_EQ(s.Start(), 0);
    EXPECT_EQ(s.m_rec.RecordRawMP3(0, *Package(""), 0), 10001);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: data.GetPackageLength() > 7"));
    EXPECT_EQ(s.m_rec.RecordRawMP3(0, *Package(AdtsFrame(0)), 0), 10001);
    EXPECT_EQ(s.m_rec.RecordRawMP3(0, *Package("not an adts frame"), 0), 10001);
    std::string sevenChannels = AdtsFrame(20);
    sevenChannels[2] = static_cast<char>(sevenChannels[2] | 0x01);  // channel configuration 7 (and more)
    sevenChannels[3] = static_cast<char>(sevenChannels[3] | 0xC0);
    EXPECT_EQ(s.m_rec.RecordRawMP3(0, *Package(sevenChannels), 0), 10001);
    ASSERT_EQ(s.Audio(500, 8), 0);
    ASSERT_EQ(s.m_rec.Stop(), 0);
    const std::vector<Tag> tags = s.MediaTags();
    ASSERT_EQ(tags.size(), 3u);  // onMetaData, configuration, frame
    EXPECT_EQ(tags[1].body, std::string("\xAF\x00\x12\x10", 4));
    EXPECT_EQ(tags[2].body, std::string("\xAF\x01", 2) + std::string(8, 'a'));
    EXPECT_EQ(tags[2].ts, 0u);
}

TEST(STDFLVRecorder, EventTextIsEscapedOrRefusedSoThatTheIndexStaysWellFormed) {
    CSession s;
    CLogCapture log;
    ASSERT_EQ(s.Start(), 0);
    ASSERT_EQ(s.Config(), 0);
    ASSERT_EQ(s.Video(0, AVC_PACKAGE_KEY), 0);
    // Actions before any page are not recorded.
    EXPECT_EQ(s.Event(RECORD_DATA_ACTION, "<action type=\"next\" timestamp=\"1\"/>"), 0);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordAction, no page"));
    CDataInfo page;
    page.id = 3;
    page.name = "p<1>";
    EXPECT_EQ(s.Event(RECORD_DATA_PAGE, "", page), 10015) << "a page before any document";
    CDataInfo doc;
    doc.id = 9;
    doc.name = "Plan \"A\" & <B>";
    ASSERT_EQ(s.Event(RECORD_DATA_DOCUMENT, "", doc), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_PAGE, "SWF", page), 0);
    ASSERT_EQ(s.Video(2000, AVC_PACKAGE_INTER), 0);

    EXPECT_EQ(s.Event(RECORD_DATA_VOTE, "<vote id=\"1\"><q>no time</q></vote>"), 10008);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "CSTDFLVRecorder::RecordVote, wrong xml, strAnnoXML="));
    EXPECT_EQ(s.Event(RECORD_DATA_SURVEY, "<survey timestamp=\"1\"><a>open</survey>"), 10008);
    EXPECT_EQ(s.Event(RECORD_DATA_VOTE, "\x01\xFF garbage & <<< timestamp=\"x\" >"), 10008);
    EXPECT_EQ(s.Event(RECORD_DATA_ANNOTATION, "<command type=\"3\" id=\"1\"></command>"), 10008);
    EXPECT_EQ(s.Event(RECORD_DATA_ACTION, "<action type=\"x\">"), 10008);
    ASSERT_EQ(s.Event(RECORD_DATA_VOTE, "<vote id=\"7\" timestamp=\"999\"><q>yes</q></vote>"), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_SURVEY, "<survey id=\"8\" timestamp=\"999\"/>"), 0);
    // The action already naming its page keeps it; only the time is set.
    ASSERT_EQ(s.Event(RECORD_DATA_ACTION, "<action pageid=\"4\" timestamp=\"1\" step=\"2\"/>"), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_ACTION, "<action step=\"3\"/>"), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_CHAT, "a < b & \"c\""), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_CHAT, "<b>bold</b>"), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_LIVETEXT, "<ems lang=\"e&quot;n\"><![CDATA[x ]]]]><![CDATA[> y]]></ems>"), 0);
    ASSERT_EQ(s.Event(RECORD_DATA_BROWSER_URL, "http://h/?q=]]>&x=<y>"), 0);
    CDataInfo lottery;
    lottery.id = 2;
    lottery.name = "w\"in";
    ASSERT_EQ(s.Event(RECORD_DATA_LOTTERY, "", lottery), 0);
    ASSERT_EQ(s.m_rec.Stop(), 0);

    const std::string index = s.Index();
    EXPECT_NE(index.find("<conf name =\"Weekly &lt;sync&gt; &amp; &quot;review&quot;\" id=\"c&amp;1\""), std::string::npos);
    EXPECT_NE(index.find("<document name =\"Plan &quot;A&quot; &amp; &lt;B&gt;\" id = \"9\" type= \"0\" timestamp = \"0.000\">"
                         "<page id = \"3\" title=\"p&lt;1&gt;\"   content =\"9_3.swf\" height = \"0\" width = \"0\" "
                         "starttimestamp =\"0.000\" speedup=\"false\" step=\"0\"  stoptimestamp=\"2.000\" />"
                         "</document></module>"),
              std::string::npos)
        << index;
    EXPECT_NE(index.find("<module name=\"vote\"><vote id=\"7\"  timestamp=\"2.000 \"><q>yes</q></vote></module>"),
              std::string::npos);
    EXPECT_NE(index.find("<module name=\"survey\"><survey id=\"8\"  timestamp=\"2.000\"/></module>"), std::string::npos);
    EXPECT_NE(index.find("<module name=\"document action\"><docpage docid=\"9\" pageid=\"3\">"
                         "<action pageid=\"4\"  timestamp=\"2.000\" documentid=\"9\" step=\"2\"/>"
                         "<action step=\"3\" timestamp=\"2.000\" documentid=\"9\" pageid=\"3\"/></docpage></module>"),
              std::string::npos)
        << index;
    EXPECT_NE(index.find("<lottery cmd=\"2\" timestamp =\"2.000\" info=\"w&quot;in\" />"), std::string::npos);
    EXPECT_NE(index.find("<url timestamp=\"2.000\"><![CDATA[http://h/?q=]]]]><![CDATA[>&x=<y>]]></url>"), std::string::npos);
    EXPECT_NE(index.find(" chatfile=\"chat.xml\""), std::string::npos);
    EXPECT_EQ(ReadAll(s.File("chat.xml")),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><module name=\"chat\"><chat timestamp=\"2.000\">a &lt; b &amp; "
              "&quot;c&quot;</chat><chat timestamp=\"2.000\"><b>bold</b></chat></module>");
    EXPECT_NE(ReadAll(s.File("livetext.xml")).find("<LiveTextItem timestamp=\"2000\" lang=\"e&quot;n\"><![CDATA[x ]]]]>"),
              std::string::npos);
    EXPECT_EQ(ReadAll(s.File("9_3.swf")), "SWF");
}

TEST(STDFLVRecorder, AnnotationsThinFreePenStrokesAndFollowThePage) {
    CSession s;
    ASSERT_EQ(s.Start(), 0);
    ASSERT_EQ(s.Config(), 0);
    ASSERT_EQ(s.Video(0, AVC_PACKAGE_KEY), 0);
    CDataInfo doc;
    doc.id = 1;
    ASSERT_EQ(s.Event(RECORD_DATA_DOCUMENT, "", doc), 0);
    CDataInfo page;
    page.id = 2;
    page.name = "T";
    ASSERT_EQ(s.Event(RECORD_DATA_PAGE, "", page), 0);
    // Two thinned commands 0 ms apart: the second is dropped. Annotations come
    // at least 500 ms after the page.
    ASSERT_EQ(s.Event(RECORD_DATA_ANNOTATION, "<command type=\"1\" timestamp=\"0\"><m/></command>"
                                              "<command type=\"1\" timestamp=\"0\"><m/></command>"),
              0);
    const std::string pen = "<command type=\"2\" flag=\"%s\" timestamp=\"5\"><p>%s</p></command>";
    char buf[256];
    std::snprintf(buf, sizeof buf, pen.c_str(), "begin", "1,1");
    ASSERT_EQ(s.Event(RECORD_DATA_ANNOTATION, buf), 0);
    std::snprintf(buf, sizeof buf, pen.c_str(), "move", "2,2");
    ASSERT_EQ(s.Event(RECORD_DATA_ANNOTATION, buf), 0);
    std::snprintf(buf, sizeof buf, pen.c_str(), "end", "3,3");
    ASSERT_EQ(s.Event(RECORD_DATA_ANNOTATION, buf), 0);
    ASSERT_EQ(s.m_rec.Stop(), 0);
    const std::string anno = ReadAll(s.File("anno.xml"));
    EXPECT_EQ(anno,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><module name=\"annotation\">"
              "<command type=\"1\"  timestamp=\"0.500\" documentid=\"1\" pageid=\"2\" ><m/></command>"
              "<command type=\"2\"   timestamp=\"0.500\" documentid=\"1\" pageid=\"2\" ><p>1,1</p><p>2,2</p><p>3,3</p>"
              "</command></module>");
    EXPECT_NE(s.Index().find(" annofile=\"anno.xml\""), std::string::npos);
}

TEST(STDFLVRecorder, SegmentsGetGeneratedNamesAndClearAVGoesBackToTheMarkedSegment) {
    CSession s;
    ASSERT_EQ(s.Start(1), 0);
    ASSERT_EQ(s.Config(), 0);
    CDataInfo doc;
    doc.id = 1;
    bool marked = false;
    for (unsigned long t = 0; t <= 150000; t += 500) {
        ASSERT_EQ(s.Audio(t), 0);
        if (t % 2000 == 0) {
            ASSERT_EQ(s.Video(t, AVC_PACKAGE_KEY), 0);
        }
        if (t == 70000 && !marked) {
            marked = true;
            ASSERT_EQ(s.Event(RECORD_DATA_DOCUMENT, "", doc), 0);
            CDataInfo page;
            page.id = 5;
            ASSERT_EQ(s.Event(RECORD_DATA_PAGE, "", page), 0);
        }
    }
    std::vector<std::string> names = s.m_rec.GetMediaFiles();
    ASSERT_EQ(names.size(), 3u);
    for (const std::string& name : names) {
        EXPECT_TRUE(std::regex_match(name, std::regex("[g-p]{10}.*\\.qrf"))) << name;
        EXPECT_TRUE(std::filesystem::exists(s.File(name)));
    }
    EXPECT_NE(names[0], names[1]);
    ASSERT_EQ(s.m_rec.ClearAV(1, 2, 0), 10015);
    ASSERT_EQ(s.m_rec.ClearAV(0xFFFFFFFF, 0xFFFFFFFF, 151000), 0);
    EXPECT_FALSE(std::filesystem::exists(s.File(names[2])));
    EXPECT_EQ(s.m_rec.GetMediaFiles().size(), 2u);
    // Recording goes on in the second segment, right behind its onMetaData.
    ASSERT_EQ(s.Video(152000, AVC_PACKAGE_KEY), 0);
    ASSERT_EQ(s.Audio(152010), 0);
    ASSERT_EQ(s.m_rec.Stop(), 0);
    const std::vector<Tag> tags = ReadTags(s.File(names[1]));
    ASSERT_EQ(tags.size(), 5u);  // onMetaData, AVC configuration, key frame, AAC configuration, audio
    EXPECT_EQ(tags[1].body.substr(0, 2), std::string("\x17\x00", 2));
    EXPECT_EQ(tags[2].body.substr(0, 2), std::string("\x17\x01", 2));
    EXPECT_EQ(tags[3].body, std::string("\xAF\x00\x12\x10", 4));
    const std::string index = s.Index();
    EXPECT_EQ(Count(index, "<multirecord "), 2u);
    EXPECT_NE(index.find("multimedia=\"" + names[1] + "\""), std::string::npos);
    EXPECT_NE(index.find(" ver=\"2\" "), std::string::npos);
}

TEST(STDFLVRecorder, StartChecksItsArguments) {
    CSession s;
    EXPECT_EQ(s.m_rec.Start("", "", "", 0, 0, s.m_audio, 0, 0, 0), 10008);
    EXPECT_EQ(s.m_rec.Start("", "", "/dev/null/sub/record.xml", 0, 0, s.m_audio, 0, 0, 0), 10001);
    ASSERT_EQ(s.Start(), 0);
    EXPECT_EQ(s.Start(), 10015);
    ASSERT_EQ(s.m_rec.Stop(), 0);
    EXPECT_EQ(s.m_rec.Stop(), 0);
    const std::string name = CSTDFLVRecorder::CreateRecordFilename(42, 86400 * 365, "talk", 5);
    EXPECT_TRUE(std::regex_match(name, std::regex("42/sbr/1971_01_01/talk_[0-9]+/record.xml"))) << name;
    // A media name: the index is the name with "xml" in place of its last three characters.
    CSTDFLVRecorder rec;
    ASSERT_EQ(rec.Start("", "", s.m_dir.File("m/talk.flv"), 0, 0, s.m_audio, 0, 0, 0), 0);
    EXPECT_EQ(rec.GetIndexFile(), s.m_dir.File("m/talk.xml"));
}

}  // namespace
