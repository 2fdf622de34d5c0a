// FLV files made by ffmpeg, read tag by tag with CFlvReader and compared with
// what ffprobe reports: frame counts, time stamps, key frames and the
// onMetaData values.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "amfcodec/amf.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"

#include "../basekit/tests/logcapture.h"
#include "validationsupport.h"

using namespace validation;

namespace {

bool HaveProbeTools() { return HaveProgram("ffmpeg") && HaveProgram("ffprobe"); }

// The frame tags (sequence headers aside) of one stream must match ffprobe's
// packets of that stream one for one: FLV time stamp = dts, time stamp plus
// composition time = pts, key frames where ffprobe flags them.
void ExpectFramesMatch(const std::vector<TagRecord>& tags, const std::vector<ProbePacket>& packets,
                       TagType type, const std::string& codecType) {
    std::vector<const TagRecord*> frames;
    for (const TagRecord& t : tags) {
        if (t.type == type && t.bFrame) frames.push_back(&t);
    }
    std::vector<const ProbePacket*> probed;
    for (const ProbePacket& p : packets) {
        if (p.strType == codecType) probed.push_back(&p);
    }
    ASSERT_EQ(frames.size(), probed.size()) << codecType;
    ASSERT_FALSE(frames.empty()) << codecType;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->dwTimeStamp, probed[i]->nDts) << codecType << " frame " << i;
        EXPECT_EQ(frames[i]->dwTimeStamp + frames[i]->nCompositionTime, probed[i]->nPts)
            << codecType << " frame " << i;
        if (type == TAG_TYPE_VIDEO) {
            EXPECT_EQ(frames[i]->bKey, probed[i]->bKey) << "video frame " << i;
        }
    }
}

struct MetaValues {
    std::unique_ptr<CFlvioData> data;
    int nResult = -1;
    const CAmfType* Get(const std::string& key) const {
        return data && data->GetValue() ? data->GetValue()->GetValue(key) : nullptr;
    }
    double Number(const std::string& key) const {
        const CAmfType* v = Get(key);
        return v && v->GetType() == AMF_NUMBER ? static_cast<const CAmfNumber*>(v)->GetValue() : NAN;
    }
};

MetaValues DecodeMetaData(const std::vector<TagRecord>& tags) {
    MetaValues meta;
    for (const TagRecord& t : tags) {
        if (t.type != TAG_TYPE_SCRIPT) continue;
        CDataPackage body(t.strBody.size(), t.strBody.data(), CDataPackage::FLAG_NONE, t.strBody.size());
        meta.data = std::make_unique<CFlvioData>(body, 1);
        meta.nResult = meta.data->Decode();
        break;
    }
    return meta;
}

double ProbeNumber(const std::map<std::string, std::string>& probe, const std::string& key) {
    auto it = probe.find(key);
    return it == probe.end() ? NAN : std::atof(it->second.c_str());
}

// ffprobe's frame rate "15/1" as a number.
double ProbeRate(const std::map<std::string, std::string>& probe, const std::string& key) {
    auto it = probe.find(key);
    if (it == probe.end()) return NAN;
    const std::size_t slash = it->second.find('/');
    if (slash == std::string::npos) return std::atof(it->second.c_str());
    const double den = std::atof(it->second.c_str() + slash + 1);
    return den ? std::atof(it->second.substr(0, slash).c_str()) / den : NAN;
}

