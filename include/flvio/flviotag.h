// The pieces of an FLV file: the file header (CFlvioHeader), one tag
// (CFlvioTag: 11-byte header, body, 4-byte back-pointer) and the body of a
// script-data tag read back as a name and an ECMA array (CFlvioData).
// All of them encode into and decode from a CFlashStream.
#pragma once

#include <string>

#include "basekit/referencecontrol.h"

class CDataPackage;
class CFlashStream;
class CAmfECMAArray;

// Tag types of the FLV format.
enum TagType : unsigned char {
    TAG_TYPE_AUDIO = 8,
    TAG_TYPE_VIDEO = 9,
    TAG_TYPE_SCRIPT = 18,
};

// SoundFormat (4 bits) of an audio tag's first body byte.
enum FlvSoundType : unsigned char {
    FLV_SOUND_PCM = 0,  // linear PCM, platform endian
    FLV_SOUND_ADPCM = 1,
    FLV_SOUND_MP3 = 2,
    FLV_SOUND_PCM_LE = 3,  // linear PCM, little endian
    FLV_SOUND_NELLYMOSER_16K_MONO = 4,
    FLV_SOUND_NELLYMOSER_8K_MONO = 5,
    FLV_SOUND_NELLYMOSER = 6,
    FLV_SOUND_G711_ALAW = 7,
    FLV_SOUND_G711_MULAW = 8,
    FLV_SOUND_RESERVED = 9,
    FLV_SOUND_AAC = 10,
    FLV_SOUND_SPEEX = 11,
    FLV_SOUND_MP3_8K = 14,
    FLV_SOUND_DEVICE_SPECIFIC = 15,
};

// SoundRate (2 bits) of an audio tag's first body byte.
enum FlvSoundRate : unsigned char {
    FLV_RATE_5_5KHZ = 0,
    FLV_RATE_11KHZ = 1,
    FLV_RATE_22KHZ = 2,
    FLV_RATE_44KHZ = 3,
};

// FrameType (4 bits) of a video tag's first body byte.
enum FlvVideoFrame : unsigned char {
    FLV_FRAME_KEY = 1,
    FLV_FRAME_INTER = 2,
    FLV_FRAME_DISPOSABLE_INTER = 3,
    FLV_FRAME_GENERATED_KEY = 4,
    FLV_FRAME_INFO = 5,  // video info / command frame
};

// CodecID (4 bits) of a video tag's first body byte.
enum FlvVideoCodec : unsigned char {
    FLV_CODEC_JPEG = 1,
    FLV_CODEC_H263 = 2,  // Sorenson H.263
    FLV_CODEC_SCREEN = 3,
    FLV_CODEC_VP6 = 4,
    FLV_CODEC_VP6_ALPHA = 5,
    FLV_CODEC_SCREEN_V2 = 6,
    FLV_CODEC_AVC = 7,
};

// The 9-byte file header plus the first back-pointer (always 0).
// Version 2 and the high flag bits announce several audio/video streams.
class CFlvioHeader {
public:
    CFlvioHeader() : CFlvioHeader(1, 1) {}
    CFlvioHeader(unsigned short audioCount, unsigned short videoCount);

    // 13 bytes: "FLV", version, flags, data offset (9), a zero back-pointer.
    int Encode(CFlashStream& stream);
    // Reads the same 13 bytes; nothing is validated.
    int Decode(CFlashStream& stream);

    // Reads the stream counts back from the flags. Only meaningful for
    // version 2 headers: flags 0x04 (one audio stream) read back as 0 audio.
    void GetAVNumber(unsigned short& audioCount, unsigned short& videoCount) const;
    unsigned char GetVersion() const { return m_nVersion; }
    int IsOfficeVersion() const { return m_nVersion == 1 ? 1 : 0; }
    unsigned char GetFlags() const { return m_nFlags; }
    unsigned int GetDataOffset() const { return m_dwDataOffset; }
    const unsigned char* GetSignature() const { return m_szSignature; }
    static unsigned int GetEncodeLen() { return 13; }

private:
    unsigned char m_szSignature[3] = {'F', 'L', 'V'};
    unsigned char m_nVersion = 1;
    unsigned char m_nFlags = 0;
    unsigned int m_dwDataOffset = 9;
};

// One FLV tag. Reference counted (not atomically): create with new, hand out
// with AddReference(), let go with ReleaseReference().
class CFlvioTag : public CReferenceControlT<CSingleThreadMutexWrapper> {
public:
    CFlvioTag();
    // Holds DuplicatePackage() of body. A time stamp above 0xFFFFFF is split
    // into its low 24 bits and its high 8 bits (timeStampExt is then ignored).
    CFlvioTag(TagType type, unsigned timeStamp, CDataPackage& body, unsigned streamId = 0,
              unsigned char timeStampExt = 0);
    ~CFlvioTag() override;

    CFlvioTag(const CFlvioTag&) = delete;
    CFlvioTag& operator=(const CFlvioTag&) = delete;

    // Adds offset (modulo 2^32) to the full 32-bit time stamp.
    void SetTimeStampOffset(unsigned long offset);

