#include "flvio/flvmultireader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../../basekit/tests/logcapture.h"
#include "basekit/datapackage.h"
#include "flvio/flviotag.h"
#include "flvio/flvwriter.h"

namespace {

namespace fs = std::filesystem;

const unsigned kStarts[3] = {0, 60000, 120000};

class FlvMultiReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "flvmulti_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
        for (int i = 0; i < 3; ++i) m_len[i] = WriteSegment(i);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static std::string Name(int i) { return "seg" + std::to_string(i) + ".flv"; }

    // A segment with a video key frame at 0, audio at 20 and an inter frame
    // at 40 ms (times within the segment); the bodies name the segment.
    unsigned long WriteSegment(int i) const {
        CFlvWriter writer;
        EXPECT_EQ(writer.Init((m_dir / Name(i)).string(), 0, 0, 2), 0);
        const std::string tagName = "s" + std::to_string(i);
        std::string key = "\x17" + tagName, audio = "\xAF" + tagName, inter = "\x27" + tagName;
        CDataPackage k(key.size(), key.data(), 0, key.size());
        CDataPackage a(audio.size(), audio.data(), 0, audio.size());
        CDataPackage v(inter.size(), inter.data(), 0, inter.size());
        writer.Write(0, k, TAG_TYPE_VIDEO);
        writer.Write(20, a, TAG_TYPE_AUDIO);
        writer.Write(40, v, TAG_TYPE_VIDEO);
        unsigned long len = writer.GetPos();
        writer.Finished();
        return len;
    }

    void AddAll(CFlvMultiReader& reader, int count = 3) {
        for (int i = 0; i < count; ++i) ASSERT_EQ(reader.AddFlv(Name(i), kStarts[i]), 0);
    }

    fs::path m_dir;
    unsigned long m_len[3] = {};
};

struct ReadTag {
    unsigned timeStamp;
    std::string body;
};

std::vector<ReadTag> ReadRest(CFlvMultiReader& reader, int& rv) {
    std::vector<ReadTag> tags;
    for (int i = 0; i < 50; ++i) {
        CFlvioTag* tag = nullptr;
        rv = reader.GetNextTag(tag);
        if (rv != 0) return tags;
        if (!tag) break;
        tags.push_back({tag->GetTimeStampAll(), tag->GetData()->FlattenPackage()});
        tag->ReleaseReference();
    }
    ADD_FAILURE() << "reader did not stop";
    return tags;
}

TEST_F(FlvMultiReaderTest, ReadsSegmentsAsOneRecording) {
    CLogCapture log;
    CFlvMultiReader reader;
    ASSERT_EQ(reader.Init(m_dir.string(), 1, 1, 0), 0);
    AddAll(reader);
    EXPECT_EQ(reader.GetCurrentIndex(), 0);
    EXPECT_EQ(log.Find("CFlvMultiReader::AddFlv, FILENAME=seg1.flv, dwStartTimeStamp=60000, file len=" +
                       std::to_string(m_len[1]))
                  .size(),
              1u);
    CFlvioHeader header;
    ASSERT_EQ(reader.ReadHeader(header), 0);

    int rv = 0;
    std::vector<ReadTag> tags = ReadRest(reader, rv);
    EXPECT_EQ(rv, 10015);
    ASSERT_EQ(tags.size(), 9u);
    for (int seg = 0; seg < 3; ++seg) {
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(tags[seg * 3 + k].timeStamp, kStarts[seg] + 20u * k);
            EXPECT_EQ(tags[seg * 3 + k].body.substr(1), "s" + std::to_string(seg));
        }
    }
    EXPECT_EQ(reader.IsEof(), 1);
    EXPECT_EQ(log.Find("CFlvMultiReader::GetNextTag, FILE=" + (m_dir / "seg2.flv").string() +
                       ", INDEX=2")
                  .size(),
              1u);

    // ReadHeader goes back to the first segment; without shifting the time
    // stamps stay those of each file.
    CFlvMultiReader plain;
    ASSERT_EQ(plain.Init(m_dir.string() + "/", 1, 0, 0), 0);
    AddAll(plain);
    ASSERT_EQ(plain.Seek(70000, -1), 0);
    ASSERT_EQ(plain.ReadHeader(header), 0);
    EXPECT_EQ(plain.GetCurrentIndex(), 0);
    tags = ReadRest(plain, rv);
    ASSERT_EQ(tags.size(), 9u);
    EXPECT_EQ(tags[8].timeStamp, 40u);
}

