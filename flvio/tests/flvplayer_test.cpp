#include "flvio/flvplayer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../../basekit/tests/logcapture.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"

namespace {

namespace fs = std::filesystem;

// Opens the protected index functions to the tests.
class TestPlayer : public CFLVPlayer {
public:
    using CFLVPlayer::BuildAVIndex;
    using CFLVPlayer::BuildDataIndex;
    using CFLVPlayer::GetSubStringFromXMLElement;
    using CFLVPlayer::SetEndPos;
    const std::vector<AVIndexEntry>& AVIndex() const { return m_avIndex; }
    const std::vector<DataIndexEntry>& DataIndex() const { return m_dataIndex; }
};

// Builds an FLV file in memory and remembers where each tag starts.
class FileBuilder {
public:
    FileBuilder(unsigned short audioCount, unsigned short videoCount) {
        CFlvioHeader header(audioCount, videoCount);
        CFlashStream stream(CFlvioHeader::GetEncodeLen());
        header.Encode(stream);
        m_bytes = stream.GetBuf().FlattenPackage();
    }
    FileBuilder& Tag(TagType type, unsigned timeStamp, const std::string& body,
                     unsigned streamId = 0) {
        CDataPackage pkg(body.size(), body.data(), CDataPackage::FLAG_NONE, body.size());
        CFlvioTag tag(type, timeStamp, pkg, streamId);
        CFlashStream stream(tag.GetEncodeLen());
        tag.Encode(stream);
        m_pos.push_back(m_bytes.size());
        m_bytes += stream.GetBuf().FlattenPackage();
        return *this;
    }
    const std::string& Bytes() const { return m_bytes; }
    unsigned long Pos(std::size_t i) const { return m_pos.at(i); }

private:
    std::string m_bytes;
    std::vector<unsigned long> m_pos;
};

const std::string kEnd("\x00\x00\x09", 3);

class FlvPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "flvplayer_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // The player opens names below the cache home: name a file of the test
    // folder relative to it.
    std::string NameOf(const std::string& file) const {
        return fs::relative(m_dir / file, fs::canonical(GetRPHome(1))).string();
    }
    std::string Write(const std::string& file, const std::string& bytes) const {
        std::ofstream(m_dir / file, std::ios::binary | std::ios::trunc) << bytes;
        return NameOf(file);
    }

    fs::path m_dir;
};

struct Package {
    unsigned long timeStamp = 0;
    unsigned long streamId = 0;
    TagType type = TAG_TYPE_AUDIO;
    int key = -1;
    std::string body;
};

int Next(CFLVPlayer& player, Package& out) {
    CDataPackage* body = nullptr;
    int rv = player.ReadNextPackage(out.timeStamp, out.streamId, out.type, out.key, body);
    if (rv == 0) {
        out.body = body->FlattenPackage();
        body->DestroyPackage();
    }
    return rv;
}

