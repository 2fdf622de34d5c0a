// Files written by CFlvWriter (the engine's call sequence, the writer's
// string forms, and `flvtool remux`) checked with tools no one here wrote:
// flvmeta --check finds no error, ffmpeg decodes them silently, ffprobe's
// duration is the patched onMetaData duration, and the frames are those of
// the input.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "basekit/datapackage.h"
#include "flvio/flvwriter.h"
#include "validationsupport.h"

using namespace validation;

namespace {

bool HaveValidators() {
    return HaveProgram("ffmpeg") && HaveProgram("ffprobe") && HaveProgram("flvmeta");
}

void ExpectValidFile(const std::string& path) {
    EXPECT_EQ(FlvmetaErrors(path), "") << path;
    EXPECT_EQ(FfmpegDecodeErrors(path), "") << path;
}

// ffprobe's duration comes from the patched onMetaData.
void ExpectProbeDurationIsPatched(const std::string& path, double expectedSeconds) {
    double meta = -1;
    ASSERT_TRUE(MetaDataNumber(path, "duration", meta)) << path;
    EXPECT_EQ(meta, expectedSeconds) << path;
    const auto probe = ProbeFormat(path);
    ASSERT_TRUE(probe.count("format.duration")) << path;
    EXPECT_NEAR(std::atof(probe.at("format.duration").c_str()), meta, 0.0005) << path;
}

std::vector<const TagRecord*> MediaTags(const std::vector<TagRecord>& tags) {
    std::vector<const TagRecord*> media;
    for (const TagRecord& t : tags) {
        if (t.type != TAG_TYPE_SCRIPT) media.push_back(&t);
    }
    return media;
}

// Every audio and video tag of `in` is in `out`, in the same order, with the
// same time stamp and body.
void ExpectSameMediaTags(const std::vector<TagRecord>& in, const std::vector<TagRecord>& out) {
    const auto a = MediaTags(in), b = MediaTags(out);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i]->type, b[i]->type) << i;
        EXPECT_EQ(a[i]->dwTimeStamp, b[i]->dwTimeStamp) << i;
        EXPECT_TRUE(a[i]->strBody == b[i]->strBody) << "body of media tag " << i;
    }
}

std::uint32_t LastMediaTimeStamp(const std::vector<TagRecord>& tags) {
    std::uint32_t last = 0;
    for (const TagRecord& t : tags) {
        if (t.type != TAG_TYPE_SCRIPT && t.dwTimeStamp > last) last = t.dwTimeStamp;
    }
    return last;
}

}  // namespace

TEST(WriterValidation, EngineCallSequenceWritesAValidFileWithPatchedDuration) {
    if (!HaveValidators()) GTEST_SKIP() << "ffmpeg/ffprobe/flvmeta missing";
    const std::string in = validation::Media("av.flv");
    ASSERT_FALSE(in.empty());
    const std::vector<TagRecord> tags = ReadTags(in);
    CScratchDir dir;
    const std::string out = dir.File("engine.flv");
    std::string failure;
    const unsigned seconds = WriteLikeEngine(out, tags, 0, tags.size(), 0, 320, 240, &failure);
    ASSERT_EQ(failure, "");
    EXPECT_EQ(seconds, LastMediaTimeStamp(tags) / 1000);
    ExpectValidFile(out);
    ExpectProbeDurationIsPatched(out, seconds);
    const std::vector<TagRecord> written = ReadTags(out);
    ExpectSameMediaTags(tags, written);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written[0].type, TAG_TYPE_SCRIPT) << "onMetaData comes first";
    EXPECT_EQ(written[0].nOffset, 13u);
    // ffprobe sees the same frames in our file as in ffmpeg's.
    const auto before = ProbePackets(in), after = ProbePackets(out);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].strType, after[i].strType) << i;
        EXPECT_EQ(before[i].nPts, after[i].nPts) << i;
        EXPECT_EQ(before[i].bKey, after[i].bKey) << i;
    }
}

