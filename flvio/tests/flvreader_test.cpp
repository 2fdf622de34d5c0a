#include "flvio/flvreader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../../basekit/tests/logcapture.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "flvio/flviotag.h"
#include "flvio/flvwriter.h"

namespace {

namespace fs = std::filesystem;

std::string HeaderBytes() {
    CFlvioHeader header(1, 1);
    CFlashStream stream(CFlvioHeader::GetEncodeLen());
    header.Encode(stream);
    return stream.GetBuf().FlattenPackage();
}

std::string TagBytes(TagType type, unsigned timeStamp, const std::string& body) {
    CDataPackage pkg(body.size(), body.data(), CDataPackage::FLAG_NONE, body.size());
    CFlvioTag tag(type, timeStamp, pkg);
    CFlashStream stream(tag.GetEncodeLen());
    tag.Encode(stream);
    return stream.GetBuf().FlattenPackage();
}

std::string Body(const CFlvioTag* tag) {
    return tag->GetData() ? tag->GetData()->FlattenPackage() : std::string();
}

class FlvReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "flvreader_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }
    std::string WriteFile(const std::string& name, const std::string& bytes) const {
        std::ofstream(PathOf(name), std::ios::binary | std::ios::trunc) << bytes;
        return PathOf(name);
    }
    // Appends from a second writer while the reader keeps its file open.
    void AppendFile(const std::string& path, const std::string& bytes) const {
        std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
    }

    fs::path m_dir;
};

// A header plus one video tag padded so that the whole file is `total` bytes.
std::string GrowingFile(std::size_t total) {
    std::string bytes = HeaderBytes();
    bytes += TagBytes(TAG_TYPE_VIDEO, 0, std::string(total - bytes.size() - 15, '\x17'));
    return bytes;
}

// Reads every tag until a non-zero code; fails the test when that takes far
// more calls than the data could hold.
int ReadAll(CFlvReader& reader, std::vector<CFlvioTag*>* tags, std::size_t limit) {
    for (std::size_t i = 0; i < limit; ++i) {
        CFlvioTag* tag = nullptr;
        int rv = reader.GetNextTag(tag);
        if (rv != 0) return rv;
        if (!tag) return -1;  // a finished reader must always give a tag with 0
        if (tags)
            tags->push_back(tag);
        else
            tag->ReleaseReference();
    }
    ADD_FAILURE() << "reader did not stop";
    return -2;
}

TEST_F(FlvReaderTest, GrowingFileNeedsMinimumSize) {
    CLogCapture log;
    std::string small = WriteFile("small.flv", GrowingFile(16383));
    CFlvReader reader;
    ASSERT_EQ(reader.Init(small, 1, 0, 0), 0);
    EXPECT_EQ(reader.IsFinish(), 0);
    CFlvioHeader header;
    EXPECT_EQ(reader.ReadHeader(header), 10001);
    EXPECT_EQ(log.Find("CFlvReader::ReadHeader,too small,nFileLen=16383,file=" + small).size(), 1u);

    std::string big = WriteFile("big.flv", GrowingFile(16384));
    CFlvReader reader2;
    ASSERT_EQ(reader2.Init(big, 1, 0, 0), 0);
    ASSERT_EQ(reader2.ReadHeader(header), 0);
    EXPECT_EQ(header.GetVersion(), 1);
    CFlvioTag* tag = nullptr;
    ASSERT_EQ(reader2.GetNextTag(tag), 0);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->GetDataSize(), 16384u - 13 - 15);
    tag->ReleaseReference();
}

