#include "aacencoder.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include "aacframe/adtsheader.h"
#include "basekit/logwrapper.h"

namespace {
constexpr int kFrameSamples = 1024;
constexpr int kBytesPerSample = 2;
}  // namespace

void CAacEncoder::ContextDeleter::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void CAacEncoder::FrameDeleter::operator()(AVFrame* p) const { av_frame_free(&p); }
void CAacEncoder::PacketDeleter::operator()(AVPacket* p) const { av_packet_free(&p); }

CAacEncoder::CAacEncoder() : CUcAudioCodec(UC_AUDIO_CODEC_AAC_LC) {}

CAacEncoder::~CAacEncoder() = default;

int CAacEncoder::Open(const _UCAudioCodecInfo& info) {
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Entry, sampleRate=" << info.sampleRate << ", codecType="
                                           << info.codecType << ", channels=" << info.channels
                                           << ", bitRate=" << info.bitRate << ", mode=" << info.mode);
    int sfi = info.sampleRate > 0 ? CAdtsHeader::RateIndex(static_cast<unsigned>(info.sampleRate)) : -1;
    if (info.codecType != UC_AUDIO_CODEC_AAC_LC ||
        (info.mode != UC_AUDIO_MODE_ADTS && info.mode != UC_AUDIO_MODE_RAW)) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- codec type or mode not supported");
        return UC_AUDIO_ERR_NOT_SUPPORTED;
    }
    if (sfi < 0 || info.channels < 1 || info.channels > 2 || info.bitRate <= 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- bad rate, channel count or bit rate");
        return UC_AUDIO_ERR_BAD_ARGUMENT;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- no aac encoder in libavcodec");
        return UC_AUDIO_ERR_NOT_SUPPORTED;
    }
    m_pContext.reset(avcodec_alloc_context3(codec));
    m_pFrame.reset(av_frame_alloc());
    m_pPacket.reset(av_packet_alloc());
    if (!m_pContext || !m_pFrame || !m_pPacket) {
        return UC_AUDIO_ERR_FAILED;
    }
    AVCodecContext* ctx = m_pContext.get();
    m_info.sampleRate = info.sampleRate;
    m_info.codecType = info.codecType;
    m_info.channels = info.channels;
    m_info.bitRate = info.bitRate < 1000 ? info.bitRate * 1000 : info.bitRate;
    m_info.mode = info.mode;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = info.sampleRate;
    av_channel_layout_default(&ctx->ch_layout, info.channels);
    ctx->bit_rate = m_info.bitRate;
    ctx->profile = FF_PROFILE_AAC_LOW;
    ctx->time_base = AVRational{1, info.sampleRate};
    // The encoder's statistics at close are information, not news for the
    // console: one level down for this context only.
    ctx->log_level_offset = AV_LOG_DEBUG - AV_LOG_VERBOSE;
    int rv = avcodec_open2(ctx, codec, nullptr);
    if (rv < 0 || ctx->frame_size != kFrameSamples) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- avcodec_open2 fail, errorcode=" << rv);
        return UC_AUDIO_ERR_FAILED;
    }
    AVFrame* frame = m_pFrame.get();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = kFrameSamples;
    frame->sample_rate = info.sampleRate;
    if (av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout) < 0 ||
        av_frame_get_buffer(frame, 0) < 0) {
        return UC_AUDIO_ERR_FAILED;
    }
    m_nFrequencyIndex = sfi;
    CAdtsHeader config;
    config.rateIndex = static_cast<unsigned>(sfi);
    config.channelConfig = static_cast<unsigned>(info.channels);
    config.WriteAacLcConfig(m_abConfig);
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "Exit ok, delay=" << ctx->initial_padding);
    return 0;
}

int CAacEncoder::GetCodecInfo(_UCAudioCodecInfo* pInfo) {
    UC_ASSERTE_RETURN(pInfo, UC_AUDIO_ERR_BAD_ARGUMENT);
    pInfo->sampleRate = m_info.sampleRate;
    pInfo->codecType = m_info.codecType;
    pInfo->channels = m_info.channels;
    pInfo->bitRate = m_info.bitRate;
    pInfo->mode = m_info.mode;
    return 0;
}

int CAacEncoder::GetFrameSamples() { return kFrameSamples; }

int CAacEncoder::GetDelaySamples() { return m_pContext ? m_pContext->initial_padding : 0; }

int CAacEncoder::GetAudioSpecificConfig(unsigned char** ppData, int* pLength) {
    UC_ASSERTE_RETURN(ppData && pLength, UC_AUDIO_ERR_BAD_ARGUMENT);
    *ppData = m_abConfig;
    *pLength = static_cast<int>(sizeof(m_abConfig));
    return 0;
}

