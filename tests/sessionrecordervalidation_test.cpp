// CSTDFLVRecorder checked with tools no one here wrote: scripted sessions
// over real H.264/AAC media in single-file and segment mode; every XML file
// through xmllint, the media through flvmeta, ffmpeg and ffprobe, the
// segments back through CFlvMultiReader; a disk that fills (RLIMIT_FSIZE in
// a child process).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "basekit/datapackage.h"
#include "flvio/aacutil.h"
#include "flvio/flvmultireader.h"
#include "flvio/stdflvrecorder.h"
#include "validationsupport.h"

namespace {

using namespace validation;

// One media call as an encoder makes it: the AVC configuration and frames
// (the body behind FLV's 5 bytes), AAC frames with their ADTS header.
struct FeedItem {
    bool bAudio = false;
    std::uint32_t dwTimeStamp = 0;
    AVCPackageType type = AVC_PACKAGE_INTER;
    std::string strBytes;
};

std::vector<FeedItem> MediaFeed(const std::vector<TagRecord>& tags) {
    std::vector<FeedItem> feed;
    std::string asc;
    for (const TagRecord& t : tags) {
        if (t.type == TAG_TYPE_VIDEO && t.strBody.size() > 5 && (t.bFrame || t.bSequenceHeader)) {
            feed.push_back({false, t.dwTimeStamp,
                            t.bSequenceHeader ? AVC_PACKAGE_CONFIG : t.bKey ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER,
                            t.strBody.substr(5)});
        } else if (t.type == TAG_TYPE_AUDIO && t.bSequenceHeader) {
            asc = t.strBody.substr(2);
        } else if (t.type == TAG_TYPE_AUDIO && t.bFrame && asc.size() >= 2) {
            char adts[7];
            int len = sizeof adts;
            GetAdtsFromDecInfo(adts, &len, reinterpret_cast<const unsigned char*>(asc.data()), 2,
                               static_cast<unsigned>(t.strBody.size() - 2));
            feed.push_back({true, t.dwTimeStamp, AVC_PACKAGE_INTER, std::string(adts, 7) + t.strBody.substr(2)});
        }
    }
    return feed;
}

int Feed(CSTDFLVRecorder& rec, const FeedItem& item) {
    CDataPackage data(item.strBytes.size(), item.strBytes.data(), CDataPackage::FLAG_NONE, item.strBytes.size());
    return item.bAudio ? rec.RecordRawMP3(item.dwTimeStamp, data, 0) : rec.RecordRawAVC(item.dwTimeStamp, data, item.type);
}

int Event(CSTDFLVRecorder& rec, unsigned char type, const std::string& bytes, CDataInfo info = {}) {
    info.type = type;
    CDataPackage data(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE, bytes.size());
    return rec.RecordRawData(0, data, &info);
}

std::string XmlErrors(const std::string& path) {
    const ProcessResult r = RunProgram({"xmllint", "--noout", path});
    return r.nExitCode == 0 ? std::string() : r.strOut + r.strErr;
}

std::string Sec(std::uint32_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", ms / 1000.0);
    return buf;
}

// Every picture and sound frame of a recording: (type, time stamp).
std::vector<std::pair<TagType, std::uint32_t>> Frames(const std::vector<TagRecord>& tags) {
    std::vector<std::pair<TagType, std::uint32_t>> frames;
    for (const TagRecord& t : tags)
        if (t.bFrame && t.type != TAG_TYPE_SCRIPT) frames.emplace_back(t.type, t.dwTimeStamp);
    return frames;
}

class SessionRecorder : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"ffmpeg", "ffprobe", "flvmeta", "xmllint"})
            if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is missing";
        const std::string media = Media("session.flv");
        ASSERT_FALSE(media.empty());
        m_feed = MediaFeed(ReadTags(media));
        ASSERT_GT(m_feed.size(), 3000u);
    }
    std::vector<FeedItem> m_feed;
};

