// flvtool's own parsers on real and hostile input: the SPS of an AVC
// sequence header, the AAC audio specific configuration, the AMF skeleton
// walk, and flvtool over randomly damaged files.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "aacconfig.h"
#include "amfskeleton.h"
#include "avcsps.h"
#include "bitreader.h"
#include "jsonwriter.h"
#include "validationsupport.h"

using namespace validation;

namespace {

// A small deterministic generator, so that a failure repeats.
class CLcg {
public:
    explicit CLcg(std::uint32_t seed) : m_nState(seed) {}
    std::uint32_t Next() {
        m_nState = m_nState * 1664525u + 1013904223u;
        return m_nState >> 8;
    }

private:
    std::uint32_t m_nState;
};

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// The decoder configuration record of the first AVC sequence header.
std::string AvcRecord(const std::string& file) {
    for (const TagRecord& t : ReadTags(file)) {
        if (t.type == TAG_TYPE_VIDEO && t.bSequenceHeader) return t.strBody.substr(5);
    }
    return {};
}

}  // namespace

TEST(FlvtoolParsers, ExpGolombCodes) {
    // 1 | 010 | 011 | 00100 | 00101 | 0000000 1 0000000 (= 127 + 0)
    const std::uint8_t bits[] = {0xA6, 0x42, 0x80, 0x80};
    CBitReader reader(bits, sizeof bits);
    std::uint32_t v = 9;
    std::int32_t s = 0;
    ASSERT_TRUE(reader.ReadUe(v));
    EXPECT_EQ(v, 0u);
    ASSERT_TRUE(reader.ReadUe(v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(reader.ReadSe(s));
    EXPECT_EQ(s, -1);
    ASSERT_TRUE(reader.ReadUe(v));
    EXPECT_EQ(v, 3u);
    ASSERT_TRUE(reader.ReadSe(s));
    EXPECT_EQ(s, -2);
    ASSERT_TRUE(reader.ReadUe(v));
    EXPECT_EQ(v, 127u);
    // Only zeros left: no code ends, and the reader does not run past the end.
    EXPECT_FALSE(reader.ReadUe(v));
    const std::uint8_t zeros[8] = {};
    CBitReader long_(zeros, sizeof zeros);
    EXPECT_FALSE(long_.ReadUe(v));
}

TEST(FlvtoolParsers, SpsCroppingAndHostileRecords) {
    if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    const std::string record = AvcRecord(validation::Media("cropped.flv"));
    ASSERT_GT(record.size(), 8u);
    CAvcSps sps;
    ASSERT_TRUE(sps.ParseDecoderConfig(Bytes(record), record.size()));
    EXPECT_EQ(sps.GetWidth(), 330u);
    EXPECT_EQ(sps.GetHeight(), 250u);
    EXPECT_EQ(sps.GetCodedWidth(), 336u);
    EXPECT_EQ(sps.GetCodedHeight(), 256u);
    EXPECT_TRUE(sps.IsCropped());
    EXPECT_EQ(sps.GetProfileName(), "Main");
    EXPECT_EQ(sps.GetChromaName(), "4:2:0");
    EXPECT_EQ(sps.GetNalLengthSize(), 4u);

    // Cut anywhere inside the SPS, the record fails cleanly (or, cut behind
    // the fields that matter, still parses to the same size).
    const std::size_t spsEnd = 8 + ((std::size_t{Bytes(record)[6]} << 8) | Bytes(record)[7]);
    for (std::size_t len = 0; len < record.size(); ++len) {
        const std::string cut = record.substr(0, len);
        CAvcSps part;
        const bool ok = part.ParseDecoderConfig(Bytes(cut), cut.size());
        if (len < spsEnd) {
            EXPECT_FALSE(ok) << len;
        } else if (ok) {
            EXPECT_EQ(part.GetWidth(), 330u);
        }
    }
    // Random damage never reads outside the record (ASan watches) and never
    // yields a size beyond what the SPS fields can describe.
    CLcg random(7);
    for (int i = 0; i < 3000; ++i) {
        std::string bad = record;
        for (int n = 1 + static_cast<int>(random.Next() % 4); n > 0; --n) {
            bad[random.Next() % bad.size()] = static_cast<char>(random.Next());
        }
        CAvcSps part;
        if (part.ParseDecoderConfig(Bytes(bad), bad.size())) {
            EXPECT_LE(part.GetWidth(), 16384u);
            EXPECT_LE(part.GetHeight(), 32768u);
        }
    }
}

TEST(FlvtoolParsers, AacConfig) {
    CAacConfig aac;
    const std::uint8_t lc[] = {0x12, 0x10};  // AAC LC, 44100 Hz, 2 channels
    ASSERT_TRUE(aac.Parse(lc, sizeof lc));
    EXPECT_EQ(aac.GetObjectType(), 2u);
    EXPECT_EQ(aac.GetSampleRate(), 44100u);
    EXPECT_EQ(aac.GetChannels(), 2u);
    EXPECT_EQ(aac.GetObjectTypeName(), "AAC LC");
    const std::uint8_t reserved[] = {0x16, 0x90};  // rate index 13
    EXPECT_FALSE(aac.Parse(reserved, sizeof reserved));
    const std::uint8_t explicitRate[] = {0x17, 0x80, 0x5D, 0xC0, 0x10};  // index 15: 24-bit rate 48000
    ASSERT_TRUE(aac.Parse(explicitRate, sizeof explicitRate));
    EXPECT_EQ(aac.GetSampleRate(), 48000u);
    EXPECT_FALSE(aac.Parse(lc, 1));
}

TEST(FlvtoolParsers, AmfSkeletonFindsTheStrictArray) {
    if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    std::string body;
    for (const TagRecord& t : ReadTags(validation::Media("keyframes.flv"))) {
        if (t.type == TAG_TYPE_SCRIPT) body = t.strBody;
    }
    ASSERT_FALSE(body.empty());
    CAmfSkeleton skeleton;
    EXPECT_TRUE(skeleton.Parse(Bytes(body), body.size()));
    EXPECT_EQ(skeleton.GetUnsupportedPath(), "keyframes.filepositions");
    EXPECT_EQ(skeleton.GetUnsupportedMarker(), 10u);
    EXPECT_GT(skeleton.GetUnsupportedIndex(), 10);
    EXPECT_EQ(static_cast<std::size_t>(skeleton.GetUnsupportedIndex()) + 1, skeleton.GetTopLevelCount());
    // Truncated and damaged bodies end the walk without reading past them.
    CLcg random(11);
    for (std::size_t len = 0; len < body.size(); len += 7) {
        CAmfSkeleton part;
        part.Parse(Bytes(body), len);
        std::string bad = body;
        bad[random.Next() % bad.size()] = static_cast<char>(random.Next());
        part.Parse(Bytes(bad), bad.size());
    }
}

TEST(FlvtoolParsers, JsonQuotingKeepsTextValid) {
    EXPECT_EQ(CJsonWriter::Quote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(CJsonWriter::Quote("\xe2\x82\xac"), "\"\xe2\x82\xac\"");
    // Lone continuation bytes, overlong forms and surrogates read as Latin-1.
    EXPECT_EQ(CJsonWriter::Quote("\x80"), "\"\\u0080\"");
    EXPECT_EQ(CJsonWriter::Quote("\xc0\xaf"), "\"\\u00C0\\u00AF\"");
    EXPECT_EQ(CJsonWriter::Quote("\xed\xa0\x80"), "\"\\u00ED\\u00A0\\u0080\"");
    EXPECT_EQ(CJsonWriter::Quote("\xe2\x82"), "\"\\u00E2\\u0082\"");
    EXPECT_EQ(CJsonWriter::FormatNumber(3.023), "3.023");
    EXPECT_EQ(CJsonWriter::FormatNumber(320), "320");
}

// flvtool over randomly damaged copies of a real file: it ends with 0 or 1,
// never by a signal or a sanitizer report.
TEST(FlvtoolParsers, FlvtoolSurvivesRandomDamage) {
    if (!HaveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
    const std::string whole = ReadFile(validation::Media("keyframes.flv"));
    ASSERT_FALSE(whole.empty());
    CScratchDir dir;
    CLcg random(3);
    for (int i = 0; i < 40; ++i) {
        std::string bad = whole;
        // Damage the header and metadata region more often: that is where
        // the parsers are.
        for (int n = 0; n < 3; ++n) {
            const std::size_t at = random.Next() % (n == 0 ? 700 : bad.size());
            bad[at] = static_cast<char>(random.Next());
        }
        WriteFile(dir.File("bad.flv"), bad);
        for (const char* command : {"info", "dump", "remux"}) {
            std::vector<std::string> argv{FlvTool(), command, dir.File("bad.flv")};
            if (std::string(command) == "remux") argv.push_back(dir.File("out.flv"));
            if (std::string(command) == "info" && i % 2) argv.push_back("--json");
            const ProcessResult r = RunProgram(argv);
            EXPECT_EQ(r.nSignal, 0) << command << " " << i;
            EXPECT_TRUE(r.nExitCode == 0 || r.nExitCode == 1) << command << " " << i << ": " << r.strErr;
            EXPECT_EQ(r.strErr.find("Sanitizer"), std::string::npos) << r.strErr;
            EXPECT_EQ(r.strErr.find("runtime error"), std::string::npos) << r.strErr;
        }
    }
}