TEST_F(FlvPlayerTest, StartPlainAndMultiStreamFiles) {
    std::string plain = Write("plain.flv", FileBuilder(1, 1).Tag(TAG_TYPE_VIDEO, 0, "\x17k").Bytes());
    CDataPackage sentinel(1);
    CDataPackage* first = &sentinel;
    CDataPackage* second = &sentinel;
    CDataPackage* third = &sentinel;
    unsigned short audio = 99, video = 99;
    CFLVPlayer player;
    ASSERT_EQ(player.Start(plain, 1, audio, video, first, second, third), 0);
    EXPECT_EQ(first, &sentinel);
    EXPECT_EQ(second, &sentinel);
    EXPECT_EQ(third, &sentinel);
    EXPECT_EQ(audio, 0);  // flags 0x05 read back by the multi-stream rules
    EXPECT_EQ(video, 1);
    Package p;
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\x17k");
    player.Stop();

    std::string multi = Write("multi.flv", FileBuilder(2, 1)
                                               .Tag(TAG_TYPE_SCRIPT, 0, "first-body")
                                               .Tag(TAG_TYPE_SCRIPT, 0, "second" + kEnd)
                                               .Tag(TAG_TYPE_VIDEO, 0, "\x17v")
                                               .Bytes());
    ASSERT_EQ(player.Start(multi, 1, audio, video, first, second, third), 0);
    EXPECT_EQ(audio, 2);
    EXPECT_EQ(video, 1);
    ASSERT_NE(first, &sentinel);
    ASSERT_NE(second, &sentinel);
    EXPECT_EQ(third, &sentinel);
    EXPECT_EQ(first->FlattenPackage(), "first-body");
    EXPECT_EQ(second->FlattenPackage(), "second");
    first->DestroyPackage();
    second->DestroyPackage();
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\x17v");
    EXPECT_EQ(p.key, 1);
    player.Stop();

    // A second script body without its end marker is handed out as it is.
    CLogCapture log;
    std::string unmarked = Write("unmarked.flv", FileBuilder(1, 3)
                                                     .Tag(TAG_TYPE_SCRIPT, 0, "a")
                                                     .Tag(TAG_TYPE_SCRIPT, 0, "second!")
                                                     .Bytes());
    ASSERT_EQ(player.Start(unmarked, 1, audio, video, first, second, third), 0);
    EXPECT_EQ(video, 3);
    EXPECT_EQ(second->FlattenPackage(), "second!");
    EXPECT_EQ(log.Find(R"(Assert failed: memcmp(buf,"\x00\x00\x09",3) == 0)").size(), 1u);
    first->DestroyPackage();
    second->DestroyPackage();
    player.Stop();

    // A multi-stream file that lacks its second script tag does not start and
    // hands nothing out.
    first = second = &sentinel;
    std::string cut = Write("cut.flv", FileBuilder(2, 2).Tag(TAG_TYPE_SCRIPT, 0, "only").Bytes());
    EXPECT_EQ(player.Start(cut, 1, audio, video, first, second, third), 10015);
    EXPECT_EQ(first, &sentinel);
    EXPECT_EQ(second, &sentinel);
    EXPECT_EQ(log.Find("CFLVPlayer::Start, CAN'T START, RV=10015").size(), 1u);
}

TEST_F(FlvPlayerTest, StartRefusesBadNamesAndDoubleStart) {
    CLogCapture log;
    CFLVPlayer player;
    CDataPackage* first = nullptr;
    CDataPackage* second = nullptr;
    CDataPackage* third = nullptr;
    unsigned short audio = 0, video = 0;
    EXPECT_EQ(player.Start("", 1, audio, video, first, second, third), 10008);
    EXPECT_EQ(log.Find("Assert failed: !filename.empty()").size(), 1u);
    EXPECT_EQ(player.Start("noext", 1, audio, video, first, second, third), 10008);
    EXPECT_EQ(log.Find("CFLVPlayer::Start, wrong filename, filename=noext").size(), 1u);

    const std::string missing = NameOf("missing.flv");
    EXPECT_NE(player.Start(missing, 1, audio, video, first, second, third), 0);
    EXPECT_EQ(log.Find("CFLVPlayer::Start, can't open the file=" + std::string(GetRPHome(1)) + missing)
                  .size(),
              1u);
    EXPECT_EQ(log.Find("CFLVPlayer::Start, CAN'T START, RV=").size(), 1u);

    std::string name = Write("ok.flv", FileBuilder(1, 1).Bytes());
    ASSERT_EQ(player.Start(name, 1, audio, video, first, second, third), 0);
    EXPECT_EQ(player.Start(name, 1, audio, video, first, second, third), 10015);
    EXPECT_EQ(log.Find("Assert failed: !m_pReader").size(), 1u);
    player.Stop();
    EXPECT_EQ(player.Start(name, 1, audio, video, first, second, third), 0);
    player.Stop();

    Package p;
    EXPECT_EQ(Next(player, p), 10005);
}

