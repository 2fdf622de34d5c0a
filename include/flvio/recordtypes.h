// Plain records shared by the session recorders (CSTDFLVRecorder,
// CFLVRecorder) and their callers: the audio description, the kind of an
// AVC packet and the description of one session event.
#pragma once

#include <string>

#include "flvio/avcpackagetype.h"
#include "flvio/flviotag.h"


// The four inputs of CFlvioTag::GetAudioType. The recorders force AAC
// (format 10) to rate 3, 16-bit, stereo, which gives the audio byte 0xAF.
struct AudioPriority {
    FlvSoundType format = FLV_SOUND_AAC;
    FlvSoundRate rate = FLV_RATE_44KHZ;
    int is8Bit = 0;  // 0: 16-bit samples
    int isMono = 0;  // 0: stereo
};

// Event types of CSTDFLVRecorder::RecordRawData.
enum RecordDataType : unsigned char {
    RECORD_DATA_DOCUMENT = 0,
    RECORD_DATA_PAGE = 1,
    RECORD_DATA_ANNOTATION = 2,
    RECORD_DATA_VOTE = 3,
    RECORD_DATA_SURVEY = 4,
    RECORD_DATA_ACTION = 5,
    RECORD_DATA_LIVETEXT = 8,
    RECORD_DATA_PAGE_UPDATE = 9,
    RECORD_DATA_PHOTO = 10,
    RECORD_DATA_LOTTERY = 11,
    RECORD_DATA_LAYOUT = 13,
    RECORD_DATA_BDINFO = 14,
    RECORD_DATA_CHAT = 18,
    RECORD_DATA_BROWSER_URL = 253,
};

// What a session event carries beside its package. The package holds the
// event's main bytes: the XML text of annotations, votes, surveys, document
// actions, live text and chat lines, the page file of a page event, the
// picture of a photo, the address of a browser event. The fields a type does
// not name are ignored.
struct CDataInfo {
    unsigned char type = 0;  // RecordDataType
    // document (0): the document id; page (1, 9): the page id; live text (8):
    // the key; lottery (11): the command; layout (13): the layout type.
    unsigned long id = 0;
    int docType = 0;          // document (0): the document type
    std::string name;         // document (0): its name; page: its title; lottery: info text
    std::string url;          // page: its address
    std::string pageText;     // page: the page text ("page%u_%u.txt")
    std::string thumbnail;    // page: the thumbnail bytes ("thumb%u_%u.swf")
    std::string animation;    // page: the animation settings (an XML fragment)
    unsigned width = 0;       // page, photo: picture size
    unsigned height = 0;
    bool speedup = false;     // page
    unsigned step = 0;        // page
};