int CAacEncoder::Encode(const unsigned char* pPcm, int nLength, unsigned char** ppOut,
                        int* pOutLen, unsigned short* pSamples, int nSampleRate) {
    UC_ASSERTE_RETURN(ppOut && pOutLen && pSamples, UC_AUDIO_ERR_BAD_ARGUMENT);
    *ppOut = nullptr;
    *pOutLen = 0;
    *pSamples = 0;
    if (!m_pContext) {
        return UC_AUDIO_ERR_WRONG_STATE;
    }
    if (m_bFlushing) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- Encode after Flush");
        return UC_AUDIO_ERR_WRONG_STATE;
    }
    const int frameBytes = kBytesPerSample * m_info.channels;
    if (nSampleRate != m_info.sampleRate || nLength < 0 || (nLength > 0 && !pPcm) ||
        nLength / frameBytes > kFrameSamples) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- bad input, length=" << nLength
                                                << ", sampleRate=" << nSampleRate);
        return UC_AUDIO_ERR_BAD_ARGUMENT;
    }
    if (!_FillFrame(pPcm, nLength / frameBytes)) {
        return UC_AUDIO_ERR_FAILED;
    }
    m_pFrame->pts = m_nNextPts;
    m_nNextPts += kFrameSamples;
    int rv = avcodec_send_frame(m_pContext.get(), m_pFrame.get());
    if (rv < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- avcodec_send_frame fail, errorcode=" << rv);
        return UC_AUDIO_ERR_FAILED;
    }
    return _Receive(ppOut, pOutLen, pSamples);
}

int CAacEncoder::Flush(unsigned char** ppOut, int* pOutLen, unsigned short* pSamples) {
    UC_ASSERTE_RETURN(ppOut && pOutLen && pSamples, UC_AUDIO_ERR_BAD_ARGUMENT);
    *ppOut = nullptr;
    *pOutLen = 0;
    *pSamples = 0;
    if (!m_pContext || m_bDrained) {
        return 0;
    }
    if (!m_bFlushing) {
        m_bFlushing = true;
        int rv = avcodec_send_frame(m_pContext.get(), nullptr);
        if (rv < 0) {
            UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- drain fail, errorcode=" << rv);
            m_bDrained = true;
            return UC_AUDIO_ERR_FAILED;
        }
    }
    return _Receive(ppOut, pOutLen, pSamples);
}

bool CAacEncoder::_FillFrame(const unsigned char* pPcm, int nFrames) {
    AVFrame* frame = m_pFrame.get();
    if (av_frame_make_writable(frame) < 0) {
        return false;
    }
    const int channels = m_info.channels;
    for (int c = 0; c < channels; ++c) {
        float* plane = reinterpret_cast<float*>(frame->extended_data[c]);
        for (int i = 0; i < nFrames; ++i) {
            const unsigned char* p = pPcm + (static_cast<std::size_t>(i) * channels + c) * 2;
            auto sample = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
            plane[i] = static_cast<float>(sample) / 32768.0f;
        }
        std::memset(plane + nFrames, 0, sizeof(float) * static_cast<std::size_t>(kFrameSamples - nFrames));
    }
    return true;
}

int CAacEncoder::_Receive(unsigned char** ppOut, int* pOutLen, unsigned short* pSamples) {
    AVPacket* pkt = m_pPacket.get();
    int rv = avcodec_receive_packet(m_pContext.get(), pkt);
    if (rv == AVERROR(EAGAIN)) {
        return 0;
    }
    if (rv == AVERROR_EOF) {
        m_bDrained = true;
        return 0;
    }
    if (rv < 0) {
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- avcodec_receive_packet fail, errorcode=" << rv);
        return UC_AUDIO_ERR_FAILED;
    }
    const std::size_t payload = static_cast<std::size_t>(pkt->size);
    const std::size_t header = m_info.mode == UC_AUDIO_MODE_ADTS ? CAdtsHeader::kHeaderBytes : 0;
    m_vecOut.resize(header + payload);
    // MPEG-4, AAC LC (profile 1), the stream's rate and channels.
    CAdtsHeader adts;
    adts.profile = 1;
    adts.rateIndex = static_cast<unsigned>(m_nFrequencyIndex);
    adts.channelConfig = static_cast<unsigned>(m_info.channels);
    adts.frameBytes = header + payload;
    if (header && !adts.Write(m_vecOut.data())) {
        av_packet_unref(pkt);
        UC_LOG_THIS(CLogWrapper::LOG_ERROR, " --- frame too long for ADTS, bytes=" << payload);
        return UC_AUDIO_ERR_FAILED;
    }
    std::memcpy(m_vecOut.data() + header, pkt->data, payload);
    av_packet_unref(pkt);
    *ppOut = m_vecOut.data();
    *pOutLen = static_cast<int>(m_vecOut.size());
    *pSamples = kFrameSamples;
    return 0;
}