TEST_F(FlvReaderTest, GrowingFileResumesBehindLastCompleteTag) {
    std::string bytes = GrowingFile(20000);
    std::string second = TagBytes(TAG_TYPE_AUDIO, 40, "\xAF\x01" "payload");
    std::string third = TagBytes(TAG_TYPE_VIDEO, 80, "\x27" "frame");
    // The file ends inside the second tag's header.
    std::string path = WriteFile("grow.flv", bytes + second.substr(0, 5));

    CFlvReader reader;
    ASSERT_EQ(reader.Init(path, 1, 0, 0), 0);
    CFlvioHeader header;
    ASSERT_EQ(reader.ReadHeader(header), 0);
    CFlvioTag* tag = nullptr;
    ASSERT_EQ(reader.GetNextTag(tag), 0);
    ASSERT_NE(tag, nullptr);
    tag->ReleaseReference();
    const unsigned long afterFirst = reader.GetPos();

    tag = nullptr;
    EXPECT_EQ(reader.GetNextTag(tag), 0);
    EXPECT_EQ(tag, nullptr);

    // Now inside the body of the second tag, with a body size that the file
    // does not hold yet.
    AppendFile(path, second.substr(5, 10));
    EXPECT_EQ(reader.GetNextTag(tag), 0);
    EXPECT_EQ(tag, nullptr);
    EXPECT_EQ(reader.GetNextTag(tag), 0);
    EXPECT_EQ(tag, nullptr);

    AppendFile(path, second.substr(15) + third.substr(0, 12));
    ASSERT_EQ(reader.GetNextTag(tag), 0);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->GetTagType(), TAG_TYPE_AUDIO);
    EXPECT_EQ(tag->GetTimeStampAll(), 40u);
    EXPECT_EQ(Body(tag), "\xAF\x01" "payload");
    EXPECT_EQ(reader.GetPos(), afterFirst + second.size());
    tag->ReleaseReference();

    tag = nullptr;
    EXPECT_EQ(reader.GetNextTag(tag), 0);
    EXPECT_EQ(tag, nullptr);

    // The producer is done: the rest arrives, then the file reads as complete.
    AppendFile(path, third.substr(12));
    ASSERT_EQ(reader.SetFinish(), 0);
    EXPECT_EQ(reader.IsFinish(), 1);
    ASSERT_EQ(reader.GetNextTag(tag), 0);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(Body(tag), "\x27" "frame");
    tag->ReleaseReference();
    tag = nullptr;
    EXPECT_EQ(reader.GetNextTag(tag), 10015);
    EXPECT_EQ(tag, nullptr);
}

TEST_F(FlvReaderTest, FinishedFileReadToItsEnd) {
    std::string path = PathOf("written.flv");
    {
        CFlvWriter writer;
        ASSERT_EQ(writer.Init(path, 0, 0, 2), 0);
        CDataPackage script(7, "\x02\x00\x01x\x00\x00\x09", CDataPackage::FLAG_NONE, 7);
        CDataPackage video(4, "\x17\x00\x00\x00", CDataPackage::FLAG_NONE, 4);
        CDataPackage audio(3, "\xAF\x01\x55", CDataPackage::FLAG_NONE, 3);
        ASSERT_EQ(writer.Write(0, script, TAG_TYPE_SCRIPT), 0);
        ASSERT_EQ(writer.Write(0x01000005u, video, TAG_TYPE_VIDEO), 0);
        ASSERT_EQ(writer.Write(70, audio, TAG_TYPE_AUDIO), 0);
        writer.Finished();
    }
    CFlvReader reader;
    ASSERT_EQ(reader.Init(path, 1, 0, 1), 0);
    EXPECT_EQ(reader.GetFileName(), path);
    CFlvioHeader header;
    ASSERT_EQ(reader.ReadHeader(header), 0);
    EXPECT_EQ(reader.GetPos(), 13u);

    std::vector<CFlvioTag*> tags;
    EXPECT_EQ(ReadAll(reader, &tags, 10), 10015);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[0]->GetTagType(), TAG_TYPE_SCRIPT);
    EXPECT_EQ(tags[1]->GetTagType(), TAG_TYPE_VIDEO);
    EXPECT_EQ(tags[1]->GetTimeStampAll(), 0x01000005u);
    EXPECT_EQ(Body(tags[1]), std::string("\x17\x00\x00\x00", 4));
    EXPECT_EQ(tags[2]->GetTagType(), TAG_TYPE_AUDIO);
    EXPECT_EQ(Body(tags[2]), "\xAF\x01\x55");
    for (CFlvioTag* tag : tags) {
        // The reader kept no reference of its own.
        EXPECT_EQ(tag->GetReference(), 1u);
        tag->ReleaseReference();
    }
    EXPECT_EQ(reader.IsEof(), 1);
    CFlvioTag* tag = nullptr;
    EXPECT_EQ(reader.GetNextTag(tag), 10015);

    // The same bytes held in memory read the same way.
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CDataPackage pkg(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE, bytes.size());
    CFlvReader memory;
    ASSERT_EQ(memory.Init(pkg), 0);
    EXPECT_EQ(memory.Init(pkg), 10015);
    EXPECT_EQ(memory.IsFinish(), 1);
    ASSERT_EQ(memory.ReadHeader(header), 0);
    EXPECT_EQ(ReadAll(memory, nullptr, 10), 10015);
    EXPECT_EQ(memory.SetFinish(), 0);  // nothing to reopen, the data stays
}

