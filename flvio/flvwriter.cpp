#include "flvio/flvwriter.h"

#include <cerrno>
#include <cstring>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"

namespace {


const unsigned char kEndMarker[3] = {0x00, 0x00, 0x09};

// Space taken by a tag around its body: 11-byte header, 4-byte back-pointer.
const std::size_t kTagOverhead = 15;

unsigned long FilePosition(long pos) {
    return pos < 0 ? 0xFFFFFFFFul : static_cast<unsigned long>(pos);
}

}  // namespace

CFlvWriter::CFlvWriter() = default;

CFlvWriter::~CFlvWriter() { Finished(); }

int CFlvWriter::Init(const std::string& path, unsigned long timeBase, int reopen, int kinds) {
    m_timeBase = static_cast<unsigned int>(timeBase);
    m_nLastWriteError = 0;
    m_file.Reset(CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_MEDIA));
    if (!m_file) {
        UC_ASSERT_TEXT("m_file");
        return UC_ERR_NO_FILE;
    }
    if (reopen) {
        int rv = m_file->Open(path, "r+b");
        // A file object that did not open would swallow every later write.
        if (rv != 0) m_file.Reset();
        return rv;
    }
    int rv = m_file->Open(path, "wb");
    if (rv != 0) {
        m_file.Reset();
        UC_LOG_THIS(CLogWrapper::LOG_INFO,
                    "CFlvWriter::Init, can't open the file=" << path << ", rv =" << rv);
        return rv;
    }
    WriteHeader(kinds);
    return 0;
}

void CFlvWriter::WriteHeader(int kinds) {
    CFlvioHeader header = kinds == 0 ? CFlvioHeader(1, 0) : kinds == 1 ? CFlvioHeader(0, 1) : CFlvioHeader(1, 1);
    unsigned char* buf = EncodeBuffer(CFlvioHeader::GetEncodeLen());
    CDataPackage package(CFlvioHeader::GetEncodeLen(), buf, CDataPackage::FLAG_WRAP, 0);
    CFlashStream stream(package, 0);
    if (header.Encode(stream) == 0) WriteBlock(buf, CFlvioHeader::GetEncodeLen());
}

int CFlvWriter::CreateAudioStream(FlvSoundType format, FlvSoundRate rate, int is8Bit, int isMono,
                                  unsigned long& id) {
    m_audio_array.push_back(CFlvioTag::GetAudioType(format, rate, is8Bit, isMono));
    id = m_audio_array.size() - 1;
    return 0;
}

int CFlvWriter::CreateVideoStream(FlvVideoCodec codec, unsigned long& id) {
    m_video_array.push_back(static_cast<unsigned char>(codec));
    id = m_video_array.size() - 1;
    return 0;
}

int CFlvWriter::CreateMetaData(unsigned duration, unsigned width, unsigned height,
                               unsigned videodatarate, unsigned framerate, unsigned videocodecid,
                               unsigned audiodatarate, double audiodelay, unsigned audiocodecid,
                               int /*reserved*/, unsigned long& tagPos, unsigned long& tagLen,
                               int allKeys) {
    CAmfECMAArray meta;
    auto number = [](unsigned v) { return static_cast<double>(v); };
    if (allKeys || duration) meta.Set("duration", number(duration));
    if (allKeys || (width && height)) {
        meta.Set("width", number(width));
        meta.Set("height", number(height));
    }
    if (allKeys || videodatarate) meta.Set("videodatarate", number(videodatarate));
    if (allKeys || framerate) meta.Set("framerate", number(framerate));
    if (allKeys || videocodecid) meta.Set("videocodecid", number(videocodecid));
    if (allKeys || audiodatarate) {
        meta.Set("audiodatarate", number(audiodatarate));
        meta.Set("audiodelay", audiodelay);
    }
    if (allKeys || audiocodecid) meta.Set("audiocodecid", number(audiocodecid));
    return WriteData(0, "onMetaData", meta, &tagPos, &tagLen);
}