TEST_F(FlvMultiReaderTest, SeeksByTimeAndByBytes) {
    CFlvMultiReader reader;
    ASSERT_EQ(reader.Init(m_dir.string(), 1, 1, 0), 0);
    AddAll(reader);

    ASSERT_EQ(reader.Seek(70000, -1), 0);
    EXPECT_EQ(reader.GetCurrentIndex(), 1);
    int rv = 0;
    CFlvioTag* tag = nullptr;
    ASSERT_EQ(reader.GetNextTag(tag), 0);
    EXPECT_EQ(tag->GetTimeStampAll(), 60000u);
    tag->ReleaseReference();
    ASSERT_EQ(reader.Seek(59999, -1), 0);
    EXPECT_EQ(reader.GetCurrentIndex(), 0);
    EXPECT_EQ(reader.Seek(130000, -1), 10001);
    EXPECT_EQ(reader.GetCurrentIndex(), 0);

    // Exactly the first segment's length is the start of the second.
    ASSERT_EQ(reader.Seek(static_cast<long>(m_len[0]), 0), 0);
    EXPECT_EQ(reader.GetCurrentIndex(), 1);
    EXPECT_EQ(reader.GetPos(), m_len[0]);

    const unsigned long inThird = m_len[0] + m_len[1] + 13;
    ASSERT_EQ(reader.Seek(static_cast<long>(inThird), 0), 0);
    EXPECT_EQ(reader.GetCurrentIndex(), 2);
    EXPECT_EQ(reader.GetPos(), inThird);
    std::vector<ReadTag> tags = ReadRest(reader, rv);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[0].timeStamp, 120000u);
    EXPECT_EQ(reader.GetPos(), m_len[0] + m_len[1] + m_len[2]);

    {
        CLogCapture log;
        EXPECT_EQ(reader.Seek(static_cast<long>(m_len[0] + m_len[1] + m_len[2]), 0), 10001);
        EXPECT_EQ(log.Find("Assert failed: FALSE").size(), 1u);
        EXPECT_EQ(log.Find("CFlvMultiReader::Seek, offset=" +
                           std::to_string(m_len[0] + m_len[1] + m_len[2]) + ", origin=0")
                      .size(),
                  1u);
    }

    // From the end of the last segment.
    ASSERT_EQ(reader.Seek(-static_cast<long>(m_len[2] - 13), 2), 0);
    EXPECT_EQ(reader.GetCurrentIndex(), 2);
    EXPECT_EQ(reader.GetPos(), m_len[0] + m_len[1] + 13);
    EXPECT_EQ(reader.Seek(0, 1), 10004);
    EXPECT_EQ(reader.Seek(0, 7), 10004);

    EXPECT_EQ(reader.GetRecordFullLen(0), 0u);
    EXPECT_EQ(reader.GetRecordFullLen(2), m_len[0] + m_len[1]);
    CLogCapture log;
    EXPECT_EQ(reader.GetRecordFullLen(3), 0u);
    EXPECT_EQ(log.Find("Assert failed: nNum < m_flvs.size()").size(), 1u);
}