TEST_F(FlvPlayerTest, ReadNextPackageHandsOutTags) {
    FileBuilder file(1, 1);
    file.Tag(TAG_TYPE_SCRIPT, 0, "meta" + kEnd)
        .Tag(TAG_TYPE_VIDEO, 0x01000001u, "\x17" "key")
        .Tag(TAG_TYPE_AUDIO, 0x01000010u, "\xAF" "aac", 3)
        .Tag(TAG_TYPE_VIDEO, 0x01000040u, "\x27" "inter")
        .Tag(TAG_TYPE_SCRIPT, 0x01000050u, "nomark");
    std::string name = Write("tags.flv", file.Bytes());
    TestPlayer player;
    CDataPackage* first = nullptr;
    CDataPackage* second = nullptr;
    CDataPackage* third = nullptr;
    unsigned short audio = 0, video = 0;
    ASSERT_EQ(player.Start(name, 1, audio, video, first, second, third), 0);

    Package p;
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.type, TAG_TYPE_SCRIPT);
    EXPECT_EQ(p.body, "meta");
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.type, TAG_TYPE_VIDEO);
    EXPECT_EQ(p.timeStamp, 0x01000001u);
    EXPECT_EQ(p.key, 1);
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.type, TAG_TYPE_AUDIO);
    EXPECT_EQ(p.streamId, 3u);
    EXPECT_EQ(p.key, 0);
    EXPECT_EQ(p.body, "\xAF" "aac");
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.key, 0);
    EXPECT_EQ(p.body, "\x27" "inter");
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "nomark");
    EXPECT_EQ(Next(player, p), 10015);
    player.Stop();

    // Reading stops at the end position.
    ASSERT_EQ(player.Start(name, 1, audio, video, first, second, third), 0);
    player.SetEndPos(file.Pos(2));
    ASSERT_EQ(Next(player, p), 0);
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(Next(player, p), 10001);
}

TEST_F(FlvPlayerTest, SkipJumpsThroughIndexAndWaitsForKeyFrame) {
    FileBuilder file(1, 1);
    file.Tag(TAG_TYPE_VIDEO, 0, "\x17" "k0")       // 0
        .Tag(TAG_TYPE_AUDIO, 10, "\xAF" "a10")     // 1
        .Tag(TAG_TYPE_VIDEO, 2500, "\x27" "i2500")  // 2
        .Tag(TAG_TYPE_VIDEO, 5000, "\x27" "i5000")  // 3
        .Tag(TAG_TYPE_AUDIO, 5010, "\xAF" "a5010")  // 4
        .Tag(TAG_TYPE_VIDEO, 5040, "\x27" "i5040")  // 5
        .Tag(TAG_TYPE_VIDEO, 5080, "\x17" "k5080")  // 6
        .Tag(TAG_TYPE_VIDEO, 10000, "\x27" "i10000");  // 7
    std::string name = Write("skip.flv", file.Bytes());
    TestPlayer player;
    const std::string index = std::string(R"(<?xml version="1.0" encoding="UTF-8"?><AVindex>)") +
                              R"(<index timestamp="0" pos=")" + std::to_string(file.Pos(0)) +
                              R"("/><index timestamp="5000" pos=")" + std::to_string(file.Pos(3)) +
                              R"("/><index timestamp="10000" pos=")" + std::to_string(file.Pos(7)) +
                              R"("/></AVindex>)";
    ASSERT_EQ(player.BuildAVIndex(index), 0);
    ASSERT_EQ(player.AVIndex().size(), 3u);

    CDataPackage* first = nullptr;
    CDataPackage* second = nullptr;
    CDataPackage* third = nullptr;
    unsigned short audio = 0, video = 0;
    ASSERT_EQ(player.Start(name, 1, audio, video, first, second, third), 0);
    Package p;
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\x17" "k0");

    CLogCapture log;
    EXPECT_EQ(player.Skip(4000), 0);
    EXPECT_EQ(log.Find("CFLVPlayer::Skip, time stamp=4000").size(), 1u);
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\xAF" "a5010");  // audio goes on while video waits
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\x17" "k5080");
    EXPECT_EQ(p.key, 1);

    EXPECT_EQ(player.Skip(20000), 0);
    EXPECT_EQ(log.Find("CFLVPlayer::Skip, can't find the skip time stamp=20000").size(), 1u);
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\x27" "i10000");  // no wait: nothing was skipped
    EXPECT_EQ(Next(player, p), 10015);

    EXPECT_EQ(player.Skip(0), 0);
    ASSERT_EQ(Next(player, p), 0);
    EXPECT_EQ(p.body, "\x17" "k0");
}

