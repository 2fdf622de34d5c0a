// CHlsSegmenter: `flvtool hls`: decides where CFlvToTsConverter cuts its
// output (at the first key frame, or without video the first audio frame,
// once a segment is as long as the target), names the segment files in the
// output folder and writes DIR/index.m3u8 (version 3, a target duration, one
// #EXTINF per segment with its real duration, #EXT-X-ENDLIST) at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CHlsSegmenter {
public:
    CHlsSegmenter(std::string dir, double targetSeconds);

    // The first segment's path.
    std::string Start();
    // A frame at `ms` may start a segment (a key frame, or audio without
    // video): the path of the new segment when the output is to be cut
    // there, else empty.
    std::string CutBefore(std::uint32_t ms);
    // Every frame written passes its time and duration estimate here.
    void Frame(std::uint32_t ms);
    // Writes the playlist (to a temporary file renamed into place); false
    // with the reason.
    bool Finish(std::string& error);

    std::size_t GetSegmentCount() const { return m_starts.size(); }
    const std::vector<double>& GetDurations() const { return m_durations; }

    static const char* PlaylistName() { return "index.m3u8"; }
    static std::string SegmentName(std::size_t index);

private:
    std::string m_strDir;
    double m_dTarget;
    std::vector<std::uint32_t> m_starts;  // first frame time of each segment
    std::vector<double> m_durations;
    bool m_bAnyFrame = false;
    std::uint32_t m_nFirstMs = 0;
    std::uint32_t m_nLastMs = 0;
    std::uint32_t m_nPrevMs = 0;
    std::uint32_t m_nLastStep = 0;
};
