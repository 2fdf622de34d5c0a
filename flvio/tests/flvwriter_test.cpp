#include "flvio/flvwriter.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"

#include "../../basekit/tests/logcapture.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

using WriterLog = CLogCapture;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "flvwriter_test_XXXXXX").string();
        m_path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) fs::remove_all(m_path, ec);
    }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ParsedTag {
    unsigned type = 0;
    unsigned dataSize = 0;
    unsigned timeStamp = 0;  // low 24 bits
    unsigned ext = 0;
    unsigned streamId = 0;
    Bytes body;
    unsigned backPointer = 0;
    std::size_t offset = 0;
};

unsigned Be(const Bytes& b, std::size_t at, int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | b[at + i];
    return v;
}

// The tags behind the 13-byte header; stops at the first incomplete one.
std::vector<ParsedTag> ParseTags(const Bytes& file) {
    std::vector<ParsedTag> tags;
    std::size_t pos = 13;
    while (pos + 11 <= file.size()) {
        ParsedTag t;
        t.offset = pos;
        t.type = file[pos];
        t.dataSize = Be(file, pos + 1, 3);
        t.timeStamp = Be(file, pos + 4, 3);
        t.ext = file[pos + 7];
        t.streamId = Be(file, pos + 8, 3);
        if (pos + 15 + t.dataSize > file.size()) break;
        t.body.assign(file.begin() + pos + 11, file.begin() + pos + 11 + t.dataSize);
        t.backPointer = Be(file, pos + 11 + t.dataSize, 4);
        tags.push_back(t);
        pos += 15 + t.dataSize;
    }
    return tags;
}

std::unique_ptr<CDataPackage> Package(const std::string& bytes) {
    return std::make_unique<CDataPackage>(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE,
                                          bytes.size());
}

// The metadata entries of a script tag body, decoded with CFlvioData.
std::vector<std::pair<std::string, double>> MetaEntries(const Bytes& body, std::string* name = nullptr) {
    CDataPackage pkg(body.size(), body.data(), CDataPackage::FLAG_NONE, body.size());
    CFlvioData data(pkg, 0);
    EXPECT_EQ(0, data.Decode());
    if (name) *name = data.GetName();
    std::vector<std::pair<std::string, double>> out;
    if (!data.GetValue()) return out;
    for (CAmfSimpleKeyValue* kv : data.GetValue()->GetArray()) {
        auto* number = dynamic_cast<CAmfNumber*>(kv->GetValue());
        out.push_back({kv->GetName(), number ? number->GetValue() : -1.0});
    }
    return out;
}

TEST(FlvWriter, InitWritesHeaderForEachKind) {
    TempDir dir;
    const unsigned char flags[3] = {0x04, 0x01, 0x05};
    for (int kinds = 0; kinds < 3; ++kinds) {
        std::string path = dir.File("h" + std::to_string(kinds) + ".flv");
        CFlvWriter writer;
        ASSERT_EQ(0, writer.Init(path, 0, 0, kinds));
        EXPECT_EQ(13u, writer.GetPos());
        EXPECT_EQ(0, writer.Finished());
        EXPECT_EQ((Bytes{0x46, 0x4C, 0x56, 0x01, flags[kinds], 0, 0, 0, 0x09, 0, 0, 0, 0}), ReadFile(path));
    }
}

