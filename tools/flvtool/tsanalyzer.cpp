#include "tsanalyzer.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstring>
#include <memory>

#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"
#include "flvinput.h"
#include "flvio/ts/tsreader.h"
#include "flvio/ts/tswriter.h"
#include "jsonwriter.h"
#include "stopsignals.h"

bool CTsAnalyzer::LooksLikeTs(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char head[8] = {};
    const std::size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (n >= 3 && std::memcmp(head, "FLV", 3) == 0) return false;
    return (n >= 1 && head[0] == 0x47) || (n >= 5 && head[4] == 0x47);
}

const char* CTsAnalyzer::CodecName(int codec) {
    switch (codec) {
        case CODEC_ID_H264: return "H.264";
        case CODEC_ID_AAC: return "AAC";
        case CODEC_ID_MP3: return "MP3";
        case CODEC_ID_MPEG1VIDEO: return "MPEG-1 video";
        case CODEC_ID_MPEG2VIDEO: return "MPEG-2 video";
        case CODEC_ID_MPEG4: return "MPEG-4 video";
        case CODEC_ID_AAC_LATM: return "AAC LATM";
        case CODEC_ID_AC3: return "AC-3";
        case CODEC_ID_EAC3: return "E-AC-3";
        case CODEC_ID_DTS: return "DTS";
        default: return "other";
    }
}

void CTsAnalyzer::Count(const CTsTag& tag) {
    ++m_nTags;
    // Tags carry no PID: audio tags belong to the audio stream, NAL units to
    // the H.264 stream (one of each is what the reader turns into tags).
    const bool audio = tag.GetType() == CTsTag::TS_TAG_AAC || tag.GetType() == CTsTag::TS_TAG_MP3;
    for (StreamFacts& s : m_streams) {
        const bool match = audio ? (s.nCodec == (tag.GetType() == CTsTag::TS_TAG_AAC ? CODEC_ID_AAC : CODEC_ID_MP3))
                                 : s.nCodec == CODEC_ID_H264;
        if (!match) continue;
        ++s.nTags;
        if (!audio && tag.GetType() == 5) ++s.nKeyFrames;
        if (tag.GetTimeStamp() >= 0) {
            if (s.nFirstPts < 0) s.nFirstPts = tag.GetTimeStamp();
            s.nLastPts = tag.GetTimeStamp();
        }
        return;
    }
}

int CTsAnalyzer::Read(const std::string& path, bool follow, bool printTags, unsigned pollMs) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        m_strError = "cannot open " + path + ": " + std::strerror(errno);
        return INSPECT_FAILED;
    }
    std::unique_ptr<CStopSignals> stop;
    if (follow) stop = std::make_unique<CStopSignals>();
    CTSReader reader;
    int rv = reader.Init(path, 0, follow ? 0 : 1, 0);
    if (rv != 0) {
        m_strError = rv == UC_ERR_BAD_DATA ? "damaged file at offset 0: no transport stream packets"
                                 : "cannot open " + path + ": " + std::strerror(rv);
        return rv == UC_ERR_BAD_DATA ? INSPECT_DAMAGED : INSPECT_FAILED;
    }
    bool stopping = false;
    CTsTagList tags;
    int result = INSPECT_OK;
    for (;;) {
        tags.clear();
        rv = reader.mpegts_read_packet(tags);
        if (m_streams.empty()) {
            for (const CTSReader::StreamInfo& s : reader.GetStreams()) {
                StreamFacts f;
                f.nPid = s.nPid;
                f.nStreamType = s.nStreamType;
                f.nCodec = s.nCodec;
                m_streams.push_back(f);
            }
        }
        for (const CTsTagPtr& tag : tags) {
            Count(*tag.Get());
            if (printTags) {
                const std::size_t size = tag->GetData() ? tag->GetData()->GetPackageLength() : 0;
                std::fprintf(m_pOut, "%-5s %3d %8zu %12" PRId64 " %12" PRId64 "\n",
                             tag->GetType() == CTsTag::TS_TAG_AAC   ? "aac"
                             : tag->GetType() == CTsTag::TS_TAG_MP3 ? "mp3"
                                                                    : "nal",
                             tag->GetType(), size, tag->GetTimeStamp(), tag->GetDts());
            }
        }
        if (printTags && follow) std::fflush(m_pOut);
        if (rv == CTSReader::TS_READ_OK) continue;
        if (rv == CTSReader::TS_READ_AGAIN && follow && !stopping) {
            if (stop->WaitForStop(pollMs)) {
                stopping = true;
                reader.Finished(path, 0, 1);
            }
            continue;
        }
        const std::uint64_t size = CFlvInput::FileSize(path);
        if (rv == CTSReader::TS_READ_END && static_cast<std::uint64_t>(reader.GetPosition()) < size) {
            m_strError = "damaged file at offset " + std::to_string(reader.GetPosition()) +
                         ": no sync byte in the next 65536 bytes";
            result = INSPECT_DAMAGED;
        }
        break;
    }
    m_nPacketSize = reader.GetPacketSize();
    m_nPackets = reader.GetPacketCount();
    m_nContinuityErrors = reader.GetContinuityErrors();
    m_pmtPids = reader.GetPmtPids();
    if (result == INSPECT_OK && m_streams.empty()) {
        m_strError = "damaged file at offset " + std::to_string(reader.GetPosition()) +
                     ": no program map table with a stream";
        result = INSPECT_DAMAGED;
    }
    return result;
}