TEST_F(FlvReaderTest, DamagedFinishedFilesGiveCodes) {
    const std::string head = HeaderBytes();
    const std::string good = TagBytes(TAG_TYPE_VIDEO, 0, "\x17" "abcdef");
    struct Case {
        const char* name;
        std::string bytes;
        int code;
    };
    std::string badType = good;
    badType[0] = 0x07;
    std::string badBackPointer = good;
    badBackPointer.back() = 0x55;
    // A body size of 16 MB in a file of a few bytes: refused before any allocation.
    std::string hugeSize = good;
    hugeSize[1] = hugeSize[2] = hugeSize[3] = '\xFF';
    const std::vector<Case> cases = {
        {"cut in tag header", head + good + good.substr(0, 6), 10001},
        {"cut in body", head + good + good.substr(0, 14), 10001},
        {"unknown tag type", head + good + badType, 10018},
        {"wrong back-pointer", head + badBackPointer, 10001},
        {"huge body size", head + hugeSize, 10001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFlvReader reader;
        ASSERT_EQ(reader.Init(WriteFile("damaged.flv", c.bytes), 1, 0, 1), 0);
        CFlvioHeader header;
        ASSERT_EQ(reader.ReadHeader(header), 0);
        EXPECT_EQ(ReadAll(reader, nullptr, 10), c.code);
    }

    CFlvReader shortHeader;
    ASSERT_EQ(shortHeader.Init(WriteFile("short.flv", head.substr(0, 9)), 1, 0, 1), 0);
    CFlvioHeader header;
    EXPECT_EQ(shortHeader.ReadHeader(header), 10001);

    CLogCapture log;
    CFlvReader mismatch;
    ASSERT_EQ(mismatch.Init(WriteFile("bp.flv", head + badBackPointer), 1, 0, 1), 0);
    ASSERT_EQ(mismatch.ReadHeader(header), 0);
    CFlvioTag* tag = nullptr;
    EXPECT_EQ(mismatch.GetNextTag(tag), 10001);
    EXPECT_EQ(tag, nullptr);
    auto lines = log.Find("CFlvReader::GetNextTag, can't read, file pos=" +
                          std::to_string(head.size() + good.size()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, CLogWrapper::LOG_WARNING);
    EXPECT_EQ(lines[0].text.rfind("[this=0x", 0), 0u);
}

TEST_F(FlvReaderTest, RandomDamageNeverHangsOrCrashes) {
    std::string bytes = HeaderBytes();
    for (unsigned i = 0; i < 20; ++i)
        bytes += TagBytes(i % 2 ? TAG_TYPE_AUDIO : TAG_TYPE_VIDEO, i * 40, std::string(i * 7 + 1, 'x'));
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::string damaged = bytes.substr(0, 14 + rng() % (bytes.size() - 14));
        for (int flips = 0; flips < 4; ++flips)
            damaged[13 + rng() % (damaged.size() - 13)] ^= static_cast<char>(1 + rng() % 255);
        CFlvReader reader;
        ASSERT_EQ(reader.Init(WriteFile("random.flv", damaged), 1, 0, 1), 0);
        CFlvioHeader header;
        ASSERT_EQ(reader.ReadHeader(header), 0);
        int rv = ReadAll(reader, nullptr, damaged.size());
        EXPECT_TRUE(rv == 10001 || rv == 10015 || rv == 10018) << rv;
    }
}

TEST_F(FlvReaderTest, GetRTagReadsBackwards) {
    const std::string head = HeaderBytes();
    const std::string a = TagBytes(TAG_TYPE_VIDEO, 0, "\x17" "first");
    const std::string b = TagBytes(TAG_TYPE_AUDIO, 33, "\xAF" "second!");
    CFlvReader reader;
    ASSERT_EQ(reader.Init(WriteFile("r.flv", head + a + b), 1, 0, 1), 0);
    ASSERT_EQ(reader.Seek(0, 2), 0);

    CFlvioTag* tag = nullptr;
    unsigned long tagPos = 0;
    ASSERT_EQ(reader.GetRTag(tag, tagPos), 0);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tagPos, head.size() + a.size());
    EXPECT_EQ(Body(tag), "\xAF" "second!");
    tag->ReleaseReference();

    ASSERT_EQ(reader.Seek(static_cast<long>(tagPos), 0), 0);
    ASSERT_EQ(reader.GetRTag(tag, tagPos), 0);
    EXPECT_EQ(tagPos, head.size());
    EXPECT_EQ(Body(tag), "\x17" "first");
    tag->ReleaseReference();

    // A back-pointer reaching in front of the file start.
    std::string bad = head + a;
    bad.replace(bad.size() - 4, 4, std::string("\x00\x01\x00\x00", 4));
    CFlvReader damaged;
    ASSERT_EQ(damaged.Init(WriteFile("bad.flv", bad), 1, 0, 1), 0);
    ASSERT_EQ(damaged.Seek(0, 2), 0);
    EXPECT_EQ(damaged.GetRTag(tag, tagPos), 10001);
    ASSERT_EQ(damaged.Seek(2, 0), 0);
    EXPECT_EQ(damaged.GetRTag(tag, tagPos), 10001);
}