TEST(FlvWriter, InitFailuresAndWritesWithoutFile) {
    TempDir dir;
    WriterLog log;
    CFlvWriter writer;
    EXPECT_EQ(0xFFFFFFFFul, writer.GetPos());
    EXPECT_EQ(10015, writer.Seek(0, 0));

    std::string missing = dir.File("no/such/folder/x.flv");
    int rv = writer.Init(missing, 0, 0, 2);
    EXPECT_EQ(ENOENT, rv);
    EXPECT_TRUE(log.Contains(2, "][CFlvWriter::Init, can't open the file=" + missing + ", rv =" +
                                    std::to_string(rv) + "]"));
    EXPECT_TRUE(log.Contains(2, "[this=0x"));
    EXPECT_EQ(0xFFFFFFFFul, writer.GetPos());

    CDataPackage body(2, "\xAF\x01", CDataPackage::FLAG_NONE, 2);
    EXPECT_EQ(10015, writer.WriteAudio(0, body, 0, nullptr));
    EXPECT_TRUE(log.Contains(0, "Assert failed: m_file]"));
    EXPECT_EQ(10015, writer.WriteData(0, body, 1, 0, nullptr));

    // Reopening a file that is not there fails and leaves no file behind.
    EXPECT_EQ(ENOENT, writer.Init(dir.File("absent.flv"), 0, 1, 2));
    EXPECT_EQ(10015, writer.WriteVideo(0, body, 0, nullptr));
    EXPECT_EQ(0, writer.Finished());
}

TEST(FlvWriter, TimeBaseSplitTimeStampsAndPositions) {
    TempDir dir;
    std::string path = dir.File("ts.flv");
    CFlvWriter writer;
    ASSERT_EQ(0, writer.Init(path, 1000, 0, 2));
    auto body = Package("\xAF\x01\x11\x22\x33");
    unsigned long pos1 = 0, pos2 = 0, pos3 = 0;
    EXPECT_EQ(0, writer.WriteAudio(500, *body, 0, &pos1));
    EXPECT_EQ(0, writer.WriteAudio(1500, *body, 1, &pos2));
    EXPECT_EQ(0, writer.WriteVideo(0x01000005u + 1000, *body, 2, &pos3));
    EXPECT_EQ(13u, pos1);
    EXPECT_EQ(13u + 20, pos2);
    EXPECT_EQ(13u + 40, pos3);
    EXPECT_EQ(13u + 60, writer.GetPos());
    // The caller's package is not consumed.
    EXPECT_EQ(5u, body->GetPackageLength());
    writer.Finished();

    auto tags = ParseTags(ReadFile(path));
    ASSERT_EQ(3u, tags.size());
    EXPECT_EQ(0u, tags[0].timeStamp);
    EXPECT_EQ(500u, tags[1].timeStamp);
    EXPECT_EQ(1u, tags[1].streamId);
    EXPECT_EQ(5u, tags[2].timeStamp);
    EXPECT_EQ(1u, tags[2].ext);
    EXPECT_EQ(9u, tags[2].type);
    for (const auto& t : tags) {
        EXPECT_EQ(t.dataSize + 11, t.backPointer);
        EXPECT_EQ((Bytes{0xAF, 0x01, 0x11, 0x22, 0x33}), t.body);
    }
}

TEST(FlvWriter, TagBytesEqualTagEncode) {
    TempDir dir;
    std::string path = dir.File("same.flv");
    CFlvWriter writer;
    ASSERT_EQ(0, writer.Init(path, 0, 0, 2));
    // A chained body of growing sizes (the encode buffer is reused and grown).
    std::vector<Bytes> expected;
    for (std::size_t size : {1u, 300u, 20u, 70000u, 5u}) {
        auto* head = new CDataPackage(1, "\x27", CDataPackage::FLAG_NONE, 1);
        std::string rest(size, static_cast<char>('a' + size % 26));
        head->Append(new CDataPackage(rest.size(), rest.data(), CDataPackage::FLAG_NONE, rest.size()));
        unsigned ts = static_cast<unsigned>(size * 1000);
        EXPECT_EQ(0, writer.WriteVideo(ts, *head, 3, nullptr));
        CFlvioTag tag(TAG_TYPE_VIDEO, ts, *head, 3);
        CFlashStream stream(tag.GetEncodeLen());
        EXPECT_EQ(0, tag.Encode(stream));
        std::string flat = stream.GetBuf().FlattenPackage();
        expected.emplace_back(flat.begin(), flat.end());
        head->DestroyPackage();
    }
    writer.Finished();
    Bytes file = ReadFile(path);
    Bytes all(file.begin(), file.begin() + 13);
    for (const Bytes& b : expected) all.insert(all.end(), b.begin(), b.end());
    EXPECT_EQ(all, file);
}