int CFlvWriter::WriteData(unsigned timeStamp, const std::string& name, CAmfECMAArray& value,
                          unsigned long* tagPos, unsigned long* tagLen) {
    CAmfString amfName(name, 0);
    unsigned long size = amfName.GetEncodeLen() + value.GetEncodeLen() + sizeof(kEndMarker);
    CFlashStream stream(size);
    int rv = amfName.Encode(stream);
    if (rv == 0) rv = value.Encode(stream);
    if (rv == 0) rv = stream.PutUI24(0x000009, 1);
    if (rv != 0) return rv;
    return Write(TAG_TYPE_SCRIPT, timeStamp, stream.GetBuf(), 0, tagPos, tagLen);
}

int CFlvWriter::WriteData(unsigned timeStamp, CDataPackage& body, int complete,
                          unsigned long streamId, unsigned long* tagPos) {
    TagBody tag;
    tag.package = &body;
    if (!complete) {
        tag.bytes = kEndMarker;
        tag.bytesLen = sizeof(kEndMarker);
    }
    // Only a missing file is reported; an encoded tag always counts as written.
    int rv = WriteTag(TAG_TYPE_SCRIPT, timeStamp, tag, streamId, tagPos, nullptr);
    return m_file ? 0 : rv;
}

int CFlvWriter::WriteAudio(unsigned timeStamp, CDataPackage& body, unsigned long streamId,
                           unsigned long* tagPos) {
    return Write(TAG_TYPE_AUDIO, timeStamp, body, streamId, tagPos, nullptr);
}

int CFlvWriter::WriteVideo(unsigned timeStamp, CDataPackage& body, unsigned long streamId,
                           unsigned long* tagPos) {
    return Write(TAG_TYPE_VIDEO, timeStamp, body, streamId, tagPos, nullptr);
}

int CFlvWriter::WriteAudio(unsigned long streamId, const std::string& payload, unsigned timeStamp) {
    UC_ASSERTE_RETURN(streamId < m_audio_array.size(), UC_ERR_BAD_ARGUMENT);
    UC_ASSERTE_RETURN(!payload.empty(), UC_ERR_BAD_ARGUMENT);
    TagBody tag;
    tag.prefix = &m_audio_array[streamId];
    tag.prefixLen = 1;
    tag.bytes = reinterpret_cast<const unsigned char*>(payload.data());
    tag.bytesLen = payload.size();
    return WriteTag(TAG_TYPE_AUDIO, timeStamp, tag, streamId, nullptr, nullptr);
}

int CFlvWriter::WriteVideo(unsigned long streamId, FlvVideoFrame frame, const std::string& payload,
                           unsigned timeStamp) {
    UC_ASSERTE_RETURN(streamId < m_video_array.size(), UC_ERR_BAD_ARGUMENT);
    UC_ASSERTE_RETURN(!payload.empty(), UC_ERR_BAD_ARGUMENT);
    unsigned char first =
        CFlvioTag::GetVideoType(frame, static_cast<FlvVideoCodec>(m_video_array[streamId]));
    TagBody tag;
    tag.prefix = &first;
    tag.prefixLen = 1;
    tag.bytes = reinterpret_cast<const unsigned char*>(payload.data());
    tag.bytesLen = payload.size();
    return WriteTag(TAG_TYPE_VIDEO, timeStamp, tag, streamId, nullptr, nullptr);
}

int CFlvWriter::WriteVideo(unsigned long streamId, FlvVideoFrame frame, CDataPackage& payload,
                           unsigned timeStamp) {
    UC_ASSERTE_RETURN(streamId < m_video_array.size(), UC_ERR_BAD_ARGUMENT);
    unsigned char first =
        CFlvioTag::GetVideoType(frame, static_cast<FlvVideoCodec>(m_video_array[streamId]));
    // The first byte goes in front of the caller's chain without linking a
    // package of our own to it: the caller's package stays untouched.
    TagBody tag;
    tag.prefix = &first;
    tag.prefixLen = 1;
    tag.package = &payload;
    return WriteTag(TAG_TYPE_VIDEO, timeStamp, tag, streamId, nullptr, nullptr);
}

int CFlvWriter::Write(unsigned timeStamp, CDataPackage& body, TagType type) {
    if (type == TAG_TYPE_AUDIO) return WriteAudio(timeStamp, body, 0, nullptr);
    if (type == TAG_TYPE_VIDEO) return WriteVideo(timeStamp, body, 0, nullptr);
    return WriteData(timeStamp, body, 1, 0, nullptr);
}

