#include "validationsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "amfcodec/amf.h"
#include "basekit/datapackage.h"
#include "flvio/flvreader.h"
#include "flvio/flvwriter.h"

extern char** environ;

namespace validation {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Feeds input and drains both outputs until the child closes them.
void Pump(int inFd, int outFd, int errFd, const std::string& input, ProcessResult& result) {
    std::size_t fed = 0;
    if (input.empty()) CloseFd(inFd);
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == inFd) {
                ssize_t w = ::write(inFd, input.data() + fed, input.size() - fed);
                if (w > 0) fed += static_cast<std::size_t>(w);
                if (w < 0 || fed == input.size()) CloseFd(inFd);
                continue;
            }
            char buf[65536];
            ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
            std::string& sink = fds[i].fd == outFd ? result.strOut : result.strErr;
            if (r > 0) {
                sink.append(buf, static_cast<std::size_t>(r));
            } else {
                CloseFd(fds[i].fd == outFd ? outFd : errFd);
            }
        }
    }
    CloseFd(inFd);
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, ',')) fields.push_back(field);
    return fields;
}

const std::vector<std::string> kVideoSource = {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=15"};
const std::vector<std::string> kAudioSource = {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100"};
const std::vector<std::string> kVideoCodec = {"-c:v", "libx264", "-bf", "0"};
const std::vector<std::string> kAudioCodec = {"-c:a", "aac", "-ar", "44100", "-ac", "2"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<std::string> MediaArgs(const std::string& name) {
    const std::vector<std::string> t3 = {"-t", "3"};
    const std::vector<std::string> t1 = {"-t", "1"};
    if (name == "av.flv") return Join({kVideoSource, kAudioSource, t3, kVideoCodec, kAudioCodec});
    if (name == "video.flv") return Join({kVideoSource, t3, kVideoCodec});
    if (name == "audio.flv") return Join({kAudioSource, t3, kAudioCodec});
    if (name == "keyframes.flv") {
        return Join({kVideoSource, kAudioSource, t3, kVideoCodec, kAudioCodec,
                     {"-flvflags", "add_keyframe_index"}});
    }
    if (name == "av12.flv") {
        return Join({kVideoSource, kAudioSource, {"-t", "12"}, kVideoCodec, {"-g", "30"}, kAudioCodec});
    }
    if (name == "gop15.flv") return Join({kVideoSource, kAudioSource, t3, kVideoCodec, {"-g", "15"}, kAudioCodec});
    // The recorders' sources: a key frame every 2 s.
    const std::vector<std::string> gop2 = {"-g", "30", "-keyint_min", "30", "-sc_threshold", "0"};
    if (name == "session.flv") {
        return Join({{"-f", "lavfi", "-i", "testsrc=size=160x120:rate=15"}, kAudioSource, {"-t", "130"}, kVideoCodec,
                     gop2, {"-b:v", "60k"}, kAudioCodec, {"-b:a", "32k"}});
    }
    if (name == "live.flv") return Join({kVideoSource, kAudioSource, {"-t", "16"}, kVideoCodec, gop2, kAudioCodec});
    if (name == "liveaudio.flv") return Join({kAudioSource, {"-t", "10"}, kAudioCodec});
    if (name == "cropped.flv") {
        return Join({{"-f", "lavfi", "-i", "testsrc=size=330x250:rate=15"}, t1, kVideoCodec,
                     {"-pix_fmt", "yuv420p", "-profile:v", "main"}});
    }
    if (name == "baseline.flv") {
        return Join({{"-f", "lavfi", "-i", "testsrc=size=176x144:rate=15"}, t1, kVideoCodec,
                     {"-pix_fmt", "yuv420p", "-profile:v", "baseline"}});
    }
    return {};
}

}  // namespace

ProcessResult RunProgram(const std::vector<std::string>& argv, const std::string& input) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rv = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rv != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        result.strErr = "cannot start " + argv[0] + ": " + std::strerror(rv);
        return result;
    }
    Pump(in[1], out[0], err[0], input, result);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.nExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.nSignal = WTERMSIG(status);
    return result;
}

CChildProcess::~CChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    CloseFd(m_nOut);
    CloseFd(m_nErr);
}

bool CChildProcess::Start(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rv = ::posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_nOut = out[0];
    m_nErr = err[0];
    if (rv != 0) m_pid = -1;
    return rv == 0;
}

