#include "x264encoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include "basekit/logwrapper.h"
#include "bgratoi420.h"

namespace {

constexpr int kDefaultPresetIndex = 3;  // "veryfast" (value7 counts from 1)
constexpr int kPresetCount = 10;
constexpr int kDefaultThreads = 2;
constexpr int kMaxThreads = 16;
constexpr int kDefaultVbvMs = 1000;
constexpr int kDefaultCrf = 23;
// The finest quantiser x264 may use. Below 16 an 8-bit picture looks no
// better; without a floor, the average bit rate drives a still screen's
// quantiser down to 0 within a few seconds, and every picture then re-codes
// the unchanged screen (about 3 KB and 4.6 ms of encoding per 720p picture,
// against 180 bytes and 2.5 ms with the floor).
constexpr int kMinQp = 16;
constexpr int kMaxDimension = 16384;
constexpr int kMaxFps = 240;

void X264Log(void* /*priv*/, int level, const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof(text), format, args);
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) {
        text[--len] = '\0';
    }
    int logLevel = level <= X264_LOG_ERROR     ? CLogWrapper::LOG_ERROR
                   : level == X264_LOG_WARNING ? CLogWrapper::LOG_WARNING
                                               : CLogWrapper::LOG_INFO;
    UC_LOG(logLevel, "x264: " << text);
}

int ChromaCspOf(int secondFormat) {
    if (secondFormat == UC_PIX_I422) {
        return X264_CSP_I422;
    }
    if (secondFormat == UC_PIX_I444) {
        return X264_CSP_I444;
    }
    return X264_CSP_I420;
}

AVPixelFormat PixelFormatOfCsp(int csp) {
    switch (csp) {
    case X264_CSP_I422:
        return AV_PIX_FMT_YUV422P;
    case X264_CSP_I444:
        return AV_PIX_FMT_YUV444P;
    default:
        return AV_PIX_FMT_YUV420P;
    }
}

const char* ProfileOfCsp(int csp) {
    switch (csp) {
    case X264_CSP_I422:
        return "high422";
    case X264_CSP_I444:
        return "high444";
    default:
        return "high";
    }
}

int FrameTypeOf(const x264_picture_t& pic) {
    switch (pic.i_type) {
    case X264_TYPE_IDR:
        return UC_H264_FRAME_IDR;
    case X264_TYPE_I:
        return UC_H264_FRAME_I;
    case X264_TYPE_B:
    case X264_TYPE_BREF:
        return UC_H264_FRAME_B;
    default:
        return pic.b_keyframe ? UC_H264_FRAME_I : UC_H264_FRAME_P;
    }
}

void PutU16(std::vector<unsigned char>& out, std::size_t value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

}  // namespace

void CX264Encoder::PictureDeleter::operator()(x264_picture_t* p) const {
    av_freep(&p->img.plane[0]);
    delete p;
}