int CTsAnalyzer::Info(const std::string& path, bool json) {
    const int rv = Read(path, false, false, 0);
    if (rv == INSPECT_FAILED) return rv;
    if (json) {
        PrintJson(path);
    } else {
        PrintText(path);
    }
    return rv;
}

int CTsAnalyzer::Dump(const std::string& path, bool follow, unsigned pollMs) {
    std::fprintf(m_pOut, "%-5s %3s %8s %12s %12s\n", "kind", "nal", "size", "pts", "dts");
    return Read(path, follow, true, pollMs);
}

void CTsAnalyzer::PrintText(const std::string& path) const {
    std::fprintf(m_pOut, "file: %s\n", path.c_str());
    std::fprintf(m_pOut, "format: MPEG-TS, %d-byte packets, %" PRIu64 " packets\n", m_nPacketSize, m_nPackets);
    for (int pid : m_pmtPids) std::fprintf(m_pOut, "program map table: PID 0x%04x\n", pid);
    for (const StreamFacts& s : m_streams) {
        std::fprintf(m_pOut, "stream: PID 0x%04x (%d), stream type 0x%02x, %s, %" PRIu64 " tags", s.nPid, s.nPid,
                     s.nStreamType, CodecName(s.nCodec), s.nTags);
        if (s.nCodec == CODEC_ID_H264) std::fprintf(m_pOut, ", %" PRIu64 " key frames", s.nKeyFrames);
        if (s.nFirstPts >= 0) {
            std::fprintf(m_pOut, ", PTS %" PRId64 " .. %" PRId64 " (%.3f s .. %.3f s)", s.nFirstPts, s.nLastPts,
                         s.nFirstPts / 90000.0, s.nLastPts / 90000.0);
        }
        std::fputc('\n', m_pOut);
    }
    std::fprintf(m_pOut, "continuity errors: %" PRIu64 "\n", m_nContinuityErrors);
}

void CTsAnalyzer::PrintJson(const std::string& path) const {
    CJsonWriter json;
    json.BeginObject();
    json.Key("file");
    json.String(path);
    json.Key("format");
    json.String("mpegts");
    json.Key("packetSize");
    json.Integer(m_nPacketSize);
    json.Key("packets");
    json.Unsigned(m_nPackets);
    json.Key("pmtPids");
    json.BeginArray();
    for (int pid : m_pmtPids) json.Integer(pid);
    json.EndArray();
    json.Key("streams");
    json.BeginArray();
    for (const StreamFacts& s : m_streams) {
        json.BeginObject();
        json.Key("pid");
        json.Integer(s.nPid);
        json.Key("streamType");
        json.Integer(s.nStreamType);
        json.Key("codec");
        json.String(CodecName(s.nCodec));
        json.Key("tags");
        json.Unsigned(s.nTags);
        if (s.nCodec == CODEC_ID_H264) {
            json.Key("keyFrames");
            json.Unsigned(s.nKeyFrames);
        }
        json.Key("firstPts");
        json.Integer(s.nFirstPts);
        json.Key("lastPts");
        json.Integer(s.nLastPts);
        json.EndObject();
    }
    json.EndArray();
    json.Key("continuityErrors");
    json.Unsigned(m_nContinuityErrors);
    json.EndObject();
    std::fprintf(m_pOut, "%s\n", json.GetText().c_str());
}