void CheckFile(const std::string& name, bool audio, bool video) {
    const std::string path = Media(name);
    ASSERT_FALSE(path.empty()) << "ffmpeg could not make " << name;
    int rv = 0;
    const std::vector<TagRecord> tags = ReadTags(path, &rv);
    EXPECT_EQ(rv, 10015) << "the reader must end cleanly";
    const std::vector<ProbePacket> packets = ProbePackets(path);
    if (audio) ExpectFramesMatch(tags, packets, TAG_TYPE_AUDIO, "audio");
    if (video) ExpectFramesMatch(tags, packets, TAG_TYPE_VIDEO, "video");
    for (const TagRecord& t : tags) {
        if (!audio) {
            EXPECT_NE(t.type, TAG_TYPE_AUDIO);
        }
        if (!video) {
            EXPECT_NE(t.type, TAG_TYPE_VIDEO);
        }
    }

    const MetaValues meta = DecodeMetaData(tags);
    ASSERT_TRUE(meta.data && meta.data->GetValue()) << "no onMetaData in " << name;
    EXPECT_EQ(meta.data->GetName(), "onMetaData");
    const auto probe = ProbeFormat(path);
    EXPECT_NEAR(meta.Number("duration"), ProbeNumber(probe, "format.duration"), 0.0005);
    const std::string v = "streams.stream.0.", a = video ? "streams.stream.1." : "streams.stream.0.";
    if (video) {
        EXPECT_EQ(probe.at(v + "codec_name"), "h264");
        EXPECT_EQ(meta.Number("videocodecid"), 7);
        EXPECT_EQ(meta.Number("width"), ProbeNumber(probe, v + "width"));
        EXPECT_EQ(meta.Number("height"), ProbeNumber(probe, v + "height"));
        EXPECT_EQ(meta.Number("framerate"), ProbeRate(probe, v + "r_frame_rate"));
    }
    if (audio) {
        EXPECT_EQ(probe.at(a + "codec_name"), "aac");
        EXPECT_EQ(meta.Number("audiocodecid"), 10);
        EXPECT_EQ(meta.Number("audiosamplerate"), ProbeNumber(probe, a + "sample_rate"));
        const CAmfType* stereo = meta.Get("stereo");
        ASSERT_TRUE(stereo && stereo->GetType() == AMF_BOOLEAN);
        EXPECT_EQ(static_cast<const CAmfBoolean*>(stereo)->GetValue() != 0,
                  ProbeNumber(probe, a + "channels") == 2);
    }
}

}  // namespace

TEST(ReaderVsFfprobe, FramesTimeStampsAndMetaDataMatch) {
    if (!HaveProbeTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    CheckFile("av.flv", true, true);
    CheckFile("video.flv", false, true);
    CheckFile("audio.flv", true, false);
}

// With -flvflags add_keyframe_index onMetaData holds the object "keyframes"
// with two strict arrays. The decoder does not take strict arrays: it logs
// "don't support type=10" as a warning and drops the property; the reader
// then goes on with every following tag.
TEST(ReaderVsFfprobe, KeyframeIndexWithStrictArraysIsReportedAndReadingGoesOn) {
    if (!HaveProbeTools()) GTEST_SKIP() << "ffmpeg/ffprobe missing";
    const std::string path = Media("keyframes.flv");
    ASSERT_FALSE(path.empty());
    int rv = 0;
    const std::vector<TagRecord> tags = ReadTags(path, &rv);
    EXPECT_EQ(rv, 10015);
    const std::vector<ProbePacket> packets = ProbePackets(path);
    ExpectFramesMatch(tags, packets, TAG_TYPE_AUDIO, "audio");
    ExpectFramesMatch(tags, packets, TAG_TYPE_VIDEO, "video");

    CLogCapture log;
    const int level = CLogWrapper::Instance()->GetLogLevel();
    CLogWrapper::Instance()->SetLogLevel(CLogWrapper::LOG_INFO);
    const MetaValues meta = DecodeMetaData(tags);
    CLogWrapper::Instance()->SetLogLevel(level);
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_WARNING, "CAmfSimpleKeyValue::Decode,don't support type=10"));
    EXPECT_TRUE(log.Contains(CLogWrapper::LOG_INFO, "name=filepositions, amfType=10"));
    // The properties in front of "keyframes" are there with ffprobe's values.
    const auto probe = ProbeFormat(path);
    EXPECT_NEAR(meta.Number("duration"), ProbeNumber(probe, "format.duration"), 0.0005);
    EXPECT_EQ(meta.Number("width"), ProbeNumber(probe, "streams.stream.0.width"));
    EXPECT_EQ(meta.Number("height"), ProbeNumber(probe, "streams.stream.0.height"));
    EXPECT_EQ(meta.Number("audiosamplerate"), ProbeNumber(probe, "streams.stream.1.sample_rate"));
    EXPECT_EQ(meta.Get("keyframes"), nullptr) << "the object holding strict arrays is dropped";
}