CX264Encoder::CX264Encoder() { UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry"); }

CX264Encoder::~CX264Encoder() { Uninit(); }

const char* CX264Encoder::GetCodecName() { return "x264 H.264 encoder"; }

int CX264Encoder::_ResolveParam(const UcH264EncodeParam& in, UcH264EncodeParam& out) {
    out = in;
    if (in.width <= 0 || in.height <= 0 || in.width > kMaxDimension || in.height > kMaxDimension ||
        in.frameRate <= 0 || in.frameRate > kMaxFps) {
        return UC_CODEC_ERR_BAD_ARGUMENT;
    }
    if (CPictureConverter::PixelFormatOf(in.inputFormat) == AV_PIX_FMT_NONE) {
        return UC_CODEC_ERR_NOT_SUPPORTED;
    }
    int csp = ChromaCspOf(in.secondFormat);
    bool bOddWidth = (in.width & 1) != 0;
    bool bOddHeight = (in.height & 1) != 0;
    if ((csp == X264_CSP_I420 && (bOddWidth || bOddHeight)) || (csp == X264_CSP_I422 && bOddWidth)) {
        return UC_CODEC_ERR_BAD_ARGUMENT;
    }
    if (in.encoderValueA < 0 || in.bitRate < 0 || in.value9 < 0 || in.value10 < 0 ||
        in.value7 < 0 || in.value7 > kPresetCount || in.value11 < 0 || in.value11 > 51 ||
        in.value12 < 0 || in.value12 > 1) {
        return UC_CODEC_ERR_BAD_ARGUMENT;
    }
    out.encoderValueA = in.encoderValueA == 0 ? 10 * in.frameRate : in.encoderValueA;
    out.encoderValueB = std::max(in.encoderValueB, 100);
    out.value7 = in.value7 == 0 ? kDefaultPresetIndex : in.value7;
    out.value9 = in.value9 == 0 ? kDefaultVbvMs : in.value9;
    out.value10 = in.value10 == 0 ? kDefaultThreads : std::min(in.value10, kMaxThreads);
    return 0;
}

void CX264Encoder::_BuildX264Param(const UcH264EncodeParam& param, int csp) {
    x264_param_t& p = m_x264Param;
    // No lookahead and no B-frames: every picture comes out of its own encode
    // call, so time stamps pass straight through and nothing waits at stop.
    x264_param_default_preset(&p, x264_preset_names[param.value7 - 1], "zerolatency");
    p.i_threads = param.value10;
    p.b_sliced_threads = 1;
    p.i_width = param.width;
    p.i_height = param.height;
    p.i_csp = csp;
    p.i_fps_num = static_cast<uint32_t>(param.frameRate);
    p.i_fps_den = 1;
    p.i_timebase_num = 1;
    p.i_timebase_den = static_cast<uint32_t>(param.frameRate);
    p.b_vfr_input = 0;
    p.i_keyint_max = param.encoderValueA;
    p.i_keyint_min = 1;  // every intra frame is an IDR frame, so every key frame is a seek point
    p.i_bframe = 0;
    p.rc.i_lookahead = 0;
    p.i_sync_lookahead = 0;
    p.rc.b_mb_tree = 0;
    p.b_repeat_headers = 0;  // SPS/PPS travel in the configuration record only
    p.b_annexb = 0;          // 4-byte length prefixes
    p.b_aud = 0;
    p.vui.i_colorprim = 1;  // BT.709
    p.vui.i_transfer = 1;
    p.vui.i_colmatrix = 1;
    p.vui.b_fullrange = 0;
    if (param.value12 == 0) {
        // Screen content: psycho-visual rate-distortion adds ringing and noise
        // around glyph edges; lighter deblocking keeps strokes sharp.
        p.analyse.b_psy = 0;
        p.i_deblocking_filter_alphac0 = -1;
        p.i_deblocking_filter_beta = -1;
    }
    // Pictures may come with the macroblocks that did not change (a still
    // screen): x264 then skips their analysis.
    p.analyse.b_mb_info = 1;
    // Flagging macroblocks constant does not stop that refinement (x264
    // still wrote 3.2 KB per identical picture): the floor lets a still
    // screen settle.
    p.rc.i_qp_min = kMinQp;
    p.pf_log = X264Log;
    p.p_log_private = nullptr;
    p.i_log_level = X264_LOG_INFO;
    _ApplyRateControl(param.bitRate);
}

void CX264Encoder::_ApplyRateControl(int nBitRate) {
    auto& rc = m_x264Param.rc;
    int64_t peak = static_cast<int64_t>(nBitRate) * m_param.encoderValueB / 100;
    int peakKbps = static_cast<int>(std::max<int64_t>(1, peak / 1000));
    int bufferKbit = static_cast<int>(std::max<int64_t>(1, peak * m_param.value9 / 1000 / 1000));
    rc.i_vbv_max_bitrate = 0;
    rc.i_vbv_buffer_size = 0;
    if (m_param.value11 > 0 || nBitRate == 0) {
        rc.i_rc_method = X264_RC_CRF;
        rc.f_rf_constant = static_cast<float>(m_param.value11 > 0 ? m_param.value11 : kDefaultCrf);
    } else {
        rc.i_rc_method = X264_RC_ABR;
        rc.i_bitrate = std::max(1, nBitRate / 1000);
    }
    if (nBitRate > 0) {
        rc.i_vbv_max_bitrate = peakKbps;
        rc.i_vbv_buffer_size = bufferKbit;
    }
}

int CX264Encoder::Init(const UcH264EncodeParam* pParam) {
    UC_ASSERTE_RETURN(pParam, UC_CODEC_ERR_BAD_ARGUMENT);
    UC_LOG_THIS(CLogWrapper::LOG_INFO,
                "Entry, width=" << pParam->width << ", height=" << pParam->height << ", fps="
                                << pParam->frameRate << ", format=" << pParam->inputFormat
                                << ", bitrate=" << pParam->bitRate
                                << ", keyint=" << pParam->encoderValueA);
    if (m_pEncoder) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- already initialised");
        return UC_CODEC_ERR_WRONG_STATE;
    }
    int rv = _ResolveParam(*pParam, m_param);
    if (rv != 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- bad parameters, errorcode=" << rv);
        return rv;
    }
    int csp = ChromaCspOf(m_param.secondFormat);
    _BuildX264Param(m_param, csp);
    if (x264_param_apply_profile(&m_x264Param, ProfileOfCsp(csp)) < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- x264_param_apply_profile fail");
        return UC_CODEC_ERR_FAILED;
    }

    std::unique_ptr<x264_picture_t, PictureDeleter> picture(new x264_picture_t);
    x264_picture_init(picture.get());
    AVPixelFormat planar = PixelFormatOfCsp(csp);
    if (av_image_alloc(picture->img.plane, picture->img.i_stride, m_param.width, m_param.height,
                       planar, 64) < 0) {
        picture->img.plane[0] = nullptr;
        return UC_CODEC_ERR_FAILED;
    }
    picture->img.i_csp = csp;
    picture->img.i_plane = 3;

    m_pEncoder.reset(x264_encoder_open(&m_x264Param));
    if (!m_pEncoder) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- x264_encoder_open fail");
        return UC_CODEC_ERR_FAILED;
    }
    if (!_BuildConfigRecord()) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- x264_encoder_headers fail");
        m_pEncoder.reset();
        return UC_CODEC_ERR_FAILED;
    }
    m_pPicture = std::move(picture);
    m_converter.SetTarget(planar, m_param.width, m_param.height);
    m_nNextPts = 0;
    m_pending.clear();
    m_bForceIdr = false;
    m_nNextChangedRows = -1;
    m_bHavePrevious = false;
    m_bPreviousEqual = false;
    m_bPreviousRepeat = false;
    m_bSettled = false;
    m_nLastQp = -1;
    m_nRepeats = 0;
    m_nPictures = 0;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Exit ok, repeats of unchanged pictures "
                                           << (m_repeat.IsOpen() ? "on" : "off"));
    return 0;
}

