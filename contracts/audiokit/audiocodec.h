// audiokit: the audio encoder library (libavcodec's native AAC encoder
// behind it).
//
// An object comes from CreateAudioCodec and goes back through
// DestoryAudioCodec; it is used only on the thread that created it. Every
// operation returns a code (0 = success) and never throws. Output memory
// handed out by an operation is the codec's and stays valid until the next
// call on the same object.
//
// Codec type 106 = AAC-LC (MPEG-4 audio object type 2), the only type this
// library makes. Mode 1 = ADTS framing: every output frame starts with a
// 7-byte ADTS header (MPEG-4 ID, no CRC, one raw data block) followed by one
// raw AAC access unit; mode 0 = the raw access unit alone.
//
// Input: interleaved signed 16-bit little-endian PCM at the record's rate
// and channel count, 1024 frames per call (4096 bytes for stereo). A call
// with fewer frames is padded with silence to 1024; a partial trailing
// sample frame is dropped.
//
// Encoder delay: the AAC encoder keeps one frame back and starts its stream
// with 1024 samples of priming. The first Encode call therefore returns 0
// with no output (length 0); from the second call on, each call returns one
// frame, and the frame returned by call i (counting from 0) decodes, in a
// stream that begins with the first frame returned, to the audio given to
// call i - 2 (call 1's frame is the priming). At the end, Flush returns the
// frames still held back (one per call) so that nothing is lost: N calls
// to Encode plus the flush give N + 1 frames, whose decoded audio is 1024
// samples of priming followed by the N x 1024 input frames.
#pragma once

#include <cstdint>
#include "basekit/resultcodes.h"

#if defined(__GNUC__)
#define AUDIOKIT_API __attribute__((visibility("default")))
#else
#define AUDIOKIT_API
#endif

enum : int32_t {
    UC_AUDIO_CODEC_AAC_LC = 106,  // codecType: AAC-LC
    UC_AUDIO_MODE_RAW = 0,        // mode: raw AAC access units
    UC_AUDIO_MODE_ADTS = 1,       // mode: ADTS-framed AAC
};

// Result codes besides 0 (the library codes of basekit/resultcodes.h).
enum : int {
    UC_AUDIO_ERR_FAILED = UC_ERR_BAD_DATA,              // the encoder failed
    UC_AUDIO_ERR_NOT_SUPPORTED = UC_ERR_NOT_SUPPORTED,  // slot or control not supported
    UC_AUDIO_ERR_BAD_ARGUMENT = UC_ERR_BAD_ARGUMENT,    // null pointer, more than one frame of input, rate mismatch
    UC_AUDIO_ERR_WRONG_STATE = UC_ERR_NO_ROOM,          // Encode after Flush
};

// The codec parameter record.
class _UCAudioCodecInfo {
public:
    _UCAudioCodecInfo() = default;
    virtual ~_UCAudioCodecInfo() = default;

    int32_t sampleRate = 16000;  // Hz; any rate of the MPEG-4 table from 7350 to 96000
    int32_t codecType = 0;       // 106 = AAC-LC (the default leaves it unset: 0)
    int32_t channels = 1;        // 1 or 2
    // Bits per second; values below 1000 are kilobits per second (the
    // default 23 = 23 kbit/s). 72000 = 72 kbit/s.
    int32_t bitRate = 23;
    int32_t mode = 1;  // 1 = ADTS framing, 0 = raw access units
};

class CUcAudioCodec {
public:
    // Slot 0: the parameters in effect (bit rate in bits per second).
    virtual int GetCodecInfo(_UCAudioCodecInfo* pInfo) = 0;
    // Slot 1: PCM frames per channel one call takes and one output frame
    // covers (1024).
    virtual int GetFrameSamples() = 0;
    // Slot 2: encodes up to 1024 interleaved 16-bit frames. On success 0,
    // with *ppOut / *pOutLen the output frame (ADTS header included in
    // mode 1) or null / 0 while the encoder is still filling its delay, and
    // *pSamples the PCM frames per channel the returned frame covers (1024,
    // or 0 with no output). `nSampleRate` is the input's rate and must equal
    // the record's (else UC_ERR_BAD_ARGUMENT); more than 1024 frames give UC_ERR_BAD_ARGUMENT.
    virtual int Encode(const unsigned char* pPcm, int nLength, unsigned char** ppOut,
                       int* pOutLen, unsigned short* pSamples, int nSampleRate) = 0;
    // Slot 3: at the end of a stream, returns the frames the encoder still
    // holds, one per call (same outputs as slot 2); 0 with length 0 when
    // none is left. Encode after the first Flush returns UC_ERR_NO_ROOM.
    virtual int Flush(unsigned char** ppOut, int* pOutLen, unsigned short* pSamples) = 0;
    // Slot 4: the encoder's delay in samples per channel (1024): the
    // priming that starts the decoded stream.
    virtual int GetDelaySamples() = 0;
    // Slot 5: the 2-byte AudioSpecificConfig of the stream.
    virtual int GetAudioSpecificConfig(unsigned char** ppData, int* pLength) = 0;

    // Voice-processing switches and controls of the codec family. The AAC
    // encoder does no voice processing: the switches are only remembered.
    int SetVAD(bool bEnable) { m_bVAD = bEnable; return 0; }
    int SetAGC(bool bEnable) { m_bAGC = bEnable; return 0; }
    int SetEC(bool bEnable) { m_bEC = bEnable; return 0; }
    bool GetVAD() const { return m_bVAD; }
    bool GetAGC() const { return m_bAGC; }
    bool GetEC() const { return m_bEC; }
    // The codec type this object encodes (106).
    int GetPayloadType() const { return m_nPayloadType; }
    // Codec-specific requests: none are defined; always UC_ERR_NOT_SUPPORTED.
    int EncoderCtl(int /*nRequest*/, void* /*pArg*/) { return UC_AUDIO_ERR_NOT_SUPPORTED; }

protected:
    explicit CUcAudioCodec(int nPayloadType) : m_nPayloadType(nPayloadType) {}
    virtual ~CUcAudioCodec() = default;

private:
    int m_nPayloadType;
    bool m_bVAD = false;
    bool m_bAGC = false;
    bool m_bEC = false;
};

extern "C" {
// Creates an encoder for the record (read, not kept). nReserved must be 0.
// Null for a null record, a codec type other than 106, a mode other than
// 0 or 1, a rate outside the AAC table or a channel count other than 1 or 2.
AUDIOKIT_API CUcAudioCodec* CreateAudioCodec(const _UCAudioCodecInfo* pInfo, int nReserved);
// Releases a codec from CreateAudioCodec; null is ignored.
AUDIOKIT_API void DestoryAudioCodec(CUcAudioCodec* pCodec);
}
