// CFlvMultiReader: reads a recording stored as several FLV segment files in
// one folder as if it were one file. It moves from segment to segment,
// optionally shifts each tag's time stamp by its segment's start time, maps
// byte offsets and times onto segments, and reports segments that are not
// there yet (still being downloaded) as missing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flvio/flvreader.h"

class CFlvMultiReader : public CFlvReader {
public:
    // One segment of the recording.
    struct FlvSegment {
        std::string strName;
        std::uint32_t dwStartTimeStamp = 0;  // ms, time of its first tag in the whole recording
        std::uint32_t dwFileLen = 0;         // 0 while the file is missing or empty
    };

    CFlvMultiReader();
    ~CFlvMultiReader() override;

    // Not supported: UC_ERR_NOT_SUPPORTED.
    int Init(CDataPackage& data) override;
    // strPath is the folder of the segments; adjustTimeStamps non-zero shifts
    // tags by their segment's start. Opens nothing yet. UC_ERR_BAD_ARGUMENT for an empty path.
    int Init(const std::string& strPath, int reserved, int adjustTimeStamps, int unused) override;
    // Closes the open segment and forgets all segments.
    int Clear() override;
    // Reads the header of the first segment (switching back to it).
    int ReadHeader(CFlvioHeader& header) override;
    // The next tag of the recording, moving on to the next segment at the end
    // of one. UC_ERR_BAD_DATA when the next segment is not there yet (the reader has
    // moved on to it then).
    int GetNextTag(CFlvioTag*& tag) override;
    // 1 only when the last segment is open and at its end.
    int IsEof() override;
    // Lengths of the segments before the open one plus the open file's position.
    unsigned long GetPos() override;
    // origin -1: offset is a time in ms; 0: a byte offset over the whole
    // recording; 2: relative to the end of the last segment; others: UC_ERR_NOT_SUPPORTED.
    int Seek(long offset, int origin) override;
    // Not supported: UC_ERR_NOT_SUPPORTED.
    int GetRTag(CFlvioTag*& tag, unsigned long& tagPos) override;

    // Appends a segment; the first one is opened at once.
    int AddFlv(const std::string& name, unsigned long dwStartTimeStamp);
    // Sum of the lengths of the first nNum segments (nNum below the count).
    unsigned long GetRecordFullLen(int nNum);
    // 1 once every segment's length is known and non-zero.
    int IsGetAllFiles();

    int GetCurrentIndex() const { return m_currentIndex; }
    const std::vector<FlvSegment>& GetSegments() const { return m_flvs; }

private:
    std::string SegmentPath(const std::string& name) const;
    // Closes the open file and opens segment `index` as a finished file.
    int OpenSegment(int index);
    // True when segment `index` is there to be read (length known or measurable).
    bool IsSegmentThere(int index);
    // The segment a time seek opens: the one before the first segment that
    // starts later than timeMs (or the first); -1 when none starts later.
    int FindSegmentByTime(long timeMs) const;
    void ShiftTimeStamp(CFlvioTag* tag) const;

    std::string m_basePath;
    std::vector<FlvSegment> m_flvs;
    int m_currentIndex = -1;
    int m_nSegmentReserved = 0;
    int m_adjustTimeStamps = 0;
    int m_allFilesKnown = 0;
};