int CX264Encoder::Uninit() {
    if (m_pEncoder) {
        UC_LOG_THIS(CLogWrapper::LOG_INFO, "pictures=" << m_nPictures << ", repeats written without x264="
                                                       << m_nRepeats);
    }
    m_pEncoder.reset();
    m_pPicture.reset();
    m_vecConfig.clear();
    m_vecFrame.clear();
    m_pending.clear();
    m_nNextChangedRows = -1;
    m_bHavePrevious = false;
    m_bPreviousEqual = false;
    return 0;
}

int CX264Encoder::GetParam(UcH264EncodeParam* pParam) {
    UC_ASSERTE_RETURN(pParam, UC_CODEC_ERR_BAD_ARGUMENT);
    if (!m_pEncoder) {
        return UC_CODEC_ERR_WRONG_STATE;
    }
    *pParam = m_param;
    return 0;
}

int CX264Encoder::SetBitRate(int nBitRate) {
    if (!m_pEncoder) {
        return UC_CODEC_ERR_WRONG_STATE;
    }
    if (nBitRate <= 0) {
        return UC_CODEC_ERR_BAD_ARGUMENT;
    }
    if (m_param.bitRate == 0) {
        // Constant quality without VBV: x264 cannot add a rate limit later.
        return UC_CODEC_ERR_NOT_SUPPORTED;
    }
    x264_param_t saved = m_x264Param;
    _ApplyRateControl(nBitRate);
    if (x264_encoder_reconfig(m_pEncoder.get(), &m_x264Param) < 0) {
        m_x264Param = saved;
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- x264_encoder_reconfig fail");
        return UC_CODEC_ERR_FAILED;
    }
    m_param.bitRate = nBitRate;
    return 0;
}