bool CChildProcess::ReadLine(std::string& line, int timeoutMs) {
    for (;;) {
        const std::size_t nl = m_strPending.find('\n');
        if (nl != std::string::npos) {
            line = m_strPending.substr(0, nl);
            m_strPending.erase(0, nl + 1);
            return true;
        }
        if (m_nOut < 0) return false;
        pollfd fd = {m_nOut, POLLIN, 0};
        int n = ::poll(&fd, 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        char buf[4096];
        ssize_t r = ::read(m_nOut, buf, sizeof buf);
        if (r <= 0) {
            CloseFd(m_nOut);
            return false;
        }
        m_strPending.append(buf, static_cast<std::size_t>(r));
    }
}

void CChildProcess::Signal(int signal) {
    if (m_pid > 0) ::kill(m_pid, signal);
}

ProcessResult CChildProcess::Wait() {
    ProcessResult result;
    int none = -1;
    Pump(none, m_nOut, m_nErr, "", result);
    m_nOut = m_nErr = -1;
    result.strOut = m_strPending + result.strOut;
    m_strPending.clear();
    int status = 0;
    while (m_pid > 0 && ::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    if (WIFEXITED(status)) result.nExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.nSignal = WTERMSIG(status);
    return result;
}

ProcessResult RunShell(const std::string& command) { return RunProgram({"/bin/sh", "-c", command}); }

bool HaveProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::string FlvTool() { return FLVTOOL_PATH; }

CScratchDir::CScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-validation-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) m_strPath = buf.data();
}

CScratchDir::~CScratchDir() {
    std::error_code ec;
    if (!m_strPath.empty()) std::filesystem::remove_all(m_strPath, ec);
}

std::string Media(const std::string& name) {
    const std::string dir = VALIDATION_MEDIA_DIR;
    const std::string path = dir + "/" + name;
    if (std::filesystem::exists(path)) return path;
    const std::vector<std::string> args = MediaArgs(name);
    if (args.empty()) return {};
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string temp = path + ".tmp" + std::to_string(::getpid()) + ".flv";
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-f", "flv", temp});
    ProcessResult r = RunProgram(argv);
    if (r.nExitCode != 0) {
        std::filesystem::remove(temp, ec);
        return {};
    }
    std::filesystem::rename(temp, path, ec);
    return ec ? std::string() : path;
}

TagRecord Classify(TagType type, std::uint32_t timeStamp, const std::string& body) {
    TagRecord rec;
    rec.type = type;
    rec.dwTimeStamp = timeStamp;
    rec.dwSize = static_cast<std::uint32_t>(body.size());
    rec.strBody = body;
    const auto* b = reinterpret_cast<const unsigned char*>(body.data());
    if (type == TAG_TYPE_VIDEO && !body.empty()) {
        const unsigned frame = b[0] >> 4, codec = b[0] & 0x0F;
        rec.bKey = frame == 1;
        if (codec == 7 && body.size() >= 5) {
            rec.bSequenceHeader = b[1] == 0;
            rec.bFrame = b[1] == 1 && frame != 5;
            std::uint32_t cts = (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 8) | b[4];
            rec.nCompositionTime = static_cast<int>(cts ^ 0x800000u) - 0x800000;
        } else {
            rec.bFrame = frame != 5;
        }
    } else if (type == TAG_TYPE_AUDIO && !body.empty()) {
        const bool aac = (b[0] >> 4) == 10;
        rec.bSequenceHeader = aac && body.size() >= 2 && b[1] == 0;
        rec.bFrame = !aac || (body.size() >= 2 && b[1] == 1);
    }
    return rec;
}

std::vector<TagRecord> ReadTags(const std::string& path, int* result) {
    std::vector<TagRecord> tags;
    CFlvReader reader;
    int rv = reader.Init(path, 1, 0, 1);
    CFlvioHeader header;
    if (rv == 0) rv = reader.ReadHeader(header);
    std::uint64_t offset = 13;
    while (rv == 0) {
        CFlvioTag* tag = nullptr;
        rv = reader.GetNextTag(tag);
        if (rv != 0 || !tag) break;
        const std::string body = tag->GetData() ? tag->GetData()->FlattenPackage() : std::string();
        TagRecord rec = Classify(tag->GetTagType(), tag->GetTimeStampAll(), body);
        rec.nOffset = offset;
        rec.dwStreamId = tag->GetStreamID();
        offset += tag->GetEncodeLen();
        tags.push_back(std::move(rec));
        tag->ReleaseReference();
    }
    if (result) *result = rv;
    return tags;
}

std::vector<ProbePacket> ProbePackets(const std::string& path) {
    std::vector<ProbePacket> packets;
    ProcessResult r = RunProgram({"ffprobe", "-v", "error", "-show_packets", "-of", "csv", path});
    std::stringstream lines(r.strOut);
    std::string line;
    // packet,codec_type,stream_index,pts,pts_time,dts,dts_time,duration,...,flags
    while (std::getline(lines, line)) {
        std::vector<std::string> f = SplitCsv(Trim(line));
        if (f.size() < 7 || f[0] != "packet") continue;
        ProbePacket p;
        p.strType = f[1];
        p.nPts = std::atoll(f[3].c_str());
        p.nDts = std::atoll(f[5].c_str());
        p.bKey = !f.back().empty() && f.back()[0] == 'K';
        packets.push_back(p);
    }
    return packets;
}