TEST(FlvWriter, MetaDataKeysAndSizes) {
    TempDir dir;
    std::string path = dir.File("meta.flv");
    CFlvWriter writer;
    ASSERT_EQ(0, writer.Init(path, 0, 0, 2));
    unsigned long pos0 = 0, len0 = 0, pos1 = 0, len1 = 0, pos2 = 0, len2 = 0, pos3 = 0, len3 = 0;
    EXPECT_EQ(0, writer.CreateMetaData(0, 0, 0, 0, 0, 0, 0, 0.0, 0, 0, pos0, len0, 0));
    EXPECT_EQ(0, writer.CreateMetaData(0, 640, 480, 0, 0, 7, 0, 0.0, 10, 0, pos1, len1, 1));
    EXPECT_EQ(0, writer.CreateMetaData(3600, 1920, 1080, 900, 15, 7, 128, 0.25, 10, 0, pos2, len2, 1));
    EXPECT_EQ(0, writer.CreateMetaData(5, 640, 0, 0, 15, 0, 0, 9.0, 10, 0, pos3, len3, 0));
    writer.Finished();

    EXPECT_EQ(13u, pos0);
    EXPECT_EQ(39u, len0);
    EXPECT_EQ(pos0 + len0, pos1);
    EXPECT_EQ(len1, len2);  // every key present: the size does not depend on the values

    auto tags = ParseTags(ReadFile(path));
    ASSERT_EQ(4u, tags.size());
    const Bytes emptyBody = {0x02, 0x00, 0x0A, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't',
                             'a',  0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x09};
    EXPECT_EQ(emptyBody, tags[0].body);
    EXPECT_EQ(18u, tags[0].type);
    EXPECT_EQ(0u, tags[0].timeStamp);

    std::string name;
    auto all = MetaEntries(tags[2].body, &name);
    EXPECT_EQ("onMetaData", name);
    const std::vector<std::pair<std::string, double>> expectAll = {
        {"duration", 3600}, {"width", 1920},       {"height", 1080},
        {"videodatarate", 900}, {"framerate", 15}, {"videocodecid", 7},
        {"audiodatarate", 128}, {"audiodelay", 0.25}, {"audiocodecid", 10}};
    EXPECT_EQ(expectAll, all);
    Bytes tail(tags[2].body.end() - 6, tags[2].body.end());
    EXPECT_EQ((Bytes{0, 0, 9, 0, 0, 9}), tail);

    // Without allKeys: zero values drop their keys; width needs height too,
    // audiodelay goes with audiodatarate.
    const std::vector<std::pair<std::string, double>> expectSome = {
        {"duration", 5}, {"framerate", 15}, {"audiocodecid", 10}};
    EXPECT_EQ(expectSome, MetaEntries(tags[3].body));
}

