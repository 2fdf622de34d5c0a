#include "flvio/flviotag.h"

#include <memory>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"

namespace {

const unsigned kMaxDataSize = 0xFFFFFF;  // the body size field has 24 bits

unsigned char AudioFlags(unsigned short audioCount) {
    switch (audioCount) {
        case 0: return 0x00;
        case 1: return 0x04;
        case 2: return 0x06;
        case 3: return 0x0E;
        default: return 0x06;
    }
}

unsigned char VideoFlags(unsigned short videoCount) {
    if (videoCount == 0) return 0x00;
    unsigned extra = (videoCount - 1u) % 16u;
    return static_cast<unsigned char>(0x01 | (extra << 4));
}

}  // namespace

// ---------------------------------------------------------------- CFlvioHeader

CFlvioHeader::CFlvioHeader(unsigned short audioCount, unsigned short videoCount)
    : m_nVersion(audioCount > 1 || videoCount > 1 ? 2 : 1),
      m_nFlags(static_cast<unsigned char>(AudioFlags(audioCount) | VideoFlags(videoCount))) {}

int CFlvioHeader::Encode(CFlashStream& stream) {
    stream.PutData(m_szSignature, sizeof(m_szSignature));
    stream.PutUI8(m_nVersion);
    stream.PutUI8(m_nFlags);
    stream.PutUI32(m_dwDataOffset, 1);
    return stream.PutUI32(0, 1);  // back-pointer of the non-existent tag 0
}

int CFlvioHeader::Decode(CFlashStream& stream) {
    stream.GetData(m_szSignature, sizeof(m_szSignature));
    stream.GetUI8(m_nVersion);
    stream.GetUI8(m_nFlags);
    stream.GetUI32(m_dwDataOffset, 1);
    unsigned int firstBackPointer = 0;
    return stream.GetUI32(firstBackPointer, 1);
}

void CFlvioHeader::GetAVNumber(unsigned short& audioCount, unsigned short& videoCount) const {
    audioCount = 0;
    if (m_nFlags & 0x02) {
        audioCount = 1;
        if (m_nFlags & 0x04) {
            audioCount = 2;
            if (m_nFlags & 0x08) audioCount = 3;
        }
    }
    videoCount = (m_nFlags & 0x01) ? static_cast<unsigned short>((m_nFlags >> 4) + 1) : 0;
}

// ------------------------------------------------------------------- CFlvioTag

CFlvioTag::CFlvioTag() = default;

CFlvioTag::CFlvioTag(TagType type, unsigned timeStamp, CDataPackage& body, unsigned streamId,
                     unsigned char timeStampExt)
    : m_tagType(type),
      m_dataSize(static_cast<unsigned int>(body.GetPackageLength())),
      m_timeStamp(timeStamp),
      m_timeStampExt(timeStampExt),
      m_streamId(streamId),
      m_data(body.DuplicatePackage()) {
    if (timeStamp > 0xFFFFFF) {
        m_timeStamp = timeStamp & 0xFFFFFF;
        m_timeStampExt = static_cast<unsigned char>(timeStamp >> 24);
    }
}

CFlvioTag::~CFlvioTag() { ReleaseData(); }

void CFlvioTag::OnReferenceDestory() { delete this; }

void CFlvioTag::ReleaseData() {
    if (m_data) m_data->DestroyPackage();
    m_data = nullptr;
}

unsigned int CFlvioTag::GetTimeStampAll() const {
    if (m_timeStampExt == 0) return m_timeStamp;
    return (static_cast<unsigned int>(m_timeStampExt) << 24) | (m_timeStamp & 0xFFFFFF);
}

void CFlvioTag::SetTimeStampOffset(unsigned long offset) {
    unsigned int all = GetTimeStampAll() + static_cast<unsigned int>(offset);
    m_timeStamp = all & 0xFFFFFF;
    m_timeStampExt = static_cast<unsigned char>(all >> 24);
}

void CFlvioTag::EncodeHeader(unsigned char* out, TagType type, unsigned int dataSize,
                             unsigned int timeStamp, unsigned int streamId) {
    out[0] = static_cast<unsigned char>(type);
    out[1] = static_cast<unsigned char>(dataSize >> 16);
    out[2] = static_cast<unsigned char>(dataSize >> 8);
    out[3] = static_cast<unsigned char>(dataSize);
    out[4] = static_cast<unsigned char>(timeStamp >> 16);
    out[5] = static_cast<unsigned char>(timeStamp >> 8);
    out[6] = static_cast<unsigned char>(timeStamp);
    out[7] = static_cast<unsigned char>(timeStamp >> 24);
    out[8] = static_cast<unsigned char>(streamId >> 16);
    out[9] = static_cast<unsigned char>(streamId >> 8);
    out[10] = static_cast<unsigned char>(streamId);
}