TEST_F(FlvMultiReaderTest, WaitsForMissingSegment) {
    fs::path third = m_dir / Name(2);
    fs::path kept = m_dir / "kept.flv";
    fs::rename(third, kept);

    CLogCapture log;
    CFlvMultiReader reader;
    ASSERT_EQ(reader.Init(m_dir.string(), 1, 1, 0), 0);
    AddAll(reader);
    EXPECT_EQ(reader.GetSegments()[2].dwFileLen, 0u);
    EXPECT_EQ(reader.IsGetAllFiles(), 0);
    // The segment before a missing one may still be growing: its length is forgotten.
    EXPECT_EQ(reader.GetSegments()[1].dwFileLen, 0u);

    CFlvioHeader header;
    ASSERT_EQ(reader.ReadHeader(header), 0);
    int rv = 0;
    std::vector<ReadTag> tags = ReadRest(reader, rv);
    EXPECT_EQ(tags.size(), 6u);
    EXPECT_EQ(rv, 10001);
    EXPECT_EQ(reader.GetCurrentIndex(), 2);
    EXPECT_EQ(log.Find("CFlvMultiReader::GetNextTag,file still don't download,file =" + third.string())
                  .size(),
              1u);
    EXPECT_EQ(reader.IsEof(), 0);
    CFlvioTag* tag = nullptr;
    EXPECT_EQ(reader.GetNextTag(tag), 10001);  // still not there
    EXPECT_EQ(reader.GetCurrentIndex(), 2);

    // A byte seek cannot pass a segment of unknown length.
    EXPECT_EQ(reader.Seek(static_cast<long>(m_len[0] + m_len[1] + 20), 0), 10001);

    // The download arrives: reading goes on with the waited-for segment.
    fs::copy_file(kept, third);
    tags = ReadRest(reader, rv);
    EXPECT_EQ(rv, 10015);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[0].timeStamp, 120000u);
    EXPECT_EQ(tags[0].body, "\x17s2");
    EXPECT_EQ(reader.IsGetAllFiles(), 1);
}

TEST_F(FlvMultiReaderTest, KnowsWhenAllFilesAreThere) {
    std::ofstream(m_dir / "empty.flv", std::ios::binary).flush();
    CFlvMultiReader reader;
    ASSERT_EQ(reader.Init(m_dir.string(), 1, 1, 0), 0);
    EXPECT_EQ(reader.IsGetAllFiles(), 0);
    AddAll(reader, 2);
    EXPECT_EQ(reader.IsGetAllFiles(), 1);
    EXPECT_EQ(reader.AddFlv("empty.flv", 130000), 0);
    EXPECT_EQ(reader.IsGetAllFiles(), 0);
    std::ofstream(m_dir / "empty.flv", std::ios::binary) << "FLV";
    EXPECT_EQ(reader.IsGetAllFiles(), 1);
    EXPECT_EQ(reader.GetSegments()[2].dwFileLen, 3u);
}

TEST_F(FlvMultiReaderTest, UnsupportedAndMisuse) {
    CLogCapture log;
    CFlvMultiReader reader;
    CFlvioHeader header;
    CFlvioTag* tag = nullptr;
    unsigned long pos = 0;
    EXPECT_EQ(reader.Init("", 1, 1, 0), 10008);
    EXPECT_EQ(log.Find("Assert failed: strPath.length() > 0").size(), 1u);
    EXPECT_EQ(reader.ReadHeader(header), 10001);
    EXPECT_EQ(log.Find("Assert failed: m_currentIndex >=0").size(), 1u);
    EXPECT_EQ(reader.GetPos(), 0xFFFFFFFFUL);
    EXPECT_EQ(reader.IsEof(), 0);
    EXPECT_EQ(reader.Seek(0, 2), 10001);
    CDataPackage pkg(4);
    EXPECT_EQ(reader.Init(pkg), 10004);
    ASSERT_EQ(reader.Init(m_dir.string(), 1, 1, 0), 0);
    AddAll(reader, 1);
    EXPECT_EQ(reader.GetRTag(tag, pos), 10004);
    EXPECT_EQ(reader.IsFinish(), 1);
    EXPECT_EQ(reader.GetFileName(), (m_dir / Name(0)).string());
    EXPECT_EQ(reader.Clear(), 0);
    EXPECT_EQ(reader.GetSegments().size(), 0u);
    EXPECT_EQ(reader.GetCurrentIndex(), -1);
}

}  // namespace