int CX264Encoder::Encode(const unsigned char* pPicture, int nLength, int nWidth, int nHeight,
                         unsigned char** ppOut, int* pOutLen, uint32_t* pTimestamp) {
    UC_ASSERTE_RETURN(ppOut && pOutLen && pTimestamp, UC_H264_FRAME_NONE);
    *ppOut = nullptr;
    *pOutLen = 0;
    if (!pPicture) {
        return Flush(ppOut, pOutLen, pTimestamp);
    }
    if (!m_pEncoder) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- not initialised");
        return UC_H264_FRAME_NONE;
    }
    // An I420 picture of the encoded size goes to x264 as it is (x264 copies
    // its input into its own frame); everything else is converted first.
    x264_picture_t direct;
    x264_picture_t* pIn = &direct;
    const bool bDirect = _WrapI420(pPicture, nLength, nWidth, nHeight, direct);
    const bool bAnnouncedEqual = m_nNextChangedRows == 0;
    const bool bRepeat = _Repeat(bDirect, ppOut, pOutLen);
    m_bPreviousEqual = bAnnouncedEqual;
    m_bPreviousRepeat = bRepeat;
    if (!bAnnouncedEqual) {
        m_bSettled = false;
    }
    if (bRepeat) {
        return UC_H264_FRAME_P;
    }
    if (!bDirect) {
        if (!m_converter.Convert(m_param.inputFormat, pPicture, nLength, nWidth, nHeight,
                                 m_pPicture->img.plane, m_pPicture->img.i_stride)) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- picture rejected, length=" << nLength << ", width="
                                                      << nWidth << ", height=" << nHeight);
            // The next picture's changed rows are relative to this one, which
            // x264 never got.
            m_nNextChangedRows = -1;
            m_bHavePrevious = false;
            m_bPreviousEqual = false;
            m_bSettled = false;
            return UC_H264_FRAME_NONE;
        }
        pIn = m_pPicture.get();
    }
    pIn->i_pts = m_nNextPts++;
    ++m_nPictures;
    pIn->i_type = m_bForceIdr ? X264_TYPE_IDR : X264_TYPE_AUTO;
    _AttachChangedRows(*pIn, bDirect);
    m_bForceIdr = false;
    m_pending.push_back({pIn->i_pts, *pTimestamp});
    int type = _EncodeInto(pIn, ppOut, pOutLen, pTimestamp);
    if (bAnnouncedEqual && type != UC_H264_FRAME_NONE) {
        // Under the average bit rate x264 has made the most of a still
        // picture once its quantiser reached the floor; before that (and
        // always under constant quality, or while a large key frame has
        // drained the rate buffer) it refines the picture with every copy it
        // gets, however small the copies are.
        m_bSettled = m_x264Param.rc.i_rc_method == X264_RC_ABR && m_nLastQp >= 0 &&
                     m_nLastQp <= kMinQp;
    }
    // The converted picture is reused: its flags went to x264 with it.
    pIn->prop.mb_info = nullptr;
    pIn->prop.mb_info_free = nullptr;
    return type;
}

bool CX264Encoder::_Repeat(bool bDirect, unsigned char** ppOut, int* pOutLen) {
    // Only a picture x264 would have read as given, equal to the last one
    // x264 got, with nothing of x264's still in flight; a key frame that was
    // asked for is coded. The first equal picture after a change goes to
    // x264 too: a still run starts there, and a picture that changes every
    // other time (a slow animation) keeps every picture's share of the bit
    // rate, which x264 hands out per picture it gets. Until x264 has
    // settled on the still picture, every other one goes to x264 to refine
    // it.
    if (!bDirect || m_nNextChangedRows != 0 || !m_bPreviousEqual || !m_bHavePrevious || m_bForceIdr ||
        !m_repeat.CanRepeat() || (m_bPreviousRepeat && !m_bSettled) ||
        x264_encoder_delayed_frames(m_pEncoder.get()) > 0) {
        return false;
    }
    m_nNextChangedRows = -1;
    // x264's time stamps keep counting picture slots.
    ++m_nNextPts;
    ++m_nPictures;
    ++m_nRepeats;
    m_repeat.Write(m_vecFrame);
    *ppOut = m_vecFrame.data();
    *pOutLen = static_cast<int>(m_vecFrame.size());
    return true;
}

int CX264Encoder::SetNextChangedRows(int nTop, int nRows) {
    if (!m_pEncoder) {
        return UC_CODEC_ERR_WRONG_STATE;
    }
    m_nNextChangedTop = nTop;
    m_nNextChangedRows = nRows;
    return 0;
}

