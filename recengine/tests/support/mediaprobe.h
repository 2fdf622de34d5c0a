// CMediaProbe: what the engine's recordings hold, as tools that no one here
// wrote (ffprobe, ffmpeg, flvmeta) see it, plus a plain walk over the FLV
// tags and tone and click measurements on decoded sound.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CMediaProbe {
public:
    struct Stream {
        std::map<std::string, std::string> fields;  // ffprobe's key=value lines of the stream
        std::string Get(const std::string& key) const;
    };
    struct FlvTag {
        int type = 0;                // 8 audio, 9 video, 18 script
        std::uint32_t timestamp = 0; // ms
        std::uint32_t size = 0;      // body bytes
        std::uint8_t first = 0;      // first body byte
        std::uint8_t second = 0;     // second body byte (packet type of AAC / AVC)
    };
    // The earliest and the latest time stamp of the video tags (ms).
    struct TimeRange {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        bool any = false;  // false: no video tag
    };
    struct Frame {
        double pts = 0;   // seconds on the file's time line
        double luma = 0;  // mean luma 0..255
    };

    // Runs a shell command; its standard output (and the exit status).
    static std::string Run(const std::string& command, int* status = nullptr);
    static std::string Quote(const std::string& text);

    // ffprobe's streams of a file, in file order.
    static std::vector<Stream> Streams(const std::string& path);
    // Packets of a stream kind ("v" or "a") as ffprobe counts them.
    static long CountPackets(const std::string& path, const std::string& kind);
    // ffmpeg -v error's messages while decoding the whole file (empty: clean).
    // The pictures keep the file's millisecond times: on ffmpeg's default
    // 1/fps output grid two pictures 66 ms apart can round to one slot (a
    // 15 fps stream in whole milliseconds starting near half a slot, or the
    // pictures around a pause that was cut out), which ffmpeg reports as a
    // non-monotonic time stamp although the file's times all increase.
    static std::string DecodeErrors(const std::string& path);
    // flvmeta --check's report; errors = the number of errors it counts (-1
    // when the report cannot be read).
    static std::string FlvmetaCheck(const std::string& path, int& errors);

    // The tags of an FLV file (an empty list for a file that is not FLV).
    static std::vector<FlvTag> Tags(const std::string& path);
    static TimeRange PictureTimes(const std::vector<FlvTag>& tags);
    // The "duration" number of the file's onMetaData (-1 when missing).
    static double MetaDuration(const std::string& path);

    // The file's sound, mono at `rate`, on the file's time line: sample i
    // is at i / rate seconds (each frame placed at its time stamp: gaps
    // filled with silence, overlaps cut, the start padded).
    static std::vector<std::int16_t> DecodeAudio(const std::string& path, unsigned rate = 44100);
    // The pictures' times and mean luma.
    static std::vector<Frame> FrameLuma(const std::string& path);

    // Amplitude (0..1 of full scale) of the `hz` component of pcm[begin, end).
    static double ToneLevel(const std::vector<std::int16_t>& pcm, std::size_t begin, std::size_t end, double hz,
                            unsigned rate = 44100);
    // Onsets of clicks: the first samples above `threshold` (0..1 of full
    // scale) that follow at least `quietMs` below it.
    static std::vector<double> ClickOnsets(const std::vector<std::int16_t>& pcm, double threshold, double quietMs,
                                           unsigned rate = 44100);
};
