// videokit: the H.264 encoder library (libx264 behind it).
//
// An object comes from CreateH264Codec(0) and goes back through
// DestoryH264Codec; it is used only on the thread that created it. Every
// operation returns a code (0 = success unless the slot says otherwise) and
// never throws. Output memory handed out by an operation is the codec's and
// stays valid until the next call on the same object.
//
// Bitstream: H.264 (High profile for 4:2:0, progressive, no B-frames, so
// decode order = presentation order and the composition time is always 0).
// Each encoded picture is returned as a sequence of NAL units, each preceded
// by its length as a 4-byte big-endian number (the AVCC / FLV form). SPS and
// PPS are never inside the frames; they come once, as an
// AVCDecoderConfigurationRecord (lengthSizeMinusOne = 3), from slot 16.
#pragma once

#include <cstdint>
#include "basekit/resultcodes.h"

#if defined(__GNUC__)
#define VIDEOKIT_API __attribute__((visibility("default")))
#else
#define VIDEOKIT_API
#endif

// Picture format codes (UcH264EncodeParam::inputFormat and the "second
// format value"). Rows are top-down (the first row in memory is the top of
// the picture) except for the two "bottom-up" codes; rows are tightly packed
// (stride = width x bytes per pixel; planar chroma planes of width (w+1)/2).
enum UcPictureFormat : int32_t {
    UC_PIX_I420 = 0,        // planar Y, U, V; chroma 2x2 subsampled
    UC_PIX_YV12 = 1,        // planar Y, V, U; chroma 2x2 subsampled
    UC_PIX_NV12 = 2,        // plane Y, then interleaved U/V; chroma 2x2 subsampled
    UC_PIX_NV21 = 3,        // plane Y, then interleaved V/U
    UC_PIX_YUY2 = 4,        // packed 4:2:2, bytes Y0 U Y1 V
    UC_PIX_UYVY = 5,        // packed 4:2:2, bytes U Y0 V Y1
    UC_PIX_I422 = 6,        // planar 4:2:2
    UC_PIX_I444 = 7,        // planar 4:4:4
    UC_PIX_RGB24 = 8,       // 3 bytes per pixel: R, G, B
    UC_PIX_BGR24 = 9,       // 3 bytes per pixel: B, G, R
    UC_PIX_RGB565 = 10,     // 16-bit little-endian, 5-6-5 (R in the high bits)
    UC_PIX_RGB555 = 11,     // 16-bit little-endian, x-5-5-5 (R in the high bits)
    UC_PIX_BGRA = 12,       // 4 bytes per pixel: B, G, R, A (the screen layout; A ignored)
    UC_PIX_RGBA = 13,       // 4 bytes per pixel: R, G, B, A
    UC_PIX_ARGB = 14,       // 4 bytes per pixel: A, R, G, B
    UC_PIX_ABGR = 15,       // 4 bytes per pixel: A, B, G, R
    UC_PIX_GRAY8 = 16,      // 1 byte per pixel, luma only
    UC_PIX_BGRA_FLIP = 17,  // as 12, rows bottom-up (a Windows DIB)
    UC_PIX_BGR24_FLIP = 18, // as 9, rows bottom-up (a Windows DIB)
    // 19..23 are reserved: Init refuses them with UC_ERR_NOT_SUPPORTED.
    UC_PIX_FORMAT_COUNT = 24,
};

// The encoder parameter record: thirteen 32-bit fields, handed to slot 1 by
// address. The default values are those the video worker starts from.
struct UcH264EncodeParam {
    int32_t width = 320;   // 0: picture width in pixels (even for 4:2:0 and 4:2:2)
    int32_t height = 240;  // 1: picture height in pixels (even for 4:2:0)
    // 2: key frame interval: the longest distance between two IDR frames, in
    //    pictures; 0 = ten seconds' worth (10 x frameRate). A scene change may
    //    start an IDR frame earlier.
    int32_t encoderValueA = 300;
    // 3: peak bit rate as a percentage of bitRate (the VBV maximum rate);
    //    values below 100 count as 100. 150 = peaks of 1.5 x the bit rate.
    int32_t encoderValueB = 150;
    int32_t frameRate = 20;    // 4: pictures per second (1..240)
    int32_t inputFormat = 0;   // 5: UcPictureFormat of the pictures given to slot 5
    // 6: encoded chroma format: UC_PIX_I422 (6) encodes 4:2:2 (High 4:2:2),
    //    UC_PIX_I444 (7) encodes 4:4:4 (High 4:4:4 Predictive); every other
    //    value (the worker passes the input format, 12) encodes 4:2:0 (High),
    //    the form every FLV player plays.
    int32_t secondFormat = 0;
    // 7: speed preset: 0 = this library's default (x264 "veryfast");
    //    1..10 = x264's ultrafast, superfast, veryfast, faster, fast, medium,
    //    slow, slower, veryslow, placebo.
    int32_t value7 = 0;
    // 8: average bit rate in bits per second (VBV-constrained ABR); 0 with
    //    value11 = 0 selects constant quality 23.
    int32_t bitRate = 0;
    // 9: VBV buffer size in milliseconds of the peak rate; 0 = 1000 ms.
    int32_t value9 = 0;
    // 10: encoder threads; 0 = 2 (the machines this runs on have 2 cores).
    int32_t value10 = 0;
    // 11: constant quality (x264 CRF, 1..51) instead of the average bit rate;
    //     0 = use bitRate. With both set, the quality is kept within the VBV
    //     limit of bitRate x the peak percentage.
    int32_t value11 = 0;
    // 12: content tuning: 0 = screen content (sharp text: no psycho-visual
    //     optimisation, light deblocking), 1 = camera or film content (x264's
    //     defaults).
    int32_t value12 = 0;
};
static_assert(sizeof(UcH264EncodeParam) == 13 * 4, "thirteen 32-bit fields");