void CX264Encoder::_AttachChangedRows(x264_picture_t& pic, bool bDirect) {
    const int top = m_nNextChangedTop;
    const int rows = m_nNextChangedRows;
    m_nNextChangedRows = -1;
    pic.prop.mb_info = nullptr;
    pic.prop.mb_info_free = nullptr;
    // Rows count only for a picture x264 reads as given (a converted one may
    // be scaled, flipped or filtered across rows), relative to the picture
    // x264 got before it; a key frame that was asked for is coded whole.
    const int height = m_param.height;
    if (!bDirect || !m_bHavePrevious || m_bForceIdr || rows < 0 || top < 0 || top > height ||
        rows > height - top) {
        return;
    }
    const int widthMb = (m_param.width + 15) / 16;
    const int heightMb = (height + 15) / 16;
    const std::size_t count = static_cast<std::size_t>(widthMb) * static_cast<std::size_t>(heightMb);
    // x264 may read the flags on its threads after the encode call returns
    // and frees them with the frame: malloc/free, not ours to keep.
    auto* info = static_cast<uint8_t*>(std::malloc(count));
    if (!info) {
        return;
    }
    for (int mbY = 0; mbY < heightMb; ++mbY) {
        // Macroblock row mbY covers picture rows [16 mbY, 16 mbY + 16); the
        // last one's padding repeats the picture's last row.
        const int first = mbY * 16;
        const int last = std::min(first + 16, height);
        const bool changed = rows > 0 && top < last && top + rows > first;
        std::memset(info + static_cast<std::size_t>(mbY) * static_cast<std::size_t>(widthMb),
                    changed ? 0 : X264_MBINFO_CONSTANT, static_cast<std::size_t>(widthMb));
    }
    pic.prop.mb_info = info;
    pic.prop.mb_info_free = std::free;
}

bool CX264Encoder::_WrapI420(const unsigned char* pPicture, int nLength, int nWidth, int nHeight,
                             x264_picture_t& pic) const {
    if (m_param.inputFormat != UC_PIX_I420 || m_x264Param.i_csp != X264_CSP_I420 ||
        nWidth != m_param.width || nHeight != m_param.height) {
        return false;
    }
    if (nLength < 0 || static_cast<std::size_t>(nLength) < I420Planes::PackedBytes(nWidth, nHeight)) {
        return false;
    }
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_I420;
    pic.img.i_plane = 3;
    // x264 only reads the planes of an input picture.
    const I420Planes planes = I420Planes::Packed(const_cast<unsigned char*>(pPicture), nWidth, nHeight);
    pic.img.plane[0] = planes.pY;
    pic.img.plane[1] = planes.pU;
    pic.img.plane[2] = planes.pV;
    pic.img.i_stride[0] = planes.nStrideY;
    pic.img.i_stride[1] = planes.nStrideUV;
    pic.img.i_stride[2] = planes.nStrideUV;
    return true;
}

int CX264Encoder::_EncodeInto(x264_picture_t* pPicIn, unsigned char** ppOut, int* pOutLen,
                              uint32_t* pTimestamp) {
    x264_picture_t picOut;
    x264_picture_init(&picOut);
    x264_nal_t* pNals = nullptr;
    int nNals = 0;
    int size = x264_encoder_encode(m_pEncoder.get(), &pNals, &nNals, pPicIn, &picOut);
    if (pPicIn) {
        m_bHavePrevious = size >= 0;
    }
    if (size < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- x264_encoder_encode fail, errorcode=" << size);
        return UC_H264_FRAME_NONE;
    }
    if (size == 0 || nNals <= 0) {
        return UC_H264_FRAME_NONE;
    }
    int type = _TakeFrame(pNals, nNals, picOut, pTimestamp);
    m_nLastQp = picOut.i_qpplus1 - 1;
    if (type != UC_H264_FRAME_NONE) {
        *ppOut = m_vecFrame.data();
        *pOutLen = static_cast<int>(m_vecFrame.size());
    }
    return type;
}

int CX264Encoder::_TakeFrame(x264_nal_t* pNals, int nNals, const x264_picture_t& picOut,
                             uint32_t* pTimestamp) {
    m_vecFrame.clear();
    for (int i = 0; i < nNals; ++i) {
        const x264_nal_t& nal = pNals[i];
        if (nal.i_type == NAL_SPS || nal.i_type == NAL_PPS || nal.i_type == NAL_AUD ||
            nal.i_type == NAL_FILLER) {
            continue;
        }
        m_vecFrame.insert(m_vecFrame.end(), nal.p_payload, nal.p_payload + nal.i_payload);
    }
    m_repeat.AdoptEncoded(m_vecFrame);
    if (m_repeat.NeedsKeyFrame()) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- a picture could not follow the repeats, key frame next");
        m_bForceIdr = true;
    }
    while (!m_pending.empty() && m_pending.front().pts < picOut.i_pts) {
        m_pending.pop_front();  // a picture x264 refused
    }
    if (!m_pending.empty() && m_pending.front().pts == picOut.i_pts) {
        *pTimestamp = m_pending.front().timestamp;
        m_pending.pop_front();
    }
    return m_vecFrame.empty() ? UC_H264_FRAME_NONE : FrameTypeOf(picOut);
}

