// Helpers of the validation tests: running outside programs (ffmpeg,
// ffprobe, flvmeta, flvtool, python3), making the test media with ffmpeg
// once per build folder, and reading FLV files tag by tag with CFlvReader.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "flvio/flviotag.h"

namespace validation {

struct ProcessResult {
    int nExitCode = -1;  // -1 when the process did not exit normally
    int nSignal = 0;     // the signal that ended it, 0 when it exited
    std::string strOut;
    std::string strErr;
};

// Runs argv[0] (looked up in PATH) with its arguments, optionally feeding
// `input` to its standard input, and collects both outputs.
ProcessResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "");
// Runs a shell command line with /bin/sh -c.
ProcessResult RunShell(const std::string& command);
bool HaveProgram(const std::string& name);
// The flvtool program of this build.
std::string FlvTool();

// A child process whose standard output is read line by line while it
// runs (standard error is collected at the end).
class CChildProcess {
public:
    CChildProcess() = default;
    // Kills (SIGKILL) and reaps a child that is still running.
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Start(const std::vector<std::string>& argv);
    // The next line of standard output without its line end; false when none
    // came within timeoutMs or the output ended.
    bool ReadLine(std::string& line, int timeoutMs);
    void Signal(int signal);
    // Waits for the end; strOut holds what was not read as lines yet.
    ProcessResult Wait();

private:
    pid_t m_pid = -1;
    int m_nOut = -1;
    int m_nErr = -1;
    std::string m_strPending;
};

// A fresh folder that is removed with everything in it when the object goes.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

// The test media, made with ffmpeg on first use and kept in the build
// folder (made under a temporary name and renamed, so parallel tests may
// race for it harmlessly). Empty when ffmpeg failed.
//   av.flv        H.264 + AAC, 320x240, 15 fps, 3 s
//   video.flv     H.264 only;  audio.flv  AAC only
//   keyframes.flv av.flv with -flvflags add_keyframe_index
//   gop15.flv     av.flv with a key frame every 15 pictures
//   av12.flv      av.flv 12 s long, a key frame every 30 pictures
//   cropped.flv   330x250 H.264 Main 4:2:0 (the SPS crops), 1 s
//   baseline.flv  176x144 H.264 Constrained Baseline, 1 s
//   session.flv   160x120 H.264 + AAC, 130 s, a key frame every 2 s
//   live.flv      320x240 H.264 + AAC, 16 s, a key frame every 2 s
//   liveaudio.flv AAC only, 10 s
std::string Media(const std::string& name);

// One tag as CFlvReader hands it out, classified from its first body bytes.
struct TagRecord {
    TagType type = TAG_TYPE_SCRIPT;
    std::uint64_t nOffset = 0;
    std::uint32_t dwSize = 0;
    std::uint32_t dwTimeStamp = 0;
    std::uint32_t dwStreamId = 0;
    int nCompositionTime = 0;
    bool bKey = false;             // video frame type 1
    bool bSequenceHeader = false;  // AVC or AAC packet type 0
    bool bFrame = false;           // a picture or a sound frame
    std::string strBody;
};

// Reads every tag of a finished file; `result` gets the code that ended the
// reading (10015 at a clean end).
std::vector<TagRecord> ReadTags(const std::string& path, int* result = nullptr);
// Classifies a tag from its body.
TagRecord Classify(TagType type, std::uint32_t timeStamp, const std::string& body);

// ffprobe's packets of one file.
struct ProbePacket {
    std::string strType;  // "audio" or "video"
    long long nPts = 0;
    long long nDts = 0;
    bool bKey = false;
};
std::vector<ProbePacket> ProbePackets(const std::string& path);
// `ffprobe -show_format -show_streams -of flat`: "format.duration" -> "3.023000"
// (quotes removed).
std::map<std::string, std::string> ProbeFormat(const std::string& path);

// flvmeta --check: empty when it reports no error (warnings are fine),
// else its output and exit status.
std::string FlvmetaErrors(const std::string& path);
// ffmpeg -v error -i FILE -f null -: empty when it decodes silently.
std::string FfmpegDecodeErrors(const std::string& path);

// The onMetaData "duration" of a file as the AMF library decodes it; false
// when there is none.
bool MetaDataNumber(const std::string& path, const std::string& key, double& value);

// Writes tags[begin, end) through CFlvWriter with the calls the recording
// engine makes: Init(path, timeBase, 0, 2), CreateMetaData with duration 0
// and every key, the two streams, the package forms of WriteAudio and
// WriteVideo (script tags are left out), then Seek back, CreateMetaData with
// the duration in seconds (the highest time stamp written, less timeBase),
// Flush and Finished. Checks that every write returns 0 and reports the
// offset at which its tag starts. Returns the duration written.
unsigned WriteLikeEngine(const std::string& path, const std::vector<TagRecord>& tags,
                         std::size_t begin, std::size_t end, unsigned timeBase, unsigned width,
                         unsigned height, std::string* failure);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace validation
