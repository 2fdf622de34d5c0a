// FlvFacts: everything `flvtool info` reports about one FLV file, gathered
// by CFlvAnalyzer and shown by the text and JSON printers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "aacconfig.h"
#include "avcsps.h"
#include "flvio/flviotag.h"
#include "flvmetadata.h"

// Counts and time stamps of the tags of one type.
struct FlvStreamFacts {
    std::uint64_t nTags = 0;
    std::uint64_t nFrames = 0;     // tags that carry a frame (CFlvTagInfo::IsFrame)
    std::uint64_t nKeyFrames = 0;  // video frames with frame type 1
    std::uint64_t nSequenceHeaders = 0;
    std::uint32_t dwFirstTimeStamp = 0;  // of the first tag in file order
    std::uint32_t dwLastTimeStamp = 0;   // of the last tag in file order
    std::uint32_t dwMaxTimeStamp = 0;
    std::uint64_t nFirstOffset = 0;
    std::uint8_t byFirstBodyByte = 0;  // of the first non-empty tag: the codec fields
    bool bHaveFirstByte = false;
};

// One place where a stream's time stamp is lower than the one before it.
struct FlvBackwardStep {
    TagType type = TAG_TYPE_AUDIO;
    std::uint64_t nOffset = 0;
    std::uint32_t dwPrevious = 0;
    std::uint32_t dwCurrent = 0;
};

struct FlvFacts {
    std::string strPath;
    std::uint64_t nFileSize = 0;

    // Header.
    bool bHaveHeader = false;
    std::uint8_t szSignature[3] = {0, 0, 0};
    unsigned nVersion = 0;
    unsigned nFlags = 0;
    std::uint32_t dwDataOffset = 0;
    unsigned short nAVNumberAudio = 0;  // the library's GetAVNumber reading
    unsigned short nAVNumberVideo = 0;

    // The first onMetaData tag.
    std::unique_ptr<CFlvMetaData> pMetaData;
    std::uint64_t nMetaDataOffset = 0;
    std::uint32_t dwMetaDataSize = 0;
    unsigned nMetaDataTags = 0;  // onMetaData tags in all

    // Tags.
    std::uint64_t nTags = 0;
    FlvStreamFacts audio;
    FlvStreamFacts video;
    FlvStreamFacts script;
    std::uint64_t nTagBytes = 0;  // bytes of complete tags read behind the header

    // Sequence headers and what they say.
    bool bHaveSps = false;
    CAvcSps sps;
    bool bHaveAacConfig = false;
    CAacConfig aacConfig;

    std::vector<FlvBackwardStep> backward;

    // The first damage found; reading stops there.
    bool bDamaged = false;
    std::uint64_t nDamageOffset = 0;
    std::string strDamage;

    // The lowest first and the highest time stamp over the audio and video
    // tags; false when there are none.
    bool GetMediaTimeSpan(std::uint32_t& first, std::uint32_t& last) const {
        bool any = false;
        for (const FlvStreamFacts* s : {&audio, &video}) {
            if (!s->nTags) continue;
            if (!any || s->dwFirstTimeStamp < first) first = s->dwFirstTimeStamp;
            if (!any || s->dwMaxTimeStamp > last) last = s->dwMaxTimeStamp;
            any = true;
        }
        return any;
    }
};
