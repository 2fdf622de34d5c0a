// CRecordEventXml: the event index of one segment of a session recording:
// "<events>" with the events recorded during the segment, "<videokeys>" with
// its key frames and "<audioindexs>" with audio positions. CSTDFLVRecorder
// keeps one per segment (in segment mode) and writes it as the content of
// the segment's "multirecord" element. Times are given in session
// milliseconds; elements carry them in seconds relative to the segment start
// ("timestamp") and to the session ("totaltimestamp").
#pragma once

#include <string>

class CRecordEventXml {
public:
    explicit CRecordEventXml(unsigned long relativeTime = 0) { Reset(relativeTime); }

    // Empties the index for a segment that starts at relativeTime.
    void Reset(unsigned long relativeTime);

    // An event of type "single" (content: the event's id) or "dump" (content:
    // the recorded entry). The content must already be well-formed XML text;
    // it is written as it is. A time before the segment start is logged as a
    // failed assertion and refused with UC_ERR_BAD_ARGUMENT.
    int AddEvent(const char* type, unsigned long timeStamp, const std::string& content);
    int AddVideoKey(unsigned long timeStamp, unsigned long filePos, int isConfig);
    int AddAudioIndex(unsigned long timeStamp, unsigned long filePos);

    bool IsEmpty() const { return m_strEvents.empty() && m_strVideoKeys.empty() && m_strAudio.empty(); }
    unsigned long GetRelativeTime() const { return m_dwRelativeTime; }
    // The three lists, each present when it has entries.
    std::string GetXml() const;

private:
    unsigned long m_dwRelativeTime = 0;
    std::string m_strEvents;
    std::string m_strVideoKeys;
    std::string m_strAudio;
};