    // Writes header, body and back-pointer; size the stream with GetEncodeLen().
    // UC_ERR_NO_ROOM without a body, or when the body holds fewer than dataSize bytes
    // or the stream has no room for them; UC_ERR_BAD_ARGUMENT for a body above 0xFFFFFF.
    int Encode(CFlashStream& stream);
    // Reads the 11-byte header (UC_ERR_BAD_DATA for an unknown type) and, unless
    // headerOnly, the body and back-pointer through DecodeNoHeader.
    int Decode(CFlashStream& stream, int headerOnly = 0);
    // Takes dataSize bytes of the stream as the body (replacing and releasing
    // any body held before) and checks the back-pointer: UC_ERR_BAD_DATA when it does
    // not match (the body is kept) or when fewer than dataSize + 4 bytes are
    // there (nothing is taken then).
    int DecodeNoHeader(CFlashStream& stream);

    // First body byte of an audio tag; (10, 3, 0, 0) gives 0xAF. A zero third
    // argument means 16-bit samples, a zero fourth argument stereo.
    static unsigned char GetAudioType(FlvSoundType format, FlvSoundRate rate, int is8Bit,
                                      int isMono);
    static void AnalyzeAudioType(unsigned char value, FlvSoundType& format, FlvSoundRate& rate,
                                 int& is8Bit, int& isMono);
    // First body byte of a video tag; 0x17 for an AVC key frame.
    static unsigned char GetVideoType(FlvVideoFrame frame, FlvVideoCodec codec);
    static void AnalyzeVideoType(unsigned char value, FlvVideoFrame& frame, FlvVideoCodec& codec);

    TagType GetTagType() const { return m_tagType; }
    unsigned int GetDataSize() const { return m_dataSize; }
    unsigned int GetTimeStamp() const { return m_timeStamp; }
    unsigned char GetTimeStampExt() const { return m_timeStampExt; }
    // The extension shifted left by 24 joined with the low 24 bits.
    unsigned int GetTimeStampAll() const;
    unsigned int GetStreamID() const { return m_streamId; }
    CDataPackage* GetData() const { return m_data; }
    static unsigned int GetTagHeaderSize() { return 11; }
    // The largest body the 24-bit size field can describe.
    static unsigned int GetMaxDataSize() { return 0xFFFFFF; }
    // Raw layout helpers for writers that assemble a tag in their own buffer:
    // the 11-byte tag header (a time stamp above 0xFFFFFF is split into its
    // low 24 bits and the extension byte) and the 4-byte back-pointer. They
    // produce exactly the bytes of Encode.
    static void EncodeHeader(unsigned char* out, TagType type, unsigned int dataSize,
                             unsigned int timeStamp, unsigned int streamId);
    static void EncodeBackPointer(unsigned char* out, unsigned int dataSize);
    unsigned int GetEncodeLen() const { return m_dataSize + 15; }
    unsigned int GetEncodeLenNoHeader() const { return m_dataSize + 4; }

protected:
    void OnReferenceDestory() override;

private:
    void ReleaseData();

    TagType m_tagType = static_cast<TagType>(0);
    unsigned int m_dataSize = 0;
    unsigned int m_timeStamp = 0;
    unsigned char m_timeStampExt = 0;
    unsigned int m_streamId = 0;
    CDataPackage* m_data = nullptr;
};

// The body of a script-data tag read back as a name and an ECMA array.
class CFlvioData {
public:
    // Keeps the name and a pointer to the caller's array (not owned).
    CFlvioData(const std::string& name, CAmfECMAArray& value);
    // Keeps DuplicatePackage() of body (owned) when duplicate is non-zero,
    // else body itself (not owned, and consumed by Decode).
    CFlvioData(CDataPackage& body, int duplicate);
    ~CFlvioData();

    CFlvioData(const CFlvioData&) = delete;
    CFlvioData& operator=(const CFlvioData&) = delete;

    // Name (AMF string with marker) then an ECMA array (marker 8). UC_ERR_NO_ROOM
    // without a package or without the array marker.
    int Decode();
    // Script-data tags are written by CFlvWriter: UC_ERR_NOT_SUPPORTED.
    int Encode(CFlashStream& stream);
    unsigned int GetEncodeLen() const { return 0; }

    const std::string& GetName() const { return m_strName; }
    CAmfECMAArray* GetValue() const { return m_pValue; }

private:
    std::string m_strName;
    CAmfECMAArray* m_pValue = nullptr;
    CDataPackage* m_pPackage = nullptr;
    int m_bOwnPackage = 0;
    int m_bOwnValue = 0;
};

// A plain holder of a buffer pointer, its size, its data length and a write
// offset; owns nothing and copies member-wise.
class CUCAutoBuf {
public:
    CUCAutoBuf() = default;
    CUCAutoBuf(char* buffer, unsigned long size, unsigned long length, unsigned long writeOffset)
        : m_pBuffer(buffer), m_dwSize(size), m_dwLength(length), m_dwWriteOffset(writeOffset) {}

    char* GetBuffer() const { return m_pBuffer; }
    unsigned long GetBufferSize() const { return m_dwSize; }
    unsigned long GetBufferLength() const { return m_dwLength; }
    unsigned long GetBufferWriteOffset() const { return m_dwWriteOffset; }

private:
    char* m_pBuffer = nullptr;
    unsigned long m_dwSize = 0;
    unsigned long m_dwLength = 0;
    unsigned long m_dwWriteOffset = 0;
};
