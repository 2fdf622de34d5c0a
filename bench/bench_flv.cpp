// FLV write and read throughput for a 10-minute 1280x720 15 fps H.264 + AAC
// recording (see syntheticstream.h). The write benchmark does what the
// engine's muxer does: header, provisional onMetaData with all keys, the two
// sequence headers, every frame as one tag, then onMetaData rewritten in
// place with the duration, flush and close. The read benchmark reads that
// file back tag by tag with a finished CFlvReader (warm page cache).
// Bytes are file bytes, items are tags.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "basekit/resultcodes.h"
#include "flvio/flviotag.h"
#include "flvio/flvreader.h"
#include "flvio/flvwriter.h"
#include "syntheticstream.h"

namespace {

const CSyntheticStream& Stream() {
    static const CSyntheticStream stream;
    return stream;
}

std::string BenchFile(const char* what) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvane-bench-" + what + "-" +
           std::to_string(::getpid()) + ".flv";
}

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Writes the whole recording; the number of tags written, or -1 on failure.
long WriteRecording(const std::string& path, const CSyntheticStream& stream) {
    CFlvWriter writer;
    if (writer.Init(path, 0, 0, 2) != 0) return -1;
    unsigned long audioId = 0, videoId = 0;
    writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, audioId);
    writer.CreateVideoStream(FLV_CODEC_AVC, videoId);
    unsigned long metaPos = 0, metaLen = 0;
    const unsigned w = CSyntheticStream::kWidth, h = CSyntheticStream::kHeight;
    writer.CreateMetaData(0, w, h, 0, CSyntheticStream::kFrameRate, FLV_CODEC_AVC, 0, 0.0, FLV_SOUND_AAC, 0,
                          metaPos, metaLen, 1);
    writer.WriteVideo(0, stream.GetVideoConfig(), videoId);
    writer.WriteAudio(0, stream.GetAudioConfig(), audioId);
    long tags = 3;
    const auto& frames = stream.GetFrames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& f = frames[i];
        const int rv = f.type == TAG_TYPE_AUDIO ? writer.WriteAudio(f.timeStamp, stream.GetBody(i), audioId)
                                                : writer.WriteVideo(f.timeStamp, stream.GetBody(i), videoId);
        if (rv != 0) return -1;
        ++tags;
    }
    unsigned long pos = 0, len = 0;
    if (writer.Seek(static_cast<long>(metaPos), 0) != 0) return -1;
    writer.CreateMetaData(stream.GetDurationMs() / 1000, w, h, 0, CSyntheticStream::kFrameRate, FLV_CODEC_AVC, 0,
                          0.0, FLV_SOUND_AAC, 0, pos, len, 1);
    writer.Flush();
    writer.Finished();
    if (len != metaLen || writer.GetLastWriteError() != 0) return -1;
    return tags;
}

// Reads every tag; the number read, or -1 when the file does not end cleanly.
long ReadRecording(const std::string& path, long long& bodyBytes) {
    CFlvReader reader;
    if (reader.Init(path, 1, 0, 1) != 0) return -1;
    CFlvioHeader header;
    if (reader.ReadHeader(header) != 0) return -1;
    long tags = 0;
    for (;;) {
        CFlvioTag* tag = nullptr;
        const int rv = reader.GetNextTag(tag);
        if (rv != 0) return rv == UC_ERR_NO_ROOM ? tags : -1;
        bodyBytes += tag->GetDataSize();
        tag->ReleaseReference();
        ++tags;
    }
}

void BM_FlvWrite(benchmark::State& state) {
    const CSyntheticStream& stream = Stream();
    const std::string path = BenchFile("write");
    long tags = 0;
    for (auto _ : state) {
        tags = WriteRecording(path, stream);
        if (tags < 0) {
            state.SkipWithError("writing the recording failed");
            break;
        }
    }
    const long size = FileSize(path);
    ::unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * tags);
    state.counters["file_MB"] = static_cast<double>(size) / 1e6;
    state.counters["tags"] = static_cast<double>(tags);
}
BENCHMARK(BM_FlvWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_FlvRead(benchmark::State& state) {
    const std::string path = BenchFile("read");
    const long written = WriteRecording(path, Stream());
    if (written < 0) {
        state.SkipWithError("writing the recording failed");
        return;
    }
    long tags = 0;
    long long bodyBytes = 0;
    for (auto _ : state) {
        bodyBytes = 0;
        tags = ReadRecording(path, bodyBytes);
        if (tags != written) {
            state.SkipWithError("the recording did not read back tag for tag");
            break;
        }
        benchmark::DoNotOptimize(bodyBytes);
    }
    const long size = FileSize(path);
    ::unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * tags);
    state.counters["file_MB"] = static_cast<double>(size) / 1e6;
    state.counters["tags"] = static_cast<double>(tags);
}
BENCHMARK(BM_FlvRead)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