TEST(FlvWriter, MetaDataRewriteInPlace) {
    TempDir dir;
    std::string path = dir.File("rewrite.flv");
    CFlvWriter writer;
    unsigned long audioId = 9, videoId = 9;
    EXPECT_EQ(0, writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, audioId));
    EXPECT_EQ(0, writer.CreateVideoStream(FLV_CODEC_AVC, videoId));
    EXPECT_EQ(0u, audioId);
    EXPECT_EQ(0u, videoId);
    ASSERT_EQ(0, writer.Init(path, 0, 0, 2));
    unsigned long tagPos = 0, tagLen = 0;
    ASSERT_EQ(0, writer.CreateMetaData(0, 320, 240, 0, 0, 7, 0, 0.0, 10, 0, tagPos, tagLen, 1));
    EXPECT_EQ(0, writer.WriteVideo(videoId, FLV_FRAME_KEY, std::string("\x01\x00\x00\x00vid", 7), 0));
    EXPECT_EQ(0, writer.WriteAudio(audioId, std::string("\x01sound", 6), 23));
    unsigned long end = writer.GetPos();

    ASSERT_EQ(0, writer.Seek(static_cast<long>(tagPos), 0));
    unsigned long pos2 = 0, len2 = 0;
    ASSERT_EQ(0, writer.CreateMetaData(42, 320, 240, 0, 0, 7, 0, 0.0, 10, 0, pos2, len2, 1));
    EXPECT_EQ(tagPos, pos2);
    EXPECT_EQ(tagLen, len2);
    writer.Flush();
    EXPECT_EQ(0, writer.Finished());
    EXPECT_EQ(0, writer.GetLastWriteError());

    Bytes file = ReadFile(path);
    EXPECT_EQ(end, file.size());
    auto tags = ParseTags(file);
    ASSERT_EQ(3u, tags.size());
    auto meta = MetaEntries(tags[0].body);
    ASSERT_EQ(9u, meta.size());
    EXPECT_EQ("duration", meta[0].first);
    EXPECT_EQ(42.0, meta[0].second);
    EXPECT_EQ((Bytes{0x17, 0x01, 0, 0, 0, 'v', 'i', 'd'}), tags[1].body);
    EXPECT_EQ((Bytes{0xAF, 0x01, 's', 'o', 'u', 'n', 'd'}), tags[2].body);
    EXPECT_EQ(23u, tags[2].timeStamp);

    // Reopen mode patches a finished file in place without a new header.
    CFlvWriter patcher;
    ASSERT_EQ(0, patcher.Init(path, 0, 1, 2));
    EXPECT_EQ(0u, patcher.GetPos());
    ASSERT_EQ(0, patcher.Seek(static_cast<long>(tagPos), 0));
    ASSERT_EQ(0, patcher.CreateMetaData(7, 320, 240, 0, 0, 7, 0, 0.0, 10, 0, pos2, len2, 1));
    patcher.Finished();
    Bytes patched = ReadFile(path);
    EXPECT_EQ(file.size(), patched.size());
    EXPECT_EQ(7.0, MetaEntries(ParseTags(patched)[0].body)[0].second);
}