int CFlvWriter::Write(TagType type, unsigned timeStamp, CDataPackage& body, unsigned long streamId,
                      unsigned long* tagPos, unsigned long* tagLen) {
    TagBody tag;
    tag.package = &body;
    return WriteTag(type, timeStamp, tag, streamId, tagPos, tagLen);
}

int CFlvWriter::WriteTag(TagType type, unsigned timeStamp, const TagBody& body,
                         unsigned long streamId, unsigned long* tagPos, unsigned long* tagLen) {
    if (!m_file) {
        UC_ASSERT_TEXT("m_file");
        return UC_ERR_NO_ROOM;
    }
    unsigned int stamp = timeStamp >= m_timeBase ? timeStamp - m_timeBase : 0;
    std::size_t packageLen = body.package ? body.package->GetPackageLength() : 0;
    std::size_t dataSize = body.prefixLen + packageLen + body.bytesLen;
    UC_ASSERTE_RETURN(dataSize <= CFlvioTag::GetMaxDataSize(), UC_ERR_BAD_ARGUMENT);

    // Header, body and back-pointer are assembled in the reused buffer: the
    // body is copied once, straight from the package chain.
    std::size_t encodeLen = dataSize + kTagOverhead;
    unsigned char* buf = EncodeBuffer(encodeLen);
    unsigned char* out = buf;
    CFlvioTag::EncodeHeader(out, type, static_cast<unsigned int>(dataSize), stamp,
                            static_cast<unsigned int>(streamId));
    out += CFlvioTag::GetTagHeaderSize();
    if (body.prefixLen) {
        std::memcpy(out, body.prefix, body.prefixLen);
        out += body.prefixLen;
    }
    if (packageLen) {
        int rv = body.package->Peek(out, packageLen);
        if (rv != 0) return rv;
        out += packageLen;
    }
    if (body.bytesLen) {
        std::memcpy(out, body.bytes, body.bytesLen);
        out += body.bytesLen;
    }
    CFlvioTag::EncodeBackPointer(out, static_cast<unsigned int>(dataSize));

    if (tagPos) *tagPos = FilePosition(m_file->Tell());
    long written = WriteBlock(buf, encodeLen);
    if (tagLen) *tagLen = written < 0 ? 0 : static_cast<unsigned long>(written);
    return 0;
}

unsigned char* CFlvWriter::EncodeBuffer(std::size_t size) {
    if (size > m_nEncodeBufSize) {
        // Grow with some headroom so that slowly growing frames do not
        // reallocate every time.
        std::size_t grown = m_nEncodeBufSize + m_nEncodeBufSize / 2;
        m_nEncodeBufSize = size > grown ? size : grown;
        m_pEncodeBuf = std::make_unique_for_overwrite<unsigned char[]>(m_nEncodeBufSize);
    }
    return m_pEncodeBuf.get();
}

long CFlvWriter::WriteBlock(const unsigned char* data, std::size_t size) {
    long written = m_file->Write(data, static_cast<unsigned long>(size));
    if (written < 0 || static_cast<std::size_t>(written) != size) RecordFileError(EIO);
    return written;
}

void CFlvWriter::RecordFileError(int fallback) {
    int error = m_file ? m_file->GetLastError() : 0;
    m_nLastWriteError = error > 0 ? error : fallback;
}

int CFlvWriter::Seek(long offset, int origin) {
    if (!m_file) return UC_ERR_NO_ROOM;
    return m_file->Seek(offset, origin);
}

unsigned long CFlvWriter::GetPos() {
    if (!m_file) return 0xFFFFFFFFul;
    return FilePosition(m_file->Tell());
}

void CFlvWriter::Flush() {
    if (!m_file) return;
    int rv = m_file->Flush();
    if (rv != 0) RecordFileError(rv > 0 ? rv : EIO);
}

int CFlvWriter::Finished() {
    if (!m_file) return 0;
    int rv = m_file->Close();
    if (rv != 0) RecordFileError(rv > 0 ? rv : EIO);
    m_file.Reset();
    return 0;
}