std::map<std::string, std::string> ProbeFormat(const std::string& path) {
    std::map<std::string, std::string> values;
    ProcessResult r = RunProgram({"ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "flat", path});
    std::stringstream lines(r.strOut);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        values[line.substr(0, eq)] = value;
    }
    return values;
}

std::string FlvmetaErrors(const std::string& path) {
    ProcessResult r = RunProgram({"flvmeta", "--check", path});
    const std::string all = r.strOut + r.strErr;
    // Messages read "0x0000000d: warning W80062: ..." or "...: error E...: ..."; the
    // summary "N error(s), M warning(s)"; exit status 10 for errors.
    const bool errorLine = all.find(": error ") != std::string::npos || all.find(": fatal ") != std::string::npos;
    const bool summaryOk = all.find("\n0 error(s)") != std::string::npos || all.rfind("0 error(s)", 0) == 0;
    if (r.nExitCode == 0 && !errorLine && summaryOk) return {};
    return "flvmeta exit " + std::to_string(r.nExitCode) + ":\n" + all;
}

std::string FfmpegDecodeErrors(const std::string& path) {
    ProcessResult r = RunProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
    if (r.nExitCode == 0 && r.strOut.empty() && r.strErr.empty()) return {};
    return "ffmpeg exit " + std::to_string(r.nExitCode) + ":\n" + r.strOut + r.strErr;
}

bool MetaDataNumber(const std::string& path, const std::string& key, double& value) {
    int rv = 0;
    for (const TagRecord& tag : ReadTags(path, &rv)) {
        if (tag.type != TAG_TYPE_SCRIPT) continue;
        CDataPackage body(tag.strBody.size(), tag.strBody.data(), CDataPackage::FLAG_NONE,
                          tag.strBody.size());
        CFlvioData data(body, 0);
        data.Decode();
        if (data.GetName() != "onMetaData" || !data.GetValue()) continue;
        const CAmfType* v = data.GetValue()->GetValue(key);
        if (!v || v->GetType() != AMF_NUMBER) return false;
        value = static_cast<const CAmfNumber*>(v)->GetValue();
        return true;
    }
    return false;
}

unsigned WriteLikeEngine(const std::string& path, const std::vector<TagRecord>& tags,
                         std::size_t begin, std::size_t end, unsigned timeBase, unsigned width,
                         unsigned height, std::string* failure) {
    auto fail = [failure](const std::string& what) {
        if (failure && failure->empty()) *failure = what;
        return 0u;
    };
    CFlvWriter writer;
    if (writer.Init(path, timeBase, 0, 2) != 0) return fail("Init failed");
    unsigned long metaPos = 0, metaLen = 0, audioId = 0, videoId = 0;
    if (writer.CreateMetaData(0, width, height, 0, 0, 7, 0, 0.0, 10, 1, metaPos, metaLen, 1) != 0) {
        return fail("CreateMetaData failed");
    }
    writer.CreateAudioStream(FLV_SOUND_AAC, FLV_RATE_44KHZ, 0, 0, audioId);
    writer.CreateVideoStream(FLV_CODEC_AVC, videoId);
    unsigned last = 0;
    for (std::size_t i = begin; i < end && i < tags.size(); ++i) {
        const TagRecord& t = tags[i];
        if (t.type == TAG_TYPE_SCRIPT) continue;
        CDataPackage body(t.strBody.size(), t.strBody.data(), CDataPackage::FLAG_NONE, t.strBody.size());
        const unsigned long expected = writer.GetPos();
        unsigned long tagPos = 0;
        const int rv = t.type == TAG_TYPE_AUDIO ? writer.WriteAudio(t.dwTimeStamp, body, audioId, &tagPos)
                                                : writer.WriteVideo(t.dwTimeStamp, body, videoId, &tagPos);
        if (rv != 0) return fail("write of tag " + std::to_string(i) + " returned " + std::to_string(rv));
        if (tagPos != expected) return fail("tag " + std::to_string(i) + " reported offset " + std::to_string(tagPos));
        const unsigned rebased = t.dwTimeStamp > timeBase ? t.dwTimeStamp - timeBase : 0;
        if (rebased > last) last = rebased;
    }
    const unsigned seconds = last / 1000;
    unsigned long pos = metaPos, len = 0;
    if (writer.Seek(static_cast<long>(metaPos), 0) != 0) return fail("Seek failed");
    if (writer.CreateMetaData(seconds, width, height, 0, 0, 7, 0, 0.0, 10, 1, pos, len, 1) != 0) {
        return fail("second CreateMetaData failed");
    }
    if (len != metaLen) return fail("the rewritten onMetaData has another length");
    writer.Flush();
    writer.Finished();
    if (writer.GetLastWriteError() != 0) return fail("write error " + std::to_string(writer.GetLastWriteError()));
    return seconds;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace validation