TEST(FlvWriter, StreamFormsCheckStreamAndPayload) {
    TempDir dir;
    WriterLog log;
    std::string path = dir.File("streams.flv");
    CFlvWriter writer;
    ASSERT_EQ(0, writer.Init(path, 0, 0, 2));
    EXPECT_EQ(10008, writer.WriteAudio(0, std::string("x"), 0));
    EXPECT_TRUE(log.Contains(0, "Assert failed: streamId < m_audio_array.size()]"));
    EXPECT_EQ(10008, writer.WriteVideo(0, FLV_FRAME_KEY, std::string("x"), 0));
    EXPECT_TRUE(log.Contains(0, "Assert failed: streamId < m_video_array.size()]"));
    CDataPackage payload(3, "abc", CDataPackage::FLAG_NONE, 3);
    EXPECT_EQ(10008, writer.WriteVideo(0, FLV_FRAME_KEY, payload, 0));

    unsigned long a0, a1, v0;
    writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, a0);
    writer.CreateAudioStream(FLV_SOUND_MP3, FLV_RATE_22KHZ, 0, 1, a1);
    writer.CreateVideoStream(FLV_CODEC_AVC, v0);
    EXPECT_EQ(1u, a1);
    EXPECT_EQ(10008, writer.WriteAudio(a0, std::string(), 0));
    EXPECT_TRUE(log.Contains(0, "Assert failed: !payload.empty()]"));
    EXPECT_EQ(10008, writer.WriteVideo(v0, FLV_FRAME_KEY, std::string(), 0));
    EXPECT_EQ(10008, writer.WriteAudio(2, std::string("x"), 0));

    EXPECT_EQ(0, writer.WriteAudio(a1, std::string("mp3"), 10));
    EXPECT_EQ(0, writer.WriteVideo(v0, FLV_FRAME_INTER, std::string("\x01\x00\x00\x00", 4), 20));
    EXPECT_EQ(0, writer.WriteVideo(v0, FLV_FRAME_KEY, payload, 30));
    // The caller keeps its package, unchained and unconsumed.
    EXPECT_EQ(nullptr, payload.GetNext());
    EXPECT_EQ(3u, payload.GetPackageLength());

    auto script = Package(std::string("\x02\x00\x01x", 4));
    EXPECT_EQ(0, writer.WriteData(40, *script, 1, 0, nullptr));
    EXPECT_EQ(0, writer.WriteData(50, *script, 0, 0, nullptr));
    EXPECT_EQ(0, writer.Write(60, *script, TAG_TYPE_AUDIO));
    EXPECT_EQ(0, writer.Write(70, *script, TAG_TYPE_VIDEO));
    EXPECT_EQ(0, writer.Write(80, *script, static_cast<TagType>(0x33)));
    writer.Finished();

    auto tags = ParseTags(ReadFile(path));
    ASSERT_EQ(8u, tags.size());
    EXPECT_EQ((Bytes{0x2A, 'm', 'p', '3'}), tags[0].body);
    EXPECT_EQ(1u, tags[0].streamId);
    EXPECT_EQ((Bytes{0x27, 0x01, 0, 0, 0}), tags[1].body);
    EXPECT_EQ((Bytes{0x17, 'a', 'b', 'c'}), tags[2].body);
    EXPECT_EQ(9u, tags[2].type);
    EXPECT_EQ((Bytes{0x02, 0x00, 0x01, 'x'}), tags[3].body);
    EXPECT_EQ(18u, tags[3].type);
    EXPECT_EQ((Bytes{0x02, 0x00, 0x01, 'x', 0, 0, 9}), tags[4].body);
    EXPECT_EQ(8u, tags[5].type);
    EXPECT_EQ(9u, tags[6].type);
    EXPECT_EQ(18u, tags[7].type);
    EXPECT_EQ(80u, tags[7].timeStamp);
}

TEST(FlvWriter, FinishedTwiceAndWriteAfterFinished) {
    TempDir dir;
    CFlvWriter writer;
    EXPECT_EQ(0, writer.Finished());  // also without a file
    ASSERT_EQ(0, writer.Init(dir.File("fin.flv"), 0, 0, 2));
    unsigned long id;
    writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, id);
    EXPECT_EQ(0, writer.Finished());
    EXPECT_EQ(0, writer.Finished());
    EXPECT_EQ(10015, writer.WriteAudio(id, std::string("x"), 0));
    unsigned long pos, len;
    EXPECT_EQ(10015, writer.CreateMetaData(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, pos, len, 1));
    writer.Flush();  // harmless without a file
    EXPECT_EQ(0xFFFFFFFFul, writer.GetPos());

    // A writer can be initialised again; streams stay declared.
    ASSERT_EQ(0, writer.Init(dir.File("again.flv"), 0, 0, 0));
    EXPECT_EQ(0, writer.WriteAudio(id, std::string("x"), 0));
    EXPECT_EQ(13u + 17u, writer.GetPos());
}

TEST(FlvWriter, RecordsFailedWrites) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    CFlvWriter writer;
    ASSERT_EQ(0, writer.Init("/dev/full", 0, 0, 2));
    unsigned long id;
    writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, id);
    // The write forms still return 0; the failure is kept for the caller.
    EXPECT_EQ(0, writer.WriteAudio(id, std::string(100, 'x'), 0));
    EXPECT_EQ(0, writer.WriteAudio(id, std::string(3 * 1024 * 1024, 'y'), 10));
    writer.Flush();
    EXPECT_EQ(0, writer.Finished());
    EXPECT_EQ(ENOSPC, writer.GetLastWriteError());

    // Small writes that only fail when flushed are recorded as well.
    ASSERT_EQ(0, writer.Init("/dev/full", 0, 0, 2));
    EXPECT_EQ(0, writer.GetLastWriteError());
    EXPECT_EQ(0, writer.WriteAudio(id, std::string(10, 'x'), 0));
    writer.Flush();
    EXPECT_EQ(ENOSPC, writer.GetLastWriteError());
    writer.Finished();

    TempDir dir;
    ASSERT_EQ(0, writer.Init(dir.File("ok.flv"), 0, 0, 2));
    EXPECT_EQ(0, writer.GetLastWriteError());
}