int CX264Encoder::ForceKeyFrame() {
    if (!m_pEncoder) {
        return UC_CODEC_ERR_WRONG_STATE;
    }
    m_bForceIdr = true;
    return 0;
}

int CX264Encoder::GetDelayedFrames() {
    return m_pEncoder ? x264_encoder_delayed_frames(m_pEncoder.get()) : 0;
}

int CX264Encoder::Reserved8() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved9() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved10() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved11() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved12() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved13() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved14() { return UC_CODEC_ERR_NOT_SUPPORTED; }
int CX264Encoder::Reserved15() { return UC_CODEC_ERR_NOT_SUPPORTED; }

int CX264Encoder::GetAVCConfig(unsigned char** ppData, int* pLength) {
    UC_ASSERTE_RETURN(ppData && pLength, UC_CODEC_ERR_BAD_ARGUMENT);
    if (m_vecConfig.empty()) {
        *ppData = nullptr;
        *pLength = 0;
        return UC_CODEC_ERR_WRONG_STATE;
    }
    *ppData = m_vecConfig.data();
    *pLength = static_cast<int>(m_vecConfig.size());
    return 0;
}

int CX264Encoder::Flush(unsigned char** ppOut, int* pOutLen, uint32_t* pTimestamp) {
    UC_ASSERTE_RETURN(ppOut && pOutLen && pTimestamp, UC_H264_FRAME_NONE);
    *ppOut = nullptr;
    *pOutLen = 0;
    if (!m_pEncoder || x264_encoder_delayed_frames(m_pEncoder.get()) <= 0) {
        return UC_H264_FRAME_NONE;
    }
    return _EncodeInto(nullptr, ppOut, pOutLen, pTimestamp);
}

bool CX264Encoder::_BuildConfigRecord() {
    x264_nal_t* pNals = nullptr;
    int nNals = 0;
    if (x264_encoder_headers(m_pEncoder.get(), &pNals, &nNals) < 0) {
        return false;
    }
    const x264_nal_t* pSps = nullptr;
    const x264_nal_t* pPps = nullptr;
    for (int i = 0; i < nNals; ++i) {
        if (pNals[i].i_type == NAL_SPS && !pSps) {
            pSps = &pNals[i];
        } else if (pNals[i].i_type == NAL_PPS && !pPps) {
            pPps = &pNals[i];
        }
    }
    // Payloads start with their 4-byte length prefix.
    if (!pSps || !pPps || pSps->i_payload < 8 || pPps->i_payload < 5) {
        return false;
    }
    const unsigned char* sps = pSps->p_payload + 4;
    std::size_t spsLen = static_cast<std::size_t>(pSps->i_payload - 4);
    const unsigned char* pps = pPps->p_payload + 4;
    std::size_t ppsLen = static_cast<std::size_t>(pPps->i_payload - 4);
    m_repeat.Open(sps, spsLen, pps, ppsLen);

    std::vector<unsigned char>& rec = m_vecConfig;
    rec.clear();
    rec.push_back(1);       // configurationVersion
    rec.push_back(sps[1]);  // AVCProfileIndication
    rec.push_back(sps[2]);  // profile_compatibility
    rec.push_back(sps[3]);  // AVCLevelIndication
    rec.push_back(0xFF);    // lengthSizeMinusOne = 3
    rec.push_back(0xE1);    // one SPS
    PutU16(rec, spsLen);
    rec.insert(rec.end(), sps, sps + spsLen);
    rec.push_back(1);  // one PPS
    PutU16(rec, ppsLen);
    rec.insert(rec.end(), pps, pps + ppsLen);
    int profile = sps[1];
    if (profile != 66 && profile != 77 && profile != 88) {  // the High profiles' extension
        int chroma = m_x264Param.i_csp == X264_CSP_I444   ? 3
                     : m_x264Param.i_csp == X264_CSP_I422 ? 2
                                                          : 1;
        rec.push_back(static_cast<unsigned char>(0xFC | chroma));
        rec.push_back(0xF8);  // bit_depth_luma_minus8 = 0
        rec.push_back(0xF8);  // bit_depth_chroma_minus8 = 0
        rec.push_back(0);     // no SPS extensions
    }
    return true;
}