TEST_F(FlvReaderTest, WithoutFile) {
    CLogCapture log;
    CFlvReader reader;
    CFlvioTag* tag = nullptr;
    unsigned long pos = 0;
    CFlvioHeader header;
    EXPECT_EQ(reader.GetNextTag(tag), 10001);
    EXPECT_EQ(reader.ReadHeader(header), 10001);
    EXPECT_EQ(reader.GetRTag(tag, pos), 10001);
    EXPECT_EQ(reader.IsEof(), 1);
    EXPECT_EQ(reader.GetPos(), 0xFFFFFFFFUL);
    EXPECT_EQ(reader.Seek(0, 0), 10015);
    EXPECT_EQ(reader.Seek(0, -1), 10001);
    EXPECT_EQ(reader.SetFinish(), 10001);
    EXPECT_EQ(log.Find("Assert failed: m_flvFile.Get()").size(), 5u);

    EXPECT_NE(reader.Init(PathOf("missing.flv"), 1, 0, 1), 0);
    EXPECT_EQ(reader.GetPos(), 0xFFFFFFFFUL);
    // A failed open leaves the reader free for another file.
    ASSERT_EQ(reader.Init(WriteFile("ok.flv", HeaderBytes()), 1, 0, 1), 0);
    EXPECT_EQ(reader.Init(PathOf("ok.flv"), 1, 0, 1), 10015);
    ASSERT_EQ(reader.ReadHeader(header), 0);
    EXPECT_EQ(reader.GetNextTag(tag), 10015);
    EXPECT_EQ(reader.Clear(), 0);
    EXPECT_EQ(reader.GetPos(), 0xFFFFFFFFUL);
}

}  // namespace