// The string forms put the stream's first body byte in front of the payload
// themselves; the package form of WriteVideo with a frame type chains it.
TEST(WriterValidation, StringAndChainedFormsWriteTheSameValidFile) {
    if (!HaveValidators()) GTEST_SKIP() << "ffmpeg/ffprobe/flvmeta missing";
    const std::string in = validation::Media("av.flv");
    ASSERT_FALSE(in.empty());
    const std::vector<TagRecord> tags = ReadTags(in);
    CScratchDir dir;
    const std::string out = dir.File("forms.flv");
    {
        CFlvWriter writer;
        ASSERT_EQ(writer.Init(out, 0, 0, 2), 0);
        unsigned long pos = 0, len = 0, audioId = 0, videoId = 0;
        ASSERT_EQ(writer.CreateMetaData(0, 320, 240, 0, 0, 7, 0, 0.0, 10, 1, pos, len, 1), 0);
        writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, audioId);
        writer.CreateVideoStream(FLV_CODEC_AVC, videoId);
        bool chained = false;
        for (const TagRecord& t : tags) {
            if (t.type == TAG_TYPE_SCRIPT) continue;
            ASSERT_EQ(static_cast<unsigned char>(t.strBody[0]),
                      t.type == TAG_TYPE_AUDIO ? 0xAF : (t.bKey ? 0x17 : 0x27));
            const std::string payload = t.strBody.substr(1);
            if (t.type == TAG_TYPE_AUDIO) {
                ASSERT_EQ(writer.WriteAudio(audioId, payload, t.dwTimeStamp), 0);
                continue;
            }
            const FlvVideoFrame frame = t.bKey ? FLV_FRAME_KEY : FLV_FRAME_INTER;
            // Every other picture goes through the chained package form.
            if (chained) {
                CDataPackage pkg(payload.size(), payload.data(), CDataPackage::FLAG_NONE, payload.size());
                ASSERT_EQ(writer.WriteVideo(videoId, frame, pkg, t.dwTimeStamp), 0);
                EXPECT_EQ(pkg.GetPackageLength(), payload.size()) << "the caller keeps its package";
            } else {
                ASSERT_EQ(writer.WriteVideo(videoId, frame, payload, t.dwTimeStamp), 0);
            }
            chained = !chained;
        }
        ASSERT_EQ(writer.Seek(static_cast<long>(pos), 0), 0);
        unsigned long len2 = 0;
        ASSERT_EQ(writer.CreateMetaData(LastMediaTimeStamp(tags) / 1000, 320, 240, 0, 0, 7, 0, 0.0, 10, 1,
                                        pos, len2, 1),
                  0);
        EXPECT_EQ(len2, len);
        writer.Flush();
        EXPECT_EQ(writer.Finished(), 0);
        EXPECT_EQ(writer.GetLastWriteError(), 0);
    }
    ExpectValidFile(out);
    ExpectProbeDurationIsPatched(out, LastMediaTimeStamp(tags) / 1000);
    ExpectSameMediaTags(tags, ReadTags(out));
}

TEST(WriterValidation, FlvtoolRemuxOutputIsValidAndKeepsEveryFrame) {
    if (!HaveValidators()) GTEST_SKIP() << "ffmpeg/ffprobe/flvmeta missing";
    CScratchDir dir;
    for (const char* name : {"av.flv", "video.flv", "audio.flv", "keyframes.flv"}) {
        SCOPED_TRACE(name);
        const std::string in = validation::Media(name);
        ASSERT_FALSE(in.empty());
        const std::string out = dir.File(std::string("remux-") + name);
        const ProcessResult r = RunProgram({FlvTool(), "remux", in, out});
        ASSERT_EQ(r.nExitCode, 0) << r.strErr;
        EXPECT_EQ(r.strOut, "");
        ExpectValidFile(out);
        const std::vector<TagRecord> before = ReadTags(in), after = ReadTags(out);
        ExpectSameMediaTags(before, after);
        ExpectProbeDurationIsPatched(out, LastMediaTimeStamp(before) / 1000);
        // One onMetaData, the fresh one, first; the picture size kept.
        std::size_t scripts = 0;
        for (const TagRecord& t : after) scripts += t.type == TAG_TYPE_SCRIPT;
        EXPECT_EQ(scripts, 1u);
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after[0].type, TAG_TYPE_SCRIPT);
        double width = -1, height = -1;
        ASSERT_TRUE(MetaDataNumber(out, "width", width));
        ASSERT_TRUE(MetaDataNumber(out, "height", height));
        const bool video = std::string(name) != "audio.flv";
        EXPECT_EQ(width, video ? 320 : 0);
        EXPECT_EQ(height, video ? 240 : 0);
        // The header announces the streams there are.
        const std::string head = ReadFile(out).substr(0, 5);
        const unsigned flags = static_cast<unsigned char>(head[4]);
        EXPECT_EQ(flags, std::string(name) == "audio.flv" ? 0x04u : std::string(name) == "video.flv" ? 0x01u : 0x05u);
    }
}
