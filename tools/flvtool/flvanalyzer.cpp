#include "flvanalyzer.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"
#include "flvdamageprobe.h"
#include "flvio/flvreader.h"
#include "flvtaginfo.h"

namespace {

constexpr std::uint64_t kFirstTagOffset = 13;

// The whole body of a tag as bytes (sequence headers are small).
std::vector<std::uint8_t> BodyBytes(const CFlvioTag& tag) {
    std::vector<std::uint8_t> bytes;
    if (const CDataPackage* body = tag.GetData()) {
        bytes.resize(body->GetPackageLength());
        if (body->Peek(bytes.data(), bytes.size()) != 0) bytes.clear();
    }
    return bytes;
}

void CountTag(FlvStreamFacts& stream, const CFlvioTag& tag, const CFlvTagInfo& info,
              std::uint64_t offset) {
    const std::uint32_t ts = tag.GetTimeStampAll();
    if (stream.nTags == 0) {
        stream.dwFirstTimeStamp = ts;
        stream.nFirstOffset = offset;
    }
    if (stream.nTags == 0 || ts > stream.dwMaxTimeStamp) stream.dwMaxTimeStamp = ts;
    stream.dwLastTimeStamp = ts;
    ++stream.nTags;
    if (info.IsFrame()) ++stream.nFrames;
    if (info.IsFrame() && info.IsKeyFrame()) ++stream.nKeyFrames;
    if (info.IsSequenceHeader()) ++stream.nSequenceHeaders;
    if (!stream.bHaveFirstByte && tag.GetData() && tag.GetData()->GetPackageLength() > 0) {
        tag.GetData()->Peek(&stream.byFirstBodyByte, 1);
        stream.bHaveFirstByte = true;
    }
}

}  // namespace

int CFlvAnalyzer::Inspect(const std::string& path, FlvFacts& facts) {
    facts.strPath = path;
    m_strError = CFlvDamageProbe::CheckInput(path, facts.nFileSize);
    if (!m_strError.empty()) return INSPECT_CANNOT_OPEN;

    CFlvReader reader;
    int rv = reader.Init(path, 1, 0, 1);
    if (rv != 0) {
        m_strError = "cannot open " + path + ": " + std::strerror(rv);
        return INSPECT_CANNOT_OPEN;
    }
    CFlvDamageProbe probe(path, facts.nFileSize);
    CFlvioHeader header;
    rv = reader.ReadHeader(header);
    std::string headerDamage = probe.CheckHeader();
    if (rv != 0 && headerDamage.empty()) {
        headerDamage = "the header cannot be read (result " + std::to_string(rv) + ")";
    }
    if (rv == 0) {
        facts.bHaveHeader = true;
        std::memcpy(facts.szSignature, header.GetSignature(), 3);
        facts.nVersion = header.GetVersion();
        facts.nFlags = header.GetFlags();
        facts.dwDataOffset = header.GetDataOffset();
        header.GetAVNumber(facts.nAVNumberAudio, facts.nAVNumberVideo);
    }
    if (!headerDamage.empty()) {
        Damage(facts, 0, headerDamage);
        return INSPECT_DAMAGED;
    }

    std::uint64_t offset = kFirstTagOffset;
    for (;;) {
        CFlvioTag* tag = nullptr;
        rv = reader.GetNextTag(tag);
        if (rv == UC_ERR_NO_ROOM) break;
        if (rv != 0 || !tag) {
            std::string what = probe.CheckTag(offset, rv ? rv : UC_ERR_NO_ROOM);
            Damage(facts, offset, what);
            return INSPECT_DAMAGED;
        }
        AddTag(*tag, offset, facts);
        offset += tag->GetEncodeLen();
        tag->ReleaseReference();
    }
    facts.nTagBytes = offset - kFirstTagOffset;
    return INSPECT_OK;
}

void CFlvAnalyzer::Damage(FlvFacts& facts, std::uint64_t offset, const std::string& what) {
    facts.bDamaged = true;
    facts.nDamageOffset = offset;
    facts.strDamage = what;
    if (offset >= kFirstTagOffset) facts.nTagBytes = offset - kFirstTagOffset;
}

void CFlvAnalyzer::AddTag(const CFlvioTag& tag, std::uint64_t offset, FlvFacts& facts) {
    ++facts.nTags;
    const CFlvTagInfo info(tag);
    FlvStreamFacts* stream = info.IsAudio() ? &facts.audio : info.IsVideo() ? &facts.video : &facts.script;
    const std::uint32_t ts = tag.GetTimeStampAll();
    if (!info.IsScript() && stream->nTags > 0 && ts < stream->dwLastTimeStamp) {
        facts.backward.push_back({tag.GetTagType(), offset, stream->dwLastTimeStamp, ts});
    }
    CountTag(*stream, tag, info, offset);
    if (info.IsVideo()) AddVideo(tag, info, facts);
    if (info.IsAudio()) AddAudio(tag, info, facts);
    if (info.IsScript()) AddScript(tag, info, offset, facts);
}

void CFlvAnalyzer::AddVideo(const CFlvioTag& tag, const CFlvTagInfo& info, FlvFacts& facts) {
    if (facts.bHaveSps || info.GetAvcPacketType() != CFlvTagInfo::AVC_SEQUENCE_HEADER) return;
    const std::vector<std::uint8_t> body = BodyBytes(tag);
    // FrameType/CodecID, packet type, composition time: the record follows.
    if (body.size() > 5) facts.bHaveSps = facts.sps.ParseDecoderConfig(body.data() + 5, body.size() - 5);
}

void CFlvAnalyzer::AddAudio(const CFlvioTag& tag, const CFlvTagInfo& info, FlvFacts& facts) {
    if (facts.bHaveAacConfig || info.GetAacPacketType() != CFlvTagInfo::AAC_SEQUENCE_HEADER) return;
    const std::vector<std::uint8_t> body = BodyBytes(tag);
    if (body.size() > 2) facts.bHaveAacConfig = facts.aacConfig.Parse(body.data() + 2, body.size() - 2);
}

void CFlvAnalyzer::AddScript(const CFlvioTag& tag, const CFlvTagInfo& info, std::uint64_t offset,
                              FlvFacts& facts) {
    if (info.GetScriptName() != "onMetaData") return;
    ++facts.nMetaDataTags;
    if (facts.pMetaData || !tag.GetData()) return;
    facts.pMetaData = std::make_unique<CFlvMetaData>();
    facts.pMetaData->Decode(*tag.GetData());
    facts.nMetaDataOffset = offset;
    facts.dwMetaDataSize = tag.GetDataSize();
}
