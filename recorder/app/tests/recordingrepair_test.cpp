// The bar's start-up repair: recordings a crash left in the output folder
// (a left-over marker) are finished, one log line says which; recordings
// without a marker, or whose writer still runs, are not touched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "basekit/datapackage.h"
#include "flvio/flvwriter.h"
#include "flvio/recordingmarker.h"
#include "recordingrepair.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A recording as the writer leaves it when it is killed: onMetaData with
// duration 0, then tags up to `lastMs`, the last one cut short by `cut` bytes.
void WriteKilledRecording(const std::string& path, unsigned lastMs, std::size_t cut) {
    {
        CFlvWriter writer;
        ASSERT_EQ(writer.Init(path, 0, 0, 2), 0);
        unsigned long pos = 0, len = 0, audio = 0, video = 0;
        ASSERT_EQ(writer.CreateMetaData(0, 320, 240, 0, 0, 7, 0, 0.0, 10, 1, pos, len, 1), 0);
        writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, audio);
        writer.CreateVideoStream(FLV_CODEC_AVC, video);
        const std::string body(40, '\x27');
        for (unsigned ms = 0; ms <= lastMs + 100; ms += 100) {
            CDataPackage package(body.size(), body.data(), CDataPackage::FLAG_NONE, body.size());
            writer.WriteVideo(ms, package, video);
        }
        writer.Flush();
        writer.Finished();
    }
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - cut);
}

std::string TempFolder() {
    std::string folder = "/tmp/recordingrepair-test-" + std::to_string(::getpid());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace

TEST(RecordingRepair, FinishesWhatACrashLeftInTheOutputFolder) {
    const std::string folder = TempFolder();
    const std::string killed = folder + "/20261208101500.flv";
    const std::string running = folder + "/20261208101600.flv";
    const std::string plain = folder + "/plain.flv";
    WriteKilledRecording(killed, 1700, 30);  // the tag at 1800 ms is torn
    WriteKilledRecording(running, 500, 10);
    WriteKilledRecording(plain, 500, 10);
    std::ofstream(CRecordingMarker::PathFor(killed)) << "pid=999999999\n";
    ASSERT_TRUE(CRecordingMarker::Create(running));  // this process: still writing
    const std::string runningBytes = ReadAll(running);
    const std::string plainBytes = ReadAll(plain);

    const std::string line = CRecordingRepair::repairFolder(folder);
    EXPECT_EQ(line, "repaired 1 unfinished recording(s) in " + folder + ": 20261208101500.flv");
    EXPECT_FALSE(CRecordingMarker::Exists(killed));
    const std::string repaired = ReadAll(killed);
    const std::size_t key = repaired.find("duration");
    ASSERT_NE(key, std::string::npos);
    // 1.7 as a big-endian double.
    EXPECT_EQ(repaired.substr(key + 9, 8), std::string("\x3F\xFB\x33\x33\x33\x33\x33\x33", 8));
    EXPECT_EQ(ReadAll(running), runningBytes);
    EXPECT_TRUE(CRecordingMarker::Exists(running));
    EXPECT_EQ(ReadAll(plain), plainBytes);

    // Nothing left: nothing to say.
    CRecordingMarker::Remove(running);
    EXPECT_EQ(CRecordingRepair::repairFolder(folder), "");
    EXPECT_EQ(CRecordingRepair::repairFolder(folder + "/missing"), "");
    std::filesystem::remove_all(folder);
}