TEST_F(SessionRecorder, SingleFileSessionWithEveryEventKind) {
    CScratchDir dir;
    CSTDFLVRecorder rec;
    AudioPriority audio;
    ASSERT_EQ(rec.Start("Review <Q3> & \"plans\"", "conf-7", dir.File("s/record.xml"), 160, 120, audio, 0, 0, 0), 0);
    const std::uint32_t first = m_feed.front().dwTimeStamp;
    const std::uint32_t pauseAt = 20000, pauseLen = 3000, gapAt = 30000;
    std::uint32_t lastMediaTime = 0;
    std::vector<std::pair<TagType, std::uint32_t>> expected;
    std::map<std::string, std::uint32_t> eventTimes;
    bool paused = false, resumed = false;
    std::uint32_t pausedAt = 0, pauseInterval = 0;
    std::size_t step = 0;
    for (const FeedItem& item : m_feed) {
        const std::uint32_t t = item.dwTimeStamp - first;
        if (t > 40000) break;
        if (!paused && t >= pauseAt) {
            paused = true;
            pausedAt = t;
            ASSERT_EQ(rec.Pause(0, item.dwTimeStamp), 0);
        }
        if (paused && !resumed) {
            if (t < pauseAt + pauseLen) continue;  // nothing reaches a paused recorder
            resumed = true;
            pauseInterval = t - pausedAt;
            ASSERT_EQ(rec.Pause(1, item.dwTimeStamp), 0);
        }
        if (Feed(rec, item) != 0) continue;
        const std::uint32_t mediaTime = resumed ? t - pauseInterval : t;
        if (item.type != AVC_PACKAGE_CONFIG || item.bAudio)
            expected.emplace_back(item.bAudio ? TAG_TYPE_AUDIO : TAG_TYPE_VIDEO, mediaTime);
        lastMediaTime = std::max(lastMediaTime, mediaTime);
        // One event of each kind, one after another, every second of media.
        if (mediaTime / 1000 <= step) continue;
        const std::uint32_t now = lastMediaTime;
        switch (step++) {
            case 0: {
                CDataInfo doc;
                doc.id = 7;
                doc.docType = 2;
                doc.name = "Budget \"2025\" <draft> & notes";
                ASSERT_EQ(Event(rec, RECORD_DATA_DOCUMENT, "", doc), 0);
                eventTimes["document"] = now;
                break;
            }
            case 1: {
                CDataInfo page;
                page.id = 1;
                page.name = "Intro & <overview>";
                page.thumbnail = "THUMB";
                page.pageText = "page one text";
                page.url = "http://example.com/p?a=1&b=\"2\"";
                page.width = 800;
                page.height = 600;
                page.animation = "<animation step=\"1\"/>";
                ASSERT_EQ(Event(rec, RECORD_DATA_PAGE, "SWF-PAGE-1", page), 0);
                eventTimes["page1"] = now;
                break;
            }
            case 2:
                ASSERT_EQ(Event(rec, RECORD_DATA_ANNOTATION, "<command type=\"3\" id=\"a1\" timestamp=\"0\"><rect x=\"1\"/></command>"), 0);
                break;
            case 3:
                ASSERT_EQ(Event(rec, RECORD_DATA_CHAT, "Hi <all> & \"welcome\""), 0);
                break;
            case 4:
                ASSERT_EQ(Event(rec, RECORD_DATA_VOTE, "<vote id=\"v1\" timestamp=\"1\"><q>Go?</q></vote>"), 0);
                eventTimes["vote"] = now;
                break;
            case 5:
                ASSERT_EQ(Event(rec, RECORD_DATA_SURVEY, "<survey id=\"s1\" timestamp=\"\"><q>Rate</q></survey>"), 0);
                EXPECT_EQ(Event(rec, RECORD_DATA_SURVEY, "<survey id=\"s2\"><q>no time</q></survey>"), 10008);
                break;
            case 6: {
                CDataInfo lottery;
                lottery.id = 1;
                lottery.name = "prize <1>";
                ASSERT_EQ(Event(rec, RECORD_DATA_LOTTERY, "", lottery), 0);
                eventTimes["lottery"] = now;
                break;
            }
            case 7: {
                CDataInfo layout;
                layout.id = 4;
                ASSERT_EQ(Event(rec, RECORD_DATA_LAYOUT, "", layout), 0);
                break;
            }
            case 8:
                ASSERT_EQ(Event(rec, RECORD_DATA_BROWSER_URL, "http://example.com/?q=<a>&r=]]>"), 0);
                break;
            case 9: {
                CDataInfo photo;
                photo.width = 640;
                photo.height = 480;
                ASSERT_EQ(Event(rec, RECORD_DATA_PHOTO, "\xFF\xD8 jpeg bytes", photo), 0);
                break;
            }
            case 10:
                ASSERT_EQ(Event(rec, RECORD_DATA_LIVETEXT, "<ems lang=\"zh\"><![CDATA[live <text> & more]]></ems>"), 0);
                ASSERT_EQ(Event(rec, RECORD_DATA_LIVETEXT, "plain live text"), 0);
                break;
            case 11:
                ASSERT_EQ(rec.AsStart(1280, 720, 5), 0);
                break;
            case 13:
                ASSERT_EQ(rec.AsStop(), 0);
                ASSERT_EQ(rec.SetVideoParameters(160, 120, 15), 0);
                break;
            case 14:
                ASSERT_EQ(Event(rec, RECORD_DATA_ACTION, "<action type=\"play\" timestamp=\"0\"/>"), 0);
                break;
            case 15: {
                CDataInfo page;
                page.id = 2;
                ASSERT_EQ(Event(rec, RECORD_DATA_PAGE, "SWF-PAGE-2", page), 0);
                eventTimes["page2"] = now;
                break;
            }
            case 16:
                EXPECT_EQ(Event(rec, RECORD_DATA_VOTE, "<vote><<garbage & timestamp=\"1\""), 10008);
                break;
            default:
                break;
        }
        (void)gapAt;
    }
    ASSERT_EQ(rec.Stop(), 0);

    const std::string folder = dir.File("s/");
    for (const char* xml : {"record.xml", "anno.xml", "chat.xml", "livetext.xml"})
        EXPECT_EQ(XmlErrors(folder + xml), "") << xml;
    const std::string index = ReadFile(folder + "record.xml");
    for (const std::string& part : {
             std::string("<conf name =\"Review &lt;Q3&gt; &amp; &quot;plans&quot;\" id=\"conf-7\" starttime=\""),
             std::string(" flv=\"record.flv\""), std::string(" novideo=\"false\""), std::string(" audiocodec=\"10\""),
             std::string(" livetextfile=\"livetext.xml\" annofile=\"anno.xml\" chatfile=\"chat.xml\">"),
             "<document name =\"Budget &quot;2025&quot; &lt;draft&gt; &amp; notes\" id = \"7\" type= \"2\" timestamp = \"" +
                 Sec(eventTimes["document"]) + "\">",
             "<page id = \"1\" title=\"Intro &amp; &lt;overview&gt;\"   content =\"7_1.swf\" thumb = \"thumb7_1.swf\" "
             "text = \"page7_1.txt\"  height = \"600\" width = \"800\" starttimestamp =\"" + Sec(eventTimes["document"]) + "\"",
             " url=\"http://example.com/p?a=1&amp;b=&quot;2&quot;\" stoptimestamp=\"" + Sec(eventTimes["page2"]) +
                 "\" /><page id = \"2\"  ",
             std::string("<module name=\"animationsetting\"><animation step=\"1\"/></module>"),
             "<vote id=\"v1\"  timestamp=\"" + Sec(eventTimes["vote"]) + " \"><q>Go?</q></vote>",
             "<lottery cmd=\"1\" timestamp =\"" + Sec(eventTimes["lottery"]) + "\" info=\"prize &lt;1&gt;\" />",
             std::string("<module name=\"layout\"><layout type=\"4\""), std::string("<module name=\"browser\"><url "),
             std::string("<module name=\"as\"><screen width=\"1280\" height=\"720\" fps=\"5\""),
             std::string("<videoparam timestamp=\""), std::string("<photo file=\"photo1.jpg\" width =\"640\" height=\"480\""),
             std::string("<module name=\"recordpause\"><pause begin=\""), std::string("<module name=\"videokey\"><videokey timestamp=\""),
             std::string("<module name=\"document action\"><docpage docid=\"7\" pageid=\"1\"><action type=\"play\"  timestamp=\""),
         })
        EXPECT_NE(index.find(part), std::string::npos) << part << "\n" << index;
    EXPECT_EQ(ReadFile(folder + "7_1.swf"), "SWF-PAGE-1");
    EXPECT_EQ(ReadFile(folder + "thumb7_1.swf"), "THUMB");
    EXPECT_EQ(ReadFile(folder + "page7_1.txt"), "page one text");
    EXPECT_EQ(ReadFile(folder + "photo1.jpg"), "\xFF\xD8 jpeg bytes");
    EXPECT_NE(ReadFile(folder + "livetext.xml").find("lang=\"zh\"><![CDATA[live <text> & more]]></LiveTextItem>"),
              std::string::npos);

    // Every key frame listed is where the index says.
    const std::string media = folder + "record.flv";
    const std::vector<TagRecord> tags = ReadTags(media);
    const std::regex key("<videokey timestamp=\"([0-9.]+)\" filepos = \"([0-9]+)\" isconfig=\"([01])\"/>");
    int keys = 0;
    for (auto it = std::sregex_iterator(index.begin(), index.end(), key); it != std::sregex_iterator(); ++it, ++keys) {
        const std::uint64_t pos = std::stoull((*it)[2]);
        const auto tag = std::find_if(tags.begin(), tags.end(), [&](const TagRecord& t) { return t.nOffset == pos; });
        ASSERT_NE(tag, tags.end()) << (*it)[0];
        EXPECT_TRUE(tag->bKey);
        EXPECT_EQ(Sec(tag->dwTimeStamp), (*it)[1]);
    }
    EXPECT_GE(keys, 18);

    EXPECT_EQ(FlvmetaErrors(media), "");
    EXPECT_EQ(FfmpegDecodeErrors(media), "");
    EXPECT_EQ(Frames(tags), expected);
    double duration = 0;
    ASSERT_TRUE(MetaDataNumber(media, "duration", duration));
    const double probed = std::stod(ProbeFormat(media)["format.duration"]);
    EXPECT_NEAR(duration, probed, 1.0);
    EXPECT_NEAR(duration, lastMediaTime / 1000.0, 1.0);
}

