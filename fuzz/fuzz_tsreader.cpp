// CTSReader over a transport stream held in memory: every tag up to the end
// (bounded), checking what the reader hands out; then the same bytes as a
// growing file on disk, appended in pieces whose sizes come from the input,
// which must give the same tags as the finished read.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "basekit/datapackage.h"
#include "flvio/ts/tsreader.h"
#include "fuzzsupport.h"

namespace {

constexpr int kMaxReads = 20000;

struct Seen {
    int type;
    std::int64_t pts;
    std::string bytes;
};

std::vector<Seen> ReadAll(CTSReader& reader, bool live, const std::string& path, const std::string& data,
                          fuzzsupport::CFuzzInput& steps) {
    std::vector<Seen> seen;
    std::size_t written = 0;
    for (int i = 0; i < kMaxReads; ++i) {
        CTsTagList tags;
        const int rv = reader.mpegts_read_packet(tags);
        for (const CTsTagPtr& t : tags) {
            FUZZ_CHECK(t->GetData() != nullptr, "a tag has a payload");
            const int type = t->GetType();
            FUZZ_CHECK((type >= 0 && type < 32) || type == CTsTag::TS_TAG_MP3 || type == CTsTag::TS_TAG_AAC,
                       "tag types are NAL types or the audio types");
            seen.push_back({type, t->GetTimeStamp(), t->GetData()->FlattenPackage()});
        }
        if (rv == CTSReader::TS_READ_AGAIN && live) {
            if (written >= data.size()) {
                reader.Finished(path, 0, 1);
                live = false;
                continue;
            }
            const std::size_t n = std::min<std::size_t>(data.size() - written, 1 + steps.TakeU16() % 9000);
            std::FILE* f = std::fopen(path.c_str(), "ab");
            FUZZ_CHECK(f != nullptr, "the growing file opens");
            std::fwrite(data.data() + written, 1, n, f);
            std::fclose(f);
            written += n;
            continue;
        }
        if (rv != 0) {
            FUZZ_CHECK(rv == CTSReader::TS_READ_END || rv > 0, "a finished read ends with -1 or a byte count");
            break;
        }
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    fuzzsupport::CFuzzInput steps(data, size);
    CTSReader memory;
    if (memory.Init(bytes, 1, 1, 0) != 0) return 0;
    const std::vector<Seen> finished = ReadAll(memory, false, std::string(), bytes, steps);
    memory.Close();

    // The same bytes as a growing file: only inputs that end cleanly read
    // the same way (an input cut inside a packet may be read differently).
    if (size > 64 * 1024 || size % 188 != 0) return 0;
    char path[] = "/tmp/fuzz_tsreader_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return 0;
    ::close(fd);
    CTSReader live;
    if (live.Init(path, 0, 0, 0) == 0) {
        const std::vector<Seen> grown = ReadAll(live, true, path, bytes, steps);
        FUZZ_CHECK(grown.size() == finished.size(), "a growing file gives the tags of the finished one");
        for (std::size_t i = 0; i < grown.size(); ++i) {
            FUZZ_CHECK(grown[i].type == finished[i].type && grown[i].pts == finished[i].pts &&
                           grown[i].bytes == finished[i].bytes,
                       "a growing file gives the tags of the finished one");
        }
    }
    ::unlink(path);
    return 0;
}
