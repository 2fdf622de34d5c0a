#include "flvio/recordfile.h"

#include <gtest/gtest.h>

#include <list>
#include <string>

#include "../../basekit/tests/logcapture.h"
#include "recordertestsupport.h"

namespace {

using recordertest::CScratch;
using recordertest::ReadAll;

TEST(RecordFile, WriterAndReaderShareTheFileAndAReaderResumesAtTheStoredPosition) {
    CScratch dir;
    const std::string path = dir.File("records.bin");
    CRecordFile writer(path, 0);
    EXPECT_EQ(ReadAll(path), std::string("\x04\x00\x00\x00", 4));
    ASSERT_EQ(writer.WriteRecord("first"), 0);
    ASSERT_EQ(writer.WriteRecord(std::string("se\0cond", 7)), 0);

    CRecordFile reader(path, 1);
    std::list<std::string> got;
    unsigned long pos = 0xFFFFFFFFul;
    ASSERT_EQ(reader.ReadRecords(got, 1, pos), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got.front(), "first");
    EXPECT_EQ(pos, 4u + 4 + 5);
    // The writer appends while the reader is between calls.
    ASSERT_EQ(writer.WriteRecord("third"), 0);
    got.clear();
    ASSERT_EQ(reader.ReadRecords(got, 10, pos), 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got.front(), std::string("se\0cond", 7));
    EXPECT_EQ(got.back(), "third");

    // Handing the position back stores it: a new reader starts behind
    // everything consumed, also once the whole file was read.
    got.clear();
    ASSERT_EQ(reader.ReadRecords(got, 10, pos), 0);
    EXPECT_TRUE(got.empty());
    CRecordFile later(path, 1);
    unsigned long fresh = 0xFFFFFFFFul;
    ASSERT_EQ(later.ReadRecords(got, 10, fresh), 0);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(fresh, pos);
    ASSERT_EQ(writer.WriteRecord("fourth"), 0);
    ASSERT_EQ(later.ReadRecords(got, 10, fresh), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got.front(), "fourth");

    // A writer opened on an existing file keeps its records.
    CRecordFile again(path, 0);
    EXPECT_EQ(ReadAll(path).substr(0, 4), std::string(reinterpret_cast<const char*>(&pos), 4));
}

TEST(RecordFile, ARecordTheWriterHasNotFinishedIsLeftForLater) {
    CScratch dir;
    const std::string path = dir.File("records.bin");
    CRecordFile writer(path, 0);
    ASSERT_EQ(writer.WriteRecord("whole"), 0);
    {
        std::FILE* f = std::fopen(path.c_str(), "ab");
        ASSERT_TRUE(f);
        std::fwrite("\x10\x00\x00\x00part", 1, 8, f);  // 16 bytes announced, 4 there
        std::fclose(f);
    }
    CRecordFile reader(path, 1);
    std::list<std::string> got;
    unsigned long pos = 0xFFFFFFFFul;
    ASSERT_EQ(reader.ReadRecords(got, 10, pos), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(pos, 4u + 4 + 5);
    {
        std::FILE* f = std::fopen(path.c_str(), "ab");
        std::fwrite("-and-the-rest", 1, 12, f);
        std::fclose(f);
    }
    got.clear();
    ASSERT_EQ(reader.ReadRecords(got, 10, pos), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got.front(), "part-and-the-res");
}

TEST(RecordFile, MisuseGetsClearCodes) {
    CScratch dir;
    const std::string path = dir.File("records.bin");
    CLogCapture log;
    CRecordFile writer(path, 0);
    CRecordFile reader(path, 1);
    std::list<std::string> got;
    unsigned long pos = 0xFFFFFFFFul;
    EXPECT_EQ(writer.ReadRecords(got, 1, pos), 10015);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: m_bRead"));
    EXPECT_EQ(reader.WriteRecord("x"), 10015);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: !m_bRead"));
    EXPECT_EQ(writer.WriteRecord(""), 10008);
    pos = 1000;  // beyond the file
    EXPECT_EQ(reader.ReadRecords(got, 1, pos), 10001);
    CRecordFile missing(dir.File("none.bin"), 1);
    pos = 0xFFFFFFFFul;
    EXPECT_EQ(missing.ReadRecords(got, 1, pos), 10015);
    CRecordFile unwritable(dir.File("no/such/folder.bin"), 0);
    EXPECT_EQ(unwritable.WriteRecord("x"), 10015);
    CRecordFile empty("", 0);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_ERROR, "Assert failed: m_filename.length() > 0"));
    EXPECT_EQ(empty.WriteRecord("x"), 10015);
}

}  // namespace