TEST_F(FlvPlayerTest, ParsesIndexTexts) {
    TestPlayer player;
    // Each index has its own header form.
    EXPECT_EQ(player.BuildAVIndex(R"(<?xml version="1.0" encoding="UTF-8" ?><AVindex><index timestamp="1" pos="2"/>)"),
              10001);
    EXPECT_EQ(player.BuildDataIndex(R"(<?xml version="1.0" encoding="UTF-8"?><DataIndex><pagechange title="t" id="1" timestamp="1" pos="2"/>)"),
              10001);
    EXPECT_TRUE(player.AVIndex().empty());
    EXPECT_TRUE(player.DataIndex().empty());

    EXPECT_EQ(player.BuildAVIndex(R"(<?xml version="1.0" encoding="UTF-8"?><AVindex>)"
                                  R"(<index timestamp="100" pos="13"/>)"
                                  R"(<index timestamp="200"/>)"
                                  R"(<index timestamp="300" pos="400"/></AVindex>)"),
              10001);
    ASSERT_EQ(player.AVIndex().size(), 2u);
    EXPECT_EQ(player.AVIndex()[0].dwTimeStamp, 100u);
    EXPECT_EQ(player.AVIndex()[0].dwPos, 13u);
    EXPECT_EQ(player.AVIndex()[1].dwTimeStamp, 300u);
    EXPECT_EQ(player.AVIndex()[1].dwPos, 400u);

    EXPECT_EQ(player.BuildDataIndex(R"(<?xml version="1.0" encoding="UTF-8" ?><DataIndex>)"
                                    R"(<pagechange title="Intro" id="7" timestamp="0" pos="13"/>)"
                                    R"(<pagechange title="Two" id="8" timestamp="3000" pos="900"/>)"
                                    R"(</DataIndex>)"),
              0);
    ASSERT_EQ(player.DataIndex().size(), 2u);
    EXPECT_EQ(player.DataIndex()[0].strTitle, "Intro");
    EXPECT_EQ(player.DataIndex()[0].strId, "7");
    EXPECT_EQ(player.DataIndex()[1].dwTimeStamp, 3000u);
    EXPECT_EQ(player.DataIndex()[1].dwPos, 900u);

    // An element that never ends stops the parse.
    EXPECT_EQ(player.BuildAVIndex(R"(<?xml version="1.0" encoding="UTF-8"?><AVindex><index timestamp="5" pos="6")"),
              10001);
    EXPECT_EQ(player.AVIndex().size(), 2u);

    std::string value = "kept";
    EXPECT_EQ(player.GetSubStringFromXMLElement(R"(<a x="1" y="22"/>)", "y=", value), 0);
    EXPECT_EQ(value, "22");
    EXPECT_EQ(player.GetSubStringFromXMLElement(R"(<a x="1"/>)", "y=", value), 10001);
    EXPECT_EQ(player.GetSubStringFromXMLElement(R"(<a y=1/>)", "y=", value), 10001);
    EXPECT_EQ(player.GetSubStringFromXMLElement(R"(<a y="1/>)", "y=", value), 10001);
    EXPECT_EQ(value, "22");
}

TEST_F(FlvPlayerTest, HaveCacheFile) {
    Write("cached.flv", "FLV");
    EXPECT_EQ(CFLVPlayer::HaveCacheFile(NameOf("cached.flv")), 1);
    EXPECT_EQ(CFLVPlayer::HaveCacheFile(NameOf("absent.flv")), 0);
    fs::create_directory(m_dir / "folder.flv");
    EXPECT_EQ(CFLVPlayer::HaveCacheFile(NameOf("folder.flv")), 0);
}

}  // namespace