void CFlvioTag::EncodeBackPointer(unsigned char* out, unsigned int dataSize) {
    unsigned int value = dataSize + GetTagHeaderSize();
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

int CFlvioTag::Encode(CFlashStream& stream) {
    if (!m_data) {
        UC_ASSERT_TEXT("m_data");
        return UC_ERR_NO_ROOM;
    }
    UC_ASSERTE_RETURN(m_dataSize <= kMaxDataSize, UC_ERR_BAD_ARGUMENT);
    stream.PutUI8(static_cast<unsigned char>(m_tagType));
    stream.PutUI24(m_dataSize, 1);
    stream.PutUI24(m_timeStamp, 1);
    stream.PutUI8(m_timeStampExt);
    stream.PutUI24(m_streamId, 1);
    if (m_dataSize != 0) {
        // The body goes from the package chain straight behind the stream's
        // write pointer: one copy, no flattened intermediate. Fails without
        // writing when the body holds fewer bytes than dataSize.
        int rv = stream.PutPackage(*m_data, m_dataSize);
        if (rv != 0) return rv;
    }
    return stream.PutUI32(m_dataSize + GetTagHeaderSize(), 1);
}

int CFlvioTag::Decode(CFlashStream& stream, int headerOnly) {
    unsigned char type = 0;
    int rv = stream.GetUI8(type);
    m_tagType = static_cast<TagType>(type);
    if (type != TAG_TYPE_AUDIO && type != TAG_TYPE_VIDEO && type != TAG_TYPE_SCRIPT) return UC_ERR_BAD_DATA;
    stream.GetUI24(m_dataSize, 1);
    stream.GetUI24(m_timeStamp, 1);
    stream.GetUI8(m_timeStampExt);
    rv = stream.GetUI24(m_streamId, 1);
    if (headerOnly == 0 && rv == 0 && m_dataSize > 0) return DecodeNoHeader(stream);
    return rv;
}

int CFlvioTag::DecodeNoHeader(CFlashStream& stream) {
    CDataPackage& source = stream.GetBuf();
    // A size field larger than what is there must not take bytes that belong
    // to nobody: nothing is consumed then.
    if (source.GetPackageLength() < static_cast<std::size_t>(m_dataSize) + 4) return UC_ERR_BAD_DATA;

    CDataPackage* body = source.DuplicatePackage();
    if (CDataPackage* tail = body->Disjoint(m_dataSize)) tail->DestroyPackage();
    ReleaseData();
    m_data = body;
    stream.Forward(m_dataSize, 1);

    unsigned int backPointer = 0;
    int rv = stream.GetUI32(backPointer, 1);
    if (rv != 0) return rv;
    return backPointer == m_dataSize + GetTagHeaderSize() ? 0 : UC_ERR_BAD_DATA;
}

unsigned char CFlvioTag::GetAudioType(FlvSoundType format, FlvSoundRate rate, int is8Bit, int isMono) {
    unsigned value = (static_cast<unsigned>(format) << 4) | ((static_cast<unsigned>(rate) & 0x03) << 2);
    if (is8Bit == 0) value |= 0x02;
    if (isMono == 0) value |= 0x01;
    return static_cast<unsigned char>(value);
}

void CFlvioTag::AnalyzeAudioType(unsigned char value, FlvSoundType& format, FlvSoundRate& rate,
                                 int& is8Bit, int& isMono) {
    format = static_cast<FlvSoundType>(value >> 4);
    rate = static_cast<FlvSoundRate>((value >> 2) & 0x03);
    is8Bit = (value & 0x02) ? 0 : 1;
    isMono = (value & 0x01) ? 0 : 1;
}

unsigned char CFlvioTag::GetVideoType(FlvVideoFrame frame, FlvVideoCodec codec) {
    return static_cast<unsigned char>((static_cast<unsigned>(frame) << 4) | (static_cast<unsigned>(codec) & 0x0F));
}

void CFlvioTag::AnalyzeVideoType(unsigned char value, FlvVideoFrame& frame, FlvVideoCodec& codec) {
    frame = static_cast<FlvVideoFrame>(value >> 4);
    codec = static_cast<FlvVideoCodec>(value & 0x0F);
}

// ------------------------------------------------------------------ CFlvioData

CFlvioData::CFlvioData(const std::string& name, CAmfECMAArray& value)
    : m_strName(name), m_pValue(&value) {}

CFlvioData::CFlvioData(CDataPackage& body, int duplicate)
    : m_pPackage(duplicate ? body.DuplicatePackage() : &body), m_bOwnPackage(duplicate ? 1 : 0) {}

CFlvioData::~CFlvioData() {
    if (m_bOwnPackage && m_pPackage) m_pPackage->DestroyPackage();
    if (m_bOwnValue) delete m_pValue;
}

int CFlvioData::Decode() {
    if (!m_pPackage) return UC_ERR_NO_ROOM;
    CFlashStream stream(*m_pPackage, 0);
    CAmfString name;
    name.SetIncludeType(1);
    if (name.Decode(stream) == 0) m_strName = name.GetValue();

    unsigned char marker = 0;
    stream.GetUI8(marker);
    if (marker != AMF_ECMA_ARRAY) return UC_ERR_NO_ROOM;
    auto array = std::make_unique<CAmfECMAArray>();
    int rv = array->Decode(stream);
    if (m_bOwnValue) delete m_pValue;
    m_pValue = array.release();
    m_bOwnValue = 1;
    return rv;
}

int CFlvioData::Encode(CFlashStream& /*stream*/) { return UC_ERR_NOT_SUPPORTED; }