TEST_F(SessionRecorder, SegmentModeReadsBackAsOneStream) {
    CScratchDir dir;
    CSTDFLVRecorder rec;
    AudioPriority audio;
    ASSERT_EQ(rec.Start("", "", dir.File("seg/record.xml"), 160, 120, audio, 0, 1, 0), 0);
    const std::uint32_t first = m_feed.front().dwTimeStamp;
    std::vector<std::pair<TagType, std::uint32_t>> expected;
    CDataInfo doc;
    doc.id = 1;
    doc.name = "D";
    ASSERT_EQ(Event(rec, RECORD_DATA_DOCUMENT, "", doc), 0);
    std::uint32_t nextEvent = 10000;
    for (const FeedItem& item : m_feed) {
        ASSERT_EQ(Feed(rec, item), 0);
        if (item.type != AVC_PACKAGE_CONFIG || item.bAudio)
            expected.emplace_back(item.bAudio ? TAG_TYPE_AUDIO : TAG_TYPE_VIDEO, item.dwTimeStamp - first);
        if (item.dwTimeStamp - first >= nextEvent) {
            CDataInfo page;
            page.id = nextEvent / 10000;
            ASSERT_EQ(Event(rec, RECORD_DATA_PAGE, "", page), 0);
            ASSERT_EQ(Event(rec, RECORD_DATA_CHAT, "line " + std::to_string(nextEvent)), 0);
            ASSERT_EQ(Event(rec, RECORD_DATA_ANNOTATION, "<command type=\"3\" timestamp=\"0\"/></command>"), 10008);
            ASSERT_EQ(Event(rec, RECORD_DATA_ANNOTATION, "<command type=\"3\" timestamp=\"0\"></command>"), 0);
            ASSERT_EQ(Event(rec, RECORD_DATA_VOTE, "<vote id=\"v" + std::to_string(nextEvent) + "\" timestamp=\"0\"/>"), 0);
            nextEvent += 25000;
        }
    }
    ASSERT_EQ(rec.Stop(), 0);
    const std::vector<std::string> names = rec.GetMediaFiles();
    ASSERT_EQ(names.size(), 3u);  // 0-60, 60-120, 120-130 s
    const std::string folder = dir.File("seg/");
    const std::string index = ReadFile(folder + "record.xml");
    EXPECT_EQ(XmlErrors(folder + "record.xml"), "");
    const std::regex multi("<multirecord starttimestamp=\"([0-9.]+)\" stoptimestamp=\"[0-9.]+\" duration=\"[0-9.]+\" "
                           "multimedia=\"([^\"]+)\" filesize=\"([0-9]+)\" havevideo=\"true\"( chat=\"(chat[0-9]+.xml)\")?"
                           "( anno=\"(anno[0-9]+.xml)\")?>");
    CFlvMultiReader reader;
    ASSERT_EQ(reader.Init(folder, 1, 1, 0), 0);
    std::size_t n = 0;
    for (auto it = std::sregex_iterator(index.begin(), index.end(), multi); it != std::sregex_iterator(); ++it, ++n) {
        ASSERT_LT(n, names.size());
        EXPECT_EQ((*it)[2], names[n]);
        const std::string path = folder + names[n];
        EXPECT_EQ(std::filesystem::file_size(path), std::stoull((*it)[3]));
        EXPECT_EQ(FlvmetaErrors(path), "") << names[n];
        EXPECT_EQ(FfmpegDecodeErrors(path), "") << names[n];
        double duration = 0;
        ASSERT_TRUE(MetaDataNumber(path, "duration", duration));
        EXPECT_NEAR(duration, std::stod(ProbeFormat(path)["format.duration"]), 1.0) << names[n];
        for (int side : {5, 7})
            if ((*it)[side].matched) {
                EXPECT_EQ(XmlErrors(folder + (*it)[side].str()), "") << (*it)[side];
            }
        reader.AddFlv(names[n], static_cast<unsigned long>(std::lround(std::stod((*it)[1]) * 1000)));
    }
    EXPECT_EQ(n, names.size());
    EXPECT_NE(index.find("<events><event type=\"single\" timestamp=\""), std::string::npos);
    EXPECT_NE(index.find("<videokeys><videokey timestamp=\"0.000\" filepos = \""), std::string::npos);
    EXPECT_NE(index.find("<audioindexs><audioindex timestamp=\""), std::string::npos);

    CFlvioHeader header;
    ASSERT_EQ(reader.ReadHeader(header), 0);
    std::vector<std::pair<TagType, std::uint32_t>> got;
    for (;;) {
        CFlvioTag* tag = nullptr;
        if (reader.GetNextTag(tag) != 0 || !tag) break;
        const TagRecord rec2 = Classify(tag->GetTagType(), tag->GetTimeStampAll(), tag->GetData()->FlattenPackage());
        if (rec2.bFrame && rec2.type != TAG_TYPE_SCRIPT) got.emplace_back(rec2.type, rec2.dwTimeStamp);
        tag->ReleaseReference();
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_EQ(got, expected);
}

TEST_F(SessionRecorder, AFullDiskLosesNothingAlreadyWritten) {
    CScratchDir dir;
    const std::string folder = dir.File("full/");
    const std::string countFile = dir.File("accepted");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child: every file it writes may grow to 256 KiB.
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit {256 * 1024, 256 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        CSTDFLVRecorder rec;
        AudioPriority audio;
        if (rec.Start("", "", folder + "record.xml", 160, 120, audio, 0, 0, 0) != 0) ::_exit(3);
        int accepted = 0, failed = 0;
        for (const FeedItem& item : m_feed) {
            const int rv = Feed(rec, item);
            if (rv == 0 && item.type != AVC_PACKAGE_CONFIG) ++accepted;
            if (rv == 10001) ++failed;
        }
        const int stopped = rec.Stop();
        std::FILE* f = std::fopen(countFile.c_str(), "w");
        if (f) {
            std::fprintf(f, "%d %d %d %d", accepted, failed, stopped, rec.GetLastWriteError());
            std::fclose(f);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);
    int accepted = 0, failed = 0, stopped = -1, error = 0;
    ASSERT_EQ(std::sscanf(ReadFile(countFile).c_str(), "%d %d %d %d", &accepted, &failed, &stopped, &error), 4);
    EXPECT_GT(failed, 0) << "the disk never filled";
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(stopped, 0) << "the index itself still fits";
    EXPECT_EQ(XmlErrors(folder + "record.xml"), "");
    // What reached the file stays readable: the frames in it are the first
    // ones fed, in order, each complete; onMetaData was patched in place.
    int rv = 0;
    const std::vector<TagRecord> tags = ReadTags(folder + "record.flv", &rv);
    const auto frames = Frames(tags);
    ASSERT_GT(frames.size(), 100u);
    EXPECT_LE(static_cast<int>(frames.size()), accepted);
    const std::uint32_t first = m_feed.front().dwTimeStamp;
    std::size_t i = 0;
    for (const FeedItem& item : m_feed) {
        if (i == frames.size()) break;
        if (item.type == AVC_PACKAGE_CONFIG && !item.bAudio) continue;
        EXPECT_EQ(frames[i].second, item.dwTimeStamp - first) << i;
        ++i;
    }
    double duration = -1;
    EXPECT_TRUE(MetaDataNumber(folder + "record.flv", "duration", duration));
    EXPECT_LE(std::filesystem::file_size(folder + "record.flv"), 256u * 1024);
}

}  // namespace
