// A recording split into segment files, each starting at time 0, read with
// CFlvMultiReader as one stream: time stamps come out shifted by each
// segment's start, so the frames are those of the unsplit recording.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "basekit/datapackage.h"
#include "flvio/flvmultireader.h"
#include "validationsupport.h"

using namespace validation;

namespace {

struct Segment {
    std::string strName;
    unsigned dwStart = 0;
};

// Every tag of the segments in order, read through the multi reader.
std::vector<TagRecord> ReadSegments(const std::string& dir, const std::vector<Segment>& segments,
                                    int* result) {
    CFlvMultiReader reader;
    std::vector<TagRecord> tags;
    int rv = reader.Init(dir + "/", 1, 1, 0);
    for (const Segment& s : segments) {
        if (rv == 0) rv = reader.AddFlv(s.strName, s.dwStart);
    }
    CFlvioHeader header;
    if (rv == 0) rv = reader.ReadHeader(header);
    while (rv == 0) {
        CFlvioTag* tag = nullptr;
        rv = reader.GetNextTag(tag);
        if (rv != 0 || !tag) break;
        const std::string body = tag->GetData() ? tag->GetData()->FlattenPackage() : std::string();
        tags.push_back(Classify(tag->GetTagType(), tag->GetTimeStampAll(), body));
        tag->ReleaseReference();
    }
    *result = rv;
    return tags;
}

// The frame tags (time stamp, type, body) of both lists are the same.
void ExpectSameFrames(const std::vector<TagRecord>& whole, const std::vector<TagRecord>& joined) {
    std::vector<const TagRecord*> a, b;
    for (const TagRecord& t : whole) {
        if (t.bFrame) a.push_back(&t);
    }
    for (const TagRecord& t : joined) {
        if (t.bFrame) b.push_back(&t);
    }
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i]->type, b[i]->type) << i;
        EXPECT_EQ(a[i]->dwTimeStamp, b[i]->dwTimeStamp) << "frame " << i;
        EXPECT_TRUE(a[i]->strBody == b[i]->strBody) << "frame " << i;
    }
}

}  // namespace

// Segments cut with our writer at key frames: each gets the sequence headers
// and the writer's time base set to the segment's first time stamp, so that
// each file starts at 0.
TEST(MultiReaderValidation, SegmentsWrittenWithTimeBaseReadBackAsOneStream) {
    if (!HaveProgram("ffmpeg") || !HaveProgram("flvmeta")) GTEST_SKIP() << "ffmpeg/flvmeta missing";
    const std::string source = validation::Media("gop15.flv");
    ASSERT_FALSE(source.empty());
    const std::vector<TagRecord> tags = ReadTags(source);
    const TagRecord* videoHeader = nullptr;
    const TagRecord* audioHeader = nullptr;
    std::vector<std::size_t> cuts;  // indexes of the key frames near 1 s and 2 s
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const TagRecord& t = tags[i];
        if (t.bSequenceHeader && t.type == TAG_TYPE_VIDEO && !videoHeader) videoHeader = &t;
        if (t.bSequenceHeader && t.type == TAG_TYPE_AUDIO && !audioHeader) audioHeader = &t;
        if (t.bFrame && t.bKey && t.dwTimeStamp >= 1000 * (cuts.size() + 1) && cuts.size() < 2) cuts.push_back(i);
    }
    ASSERT_TRUE(videoHeader && audioHeader);
    ASSERT_EQ(cuts.size(), 2u);

    CScratchDir dir;
    std::vector<Segment> segments;
    const std::size_t bounds[4] = {0, cuts[0], cuts[1], tags.size()};
    for (int s = 0; s < 3; ++s) {
        // The segment's tags, with its own sequence headers in front from the second on.
        std::vector<TagRecord> part;
        unsigned start = 0xFFFFFFFFu;
        for (std::size_t i = bounds[s]; i < bounds[s + 1]; ++i) {
            if (tags[i].type != TAG_TYPE_SCRIPT && tags[i].dwTimeStamp < start) start = tags[i].dwTimeStamp;
        }
        if (s > 0) {
            part.push_back(*videoHeader);
            part.push_back(*audioHeader);
            part[0].dwTimeStamp = part[1].dwTimeStamp = start;
        }
        part.insert(part.end(), tags.begin() + static_cast<long>(bounds[s]), tags.begin() + static_cast<long>(bounds[s + 1]));
        Segment seg{"part" + std::to_string(s) + ".flv", s == 0 ? 0u : start};
        std::string failure;
        WriteLikeEngine(dir.File(seg.strName), part, 0, part.size(), seg.dwStart, 320, 240, &failure);
        ASSERT_EQ(failure, "");
        EXPECT_EQ(FlvmetaErrors(dir.File(seg.strName)), "");
        EXPECT_EQ(FfmpegDecodeErrors(dir.File(seg.strName)), "");
        // The segment file itself starts at 0.
        const std::vector<TagRecord> own = ReadTags(dir.File(seg.strName));
        ASSERT_GE(own.size(), 2u);
        EXPECT_EQ(own[1].dwTimeStamp, 0u);
        segments.push_back(seg);
    }
    int rv = 0;
    const std::vector<TagRecord> joined = ReadSegments(dir.Path(), segments, &rv);
    EXPECT_EQ(rv, 10015) << "the last segment ends cleanly";
    ExpectSameFrames(tags, joined);
}

// Segments made by ffmpeg's segment muxer with reset time stamps; their start
// times come from its segment list.
TEST(MultiReaderValidation, FfmpegSegmentsReadBackAsOneStream) {
    if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    const std::string source = validation::Media("gop15.flv");
    ASSERT_FALSE(source.empty());
    CScratchDir dir;
    const ProcessResult r =
        RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", source, "-c", "copy", "-f", "segment", "-segment_time", "1",
             "-segment_format", "flv", "-reset_timestamps", "1", "-segment_list", dir.File("list.csv"),
             "-segment_list_type", "csv", dir.File("seg%d.flv")});
    ASSERT_EQ(r.nExitCode, 0) << r.strErr;
    std::vector<Segment> segments;
    std::stringstream list(ReadFile(dir.File("list.csv")));
    std::string line;
    while (std::getline(list, line)) {
        const std::size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        segments.push_back({line.substr(0, comma),
                            static_cast<unsigned>(std::llround(std::atof(line.c_str() + comma + 1) * 1000))});
    }
    ASSERT_GE(segments.size(), 3u);
    int rv = 0;
    const std::vector<TagRecord> joined = ReadSegments(dir.Path(), segments, &rv);
    EXPECT_EQ(rv, 10015);
    ExpectSameFrames(ReadTags(source), joined);
}
