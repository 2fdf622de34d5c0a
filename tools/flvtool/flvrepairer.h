// CFlvRepairer: `flvtool repair`: puts right an FLV recording that its
// writer never finished (a crash, a kill, a power cut). The walk goes over
// the tag headers and back-pointers only; the file is then changed in place:
//   - the onMetaData "duration" number gets the highest audio/video time
//     stamp of the complete tags, in seconds: the time line's end, as the
//     recording engine fills it in when it finishes a file (the only value it
//     fills in). Where a stream ran late, the muxer wrote it behind the other
//     one with its own, older time stamps, so the last tag in the file need
//     not be the latest;
//   - a torn last tag (cut in its header, body or back-pointer, or left as
//     zeros by a power cut, with nothing but zeros behind it) is cut off.
// The 8 duration bytes are written and synced first, then the file is
// truncated and synced; when the truncation fails the old duration bytes are
// written back, so a failed repair leaves the file as it was. A tag that is
// wrong in the middle of the file (not a torn end) is damage no crash makes:
// the file is left alone. The marker beside the recording (see
// CRecordingMarker) is removed once the file is sound; a recording whose
// marker names a process that still runs is not touched.
//
// One object per repair, used by one thread; it owns nothing past Repair.
#pragma once

#include <cstdint>
#include <string>

class CFlvRepairer {
public:
    enum {
        REPAIR_DONE = 0,      // the file was changed and is sound now
        REPAIR_NOT_NEEDED,    // the file was sound already
        REPAIR_DAMAGED,       // not a recording with a torn end; left alone
        REPAIR_FAILED,        // cannot open, read or write; left as it was
        REPAIR_BUSY,          // its writer still runs; left alone
    };

    int Repair(const std::string& path);

    const std::string& GetError() const { return m_strError; }
    // What the walk found: the end of the last complete tag (the new file
    // size), the bytes cut behind it, complete tags, the highest time stamp.
    std::uint64_t GetGoodEnd() const { return m_nGoodEnd; }
    std::uint64_t GetCutBytes() const { return m_nFileSize - m_nGoodEnd; }
    std::uint64_t GetTags() const { return m_nTags; }
    std::uint32_t GetLastTimestampMs() const { return m_dwMaxTimestamp; }
    // The duration before and after (seconds); false without one.
    bool HasDuration() const { return m_nDurationPos != 0; }
    double GetOldDuration() const { return m_fOldDuration; }
    double GetNewDuration() const { return m_dwMaxTimestamp / 1000.0; }
    // A one-line account of what was done, for the user.
    std::string Describe(const std::string& path, int result) const;

private:
    // Reads exactly len bytes at offset; false at the end of the file.
    bool ReadAt(std::uint64_t offset, void* data, std::size_t len) const;
    // Whether every byte from offset to the end of the file is zero.
    bool ZerosToEnd(std::uint64_t offset) const;
    // Walks the tags; REPAIR_DONE when the walk reached the end or a torn
    // tail, else REPAIR_DAMAGED / REPAIR_FAILED with m_strError set.
    int Walk();
    // Finds the "duration" number in the first onMetaData tag's body.
    void FindDuration(std::uint64_t bodyOffset, std::uint32_t bodySize);
    int Fail(int code, const std::string& error);

    int m_nFd = -1;
    std::string m_strError;
    std::uint64_t m_nFileSize = 0;
    std::uint64_t m_nGoodEnd = 0;
    std::uint64_t m_nTags = 0;
    std::uint32_t m_dwMaxTimestamp = 0;
    std::uint64_t m_nDurationPos = 0;  // offset of the 8 bytes of the number
    double m_fOldDuration = 0;
};