// Frame types returned by slot 5 (Encode) and slot 17 (Flush).
enum UcH264FrameType : int {
    UC_H264_FRAME_NONE = 0,  // no output (invalid input, or the encoder kept the picture)
    UC_H264_FRAME_IDR = 1,   // key frame (IDR)
    UC_H264_FRAME_I = 2,     // key frame (intra, not IDR; the default settings never make one)
    UC_H264_FRAME_P = 3,     // predicted frame
    UC_H264_FRAME_B = 4,     // bi-predicted frame (never made: B-frames are off)
};

// Result codes besides 0 (the library codes of basekit/resultcodes.h).
enum : int {
    UC_CODEC_ERR_FAILED = UC_ERR_BAD_DATA,              // the encoder failed
    UC_CODEC_ERR_NOT_SUPPORTED = UC_ERR_NOT_SUPPORTED,  // format, profile or slot not supported
    UC_CODEC_ERR_BAD_ARGUMENT = UC_ERR_BAD_ARGUMENT,    // null pointer or a value out of range
    UC_CODEC_ERR_WRONG_STATE = UC_ERR_NO_ROOM,          // not initialised, or already initialised
};

class CUcH264codec {
public:
    // Slot 0: a short human-readable name of the encoder ("x264 ...").
    virtual const char* GetCodecName() = 0;
    // Slot 1: opens the encoder with the record (copied). 0 on success;
    // UC_ERR_BAD_ARGUMENT for bad sizes or rates, UC_ERR_NOT_SUPPORTED for an unsupported format code,
    // UC_ERR_NO_ROOM when already initialised, UC_ERR_BAD_DATA when x264 refuses the settings.
    virtual int Init(const UcH264EncodeParam* pParam) = 0;
    // Slot 2: closes the encoder (delayed pictures are dropped; call Flush
    // first to keep them). Init may be called again afterwards.
    virtual int Uninit() = 0;
    // Slot 3: the record in effect, with the defaults resolved (key frame
    // interval, peak percentage, buffer, threads).
    virtual int GetParam(UcH264EncodeParam* pParam) = 0;
    // Slot 4: changes the average bit rate (bits per second) from the next
    // picture on; the peak rate follows with the same percentage.
    virtual int SetBitRate(int nBitRate) = 0;
    // Slot 5: encodes one picture of the input format. `nWidth` x `nHeight`
    // is the picture's size; a size other than the initialised one is scaled
    // to it. `pTimestamp` holds the picture's time stamp on entry and the
    // returned frame's on exit. Returns the frame type (UcH264FrameType);
    // 0 with *ppOut = null and *pOutLen = 0 when there is no output: a
    // picture shorter than its format needs, no Init, or the encoder
    // delayed the picture (never with the default settings).
    // A null picture asks for one delayed frame, as slot 17 does.
    virtual int Encode(const unsigned char* pPicture, int nLength, int nWidth, int nHeight,
                       unsigned char** ppOut, int* pOutLen, uint32_t* pTimestamp) = 0;
    // Slot 6: makes the next encoded picture an IDR frame.
    virtual int ForceKeyFrame() = 0;
    // Slot 7: pictures taken by slot 5 whose frames have not come out yet.
    virtual int GetDelayedFrames() = 0;
    // Slots 8..15: reserved; they return UC_ERR_NOT_SUPPORTED.
    virtual int Reserved8() = 0;
    virtual int Reserved9() = 0;
    virtual int Reserved10() = 0;
    virtual int Reserved11() = 0;
    virtual int Reserved12() = 0;
    virtual int Reserved13() = 0;
    virtual int Reserved14() = 0;
    virtual int Reserved15() = 0;
    // Slot 16: the AVCDecoderConfigurationRecord (version 1, the SPS and the
    // PPS of the open encoder). 0 with non-empty bytes once initialised,
    // UC_ERR_NO_ROOM before. The bytes stay valid until Uninit or destruction.
    virtual int GetAVCConfig(unsigned char** ppData, int* pLength) = 0;
    // Slot 17: drains the encoder at the end of a recording: each call
    // returns one delayed frame (type and time stamp as slot 5) and 0 with no
    // output when none is left. With the default settings (no lookahead, no
    // B-frames, sliced threads) nothing is ever delayed and the first call
    // returns 0; calling it is still how a caller makes sure nothing is lost.
    virtual int Flush(unsigned char** ppOut, int* pOutLen, uint32_t* pTimestamp) = 0;

protected:
    virtual ~CUcH264codec() = default;
};

extern "C" {
// nType 0 = the H.264 encoder; any other value gives null.
VIDEOKIT_API CUcH264codec* CreateH264Codec(int nType);
// Releases a codec from CreateH264Codec; null is ignored.
VIDEOKIT_API void DestoryH264Codec(CUcH264codec* pCodec);
}
