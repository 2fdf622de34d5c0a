// MPEG-TS write and read throughput for the 10-minute 1280x720 15 fps
// H.264 + AAC recording of syntheticstream.h: every video frame as an Annex B
// access unit (a start code and a slice NAL of the frame's size) and every
// audio frame as an ADTS frame through CTsWriter, then the file read back
// with CTSReader tag by tag (warm page cache). Bytes are file bytes, items
// are frames written or tags read.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "basekit/datapackage.h"
#include "flvio/ts/tsreader.h"
#include "flvio/ts/tswriter.h"
#include "syntheticstream.h"

namespace {

const CSyntheticStream& Stream() {
    static const CSyntheticStream stream;
    return stream;
}

std::string BenchFile() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvane-bench-ts-" + std::to_string(::getpid()) + ".ts";
}

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Frame bytes shaped as the converters hand them to the writer, made once.
struct Payloads {
    std::string video;  // 00 00 00 01 65/41 and filler, cut to each frame's size
    std::string audio;  // an ADTS header and filler, cut to each frame's size
    Payloads() {
        video.assign("\x00\x00\x00\x01\x65", 5);
        video.resize(256 * 1024, '\x5A');
        audio.assign("\xFF\xF1\x50\x80\x00\x1F\xFC", 7);
        audio.resize(4096, '\x21');
    }
};

long WriteTs(const std::string& path) {
    static const Payloads payloads;
    CTsWriter writer;
    if (writer.Init(path, 1, 0, 0, 0, 0) != 0) return -1;
    const auto& frames = Stream().GetFrames();
    for (const auto& f : frames) {
        const std::int64_t ts = static_cast<std::int64_t>(f.timeStamp) * 90;
        const bool video = f.type == TAG_TYPE_VIDEO;
        const std::string& src = video ? payloads.video : payloads.audio;
        const std::size_t size = std::min(f.size, src.size());
        const auto* data = reinterpret_cast<const unsigned char*>(src.data());
        const int rv = video ? writer.WriteAVCVideo(ts, data, size, f.key) : writer.WriteAudio(ts, data, size, 0);
        if (rv != 0) return -1;
    }
    if (writer.AddNewSeg(std::string()) != 0) return -1;
    return static_cast<long>(frames.size());
}

long ReadTs(const std::string& path) {
    CTSReader reader;
    if (reader.Init(path, 0, 1, 0) != 0) return -1;
    long tags = 0;
    for (;;) {
        CTsTagList list;
        const int rv = reader.mpegts_read_packet(list);
        tags += static_cast<long>(list.size());
        if (rv != 0) return rv == CTSReader::TS_READ_END ? tags : -1;
    }
}

void BM_TsWrite(benchmark::State& state) {
    const std::string path = BenchFile();
    long frames = 0;
    for (auto _ : state) {
        frames = WriteTs(path);
        if (frames < 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * FileSize(path));
    state.SetItemsProcessed(state.iterations() * frames);
    ::unlink(path.c_str());
}

void BM_TsRead(benchmark::State& state) {
    const std::string path = BenchFile();
    if (WriteTs(path) < 0) {
        state.SkipWithError("write failed");
        return;
    }
    long tags = 0;
    for (auto _ : state) {
        tags = ReadTs(path);
        if (tags <= 0) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * FileSize(path));
    state.SetItemsProcessed(state.iterations() * tags);
    ::unlink(path.c_str());
}

BENCHMARK(BM_TsWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TsRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