// ---------------------------------------------------------------------------
// A real recording checked by outside tools: H.264 from x264 and AAC from
// FFmpeg's encoder, repacked into FLV tags the way the engine does it.

bool HaveTool(const char* name) {
    std::string cmd = std::string("command -v ") + name + " > /dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string RunCapture(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return "popen failed";
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (status != 0) out += "\n[exit status " + std::to_string(status) + "]";
    return out;
}

// The NAL units of an Annex B stream, without start codes.
std::vector<Bytes> SplitAnnexB(const Bytes& s) {
    std::vector<Bytes> nals;
    std::size_t i = 0, start = std::string::npos;
    while (i + 3 <= s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (start != std::string::npos) {
                std::size_t end = i;
                while (end > start && s[end - 1] == 0) --end;
                nals.emplace_back(s.begin() + start, s.begin() + end);
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::string::npos && start < s.size()) nals.emplace_back(s.begin() + start, s.end());
    return nals;
}

void AppendBe(std::string& out, unsigned v, int n) {
    for (int i = n - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct Frame {
    unsigned timeStamp;
    bool audio;
    bool key;
    std::string payload;  // behind the first body byte
};

TEST(FlvWriter, RecordingPassesFlvmetaAndFfmpeg) {
    if (!HaveTool("ffmpeg") || !HaveTool("flvmeta")) GTEST_SKIP() << "ffmpeg or flvmeta missing";
    TempDir dir;
    std::string h264 = dir.File("v.h264"), aac = dir.File("a.aac"), flv = dir.File("rec.flv");
    ASSERT_EQ("", RunCapture("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=15 -t 1 "
                             "-c:v libx264 -bf 0 -pix_fmt yuv420p -f h264 '" + h264 + "'"));
    ASSERT_EQ("", RunCapture("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100 "
                             "-ac 2 -t 1 -c:a aac -f adts '" + aac + "'"));

    // Video: SPS/PPS into the AVC sequence header, every picture as
    // length-prefixed NAL units (with the SEI that precedes it).
    Bytes sps, pps;
    std::vector<Frame> frames;
    std::string pending;
    unsigned picture = 0;
    for (const Bytes& nal : SplitAnnexB(ReadFile(h264))) {
        ASSERT_FALSE(nal.empty());
        int type = nal[0] & 0x1F;
        if (type == 7) {
            sps = nal;
        } else if (type == 8) {
            pps = nal;
        } else {
            AppendBe(pending, static_cast<unsigned>(nal.size()), 4);
            pending.append(nal.begin(), nal.end());
            if (type == 1 || type == 5) {
                std::string payload = std::string("\x01\x00\x00\x00", 4) + pending;
                frames.push_back({picture * 1000 / 15, false, type == 5, payload});
                ++picture;
                pending.clear();
            }
        }
    }
    ASSERT_GE(sps.size(), 4u);
    ASSERT_FALSE(pps.empty());
    ASSERT_EQ(15u, picture);
    std::string avcConfig = std::string("\x00\x00\x00\x00\x01", 5);
    avcConfig.append(sps.begin() + 1, sps.begin() + 4);
    avcConfig += "\xFF\xE1";
    AppendBe(avcConfig, static_cast<unsigned>(sps.size()), 2);
    avcConfig.append(sps.begin(), sps.end());
    avcConfig += '\x01';
    AppendBe(avcConfig, static_cast<unsigned>(pps.size()), 2);
    avcConfig.append(pps.begin(), pps.end());

    // Audio: the configuration from the first ADTS header, then the raw frames.
    Bytes adts = ReadFile(aac);
    std::string aacConfig;
    unsigned audioFrames = 0;
    for (std::size_t pos = 0; pos + 7 <= adts.size();) {
        ASSERT_EQ(0xFF, adts[pos]);
        unsigned frameLen = ((adts[pos + 3] & 3u) << 11) | (adts[pos + 4] << 3) | (adts[pos + 5] >> 5);
        unsigned headerLen = (adts[pos + 1] & 1) ? 7 : 9;
        ASSERT_LE(pos + frameLen, adts.size());
        if (aacConfig.empty()) {
            char config[5];
            unsigned configLen = sizeof(config);
            ASSERT_EQ(1, GetAACConfigureFromAdts(reinterpret_cast<const char*>(&adts[pos]), 7, config, &configLen));
            aacConfig = std::string(1, '\0') + std::string(config, configLen);
        }
        std::string payload = "\x01" + std::string(adts.begin() + pos + headerLen, adts.begin() + pos + frameLen);
        frames.push_back({static_cast<unsigned>(audioFrames * 1024ull * 1000 / 44100), true, false, payload});
        ++audioFrames;
        pos += frameLen;
    }
    ASSERT_GT(audioFrames, 30u);
    std::stable_sort(frames.begin(), frames.end(),
                     [](const Frame& a, const Frame& b) { return a.timeStamp < b.timeStamp; });

    const unsigned timeBase = 5000;  // as from the engine clock
    CFlvWriter writer;
    unsigned long audioId = 0, videoId = 0, metaPos = 0, metaLen = 0;
    writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, audioId);
    writer.CreateVideoStream(FLV_CODEC_AVC, videoId);
    ASSERT_EQ(0, writer.Init(flv, timeBase, 0, 2));
    ASSERT_EQ(0, writer.CreateMetaData(0, 320, 240, 0, 0, 7, 0, 0.0, 10, 0, metaPos, metaLen, 1));
    ASSERT_EQ(0, writer.WriteVideo(videoId, FLV_FRAME_KEY, avcConfig, timeBase));
    ASSERT_EQ(0, writer.WriteAudio(audioId, aacConfig, timeBase));
    for (const Frame& f : frames) {
        if (f.audio) {
            // The engine's form: the first body byte already in front.
            std::string body = "\xAF" + f.payload;
            CDataPackage pkg(body.size(), body.data(), CDataPackage::FLAG_NONE, body.size());
            ASSERT_EQ(0, writer.WriteAudio(timeBase + f.timeStamp, pkg, audioId, nullptr));
        } else {
            CDataPackage pkg(f.payload.size(), f.payload.data(), CDataPackage::FLAG_NONE, f.payload.size());
            ASSERT_EQ(0, writer.WriteVideo(videoId, f.key ? FLV_FRAME_KEY : FLV_FRAME_INTER, pkg,
                                           timeBase + f.timeStamp));
        }
    }
    ASSERT_EQ(0, writer.Seek(static_cast<long>(metaPos), 0));
    ASSERT_EQ(0, writer.CreateMetaData(1, 320, 240, 0, 0, 7, 0, 0.0, 10, 0, metaPos, metaLen, 1));
    writer.Flush();
    ASSERT_EQ(0, writer.Finished());
    ASSERT_EQ(0, writer.GetLastWriteError());

    std::string check = RunCapture("flvmeta --check '" + flv + "'");
    EXPECT_NE(std::string::npos, check.find("0 error(s)")) << check;
    EXPECT_EQ(std::string::npos, check.find("[exit status")) << check;
    EXPECT_EQ("", RunCapture("ffmpeg -nostdin -v error -i '" + flv + "' -f null -"));
    if (HaveTool("ffprobe")) {
        std::string counts = RunCapture("ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames "
                                        "-of csv=p=0 '" + flv + "'");
        EXPECT_NE(std::string::npos, counts.find("h264,15")) << counts;
        EXPECT_NE(std::string::npos, counts.find("aac,")) << counts;
    }
}

}  // namespace
