#include "support/mediaprobe.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::uint32_t Be24(const unsigned char* p) { return (p[0] << 16) | (p[1] << 8) | p[2]; }

double BeDouble(const unsigned char* p) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string CMediaProbe::Stream::Get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

std::string CMediaProbe::Run(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
    int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string CMediaProbe::Quote(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<CMediaProbe::Stream> CMediaProbe::Streams(const std::string& path) {
    std::vector<Stream> streams;
    std::istringstream lines(Run("ffprobe -v error -show_streams " + Quote(path)));
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "[STREAM]") {
            streams.emplace_back();
        } else if (!streams.empty() && line.find('=') != std::string::npos) {
            auto eq = line.find('=');
            streams.back().fields[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return streams;
}

long CMediaProbe::CountPackets(const std::string& path, const std::string& kind) {
    std::string out = Run("ffprobe -v error -select_streams " + kind +
                          " -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " + Quote(path));
    return out.empty() ? -1 : std::strtol(out.c_str(), nullptr, 10);
}

std::string CMediaProbe::DecodeErrors(const std::string& path) {
    return Run("ffmpeg -nostdin -v error -i " + Quote(path) +
               " -fps_mode passthrough -enc_time_base:v 1:1000 -f null - 2>&1");
}

std::string CMediaProbe::FlvmetaCheck(const std::string& path, int& errors) {
    std::string out = Run("flvmeta --check " + Quote(path) + " 2>&1");
    errors = -1;
    auto pos = out.find(" error(s)");
    if (pos != std::string::npos) {
        auto start = out.rfind('\n', pos);
        errors = std::atoi(out.c_str() + (start == std::string::npos ? 0 : start + 1));
    }
    return out;
}

CMediaProbe::TimeRange CMediaProbe::PictureTimes(const std::vector<FlvTag>& tags) {
    TimeRange range;
    for (const auto& t : tags) {
        if (t.type != 9) continue;
        range.first = range.any ? std::min(range.first, t.timestamp) : t.timestamp;
        range.last = range.any ? std::max(range.last, t.timestamp) : t.timestamp;
        range.any = true;
    }
    return range;
}

std::vector<CMediaProbe::FlvTag> CMediaProbe::Tags(const std::string& path) {
    std::vector<FlvTag> tags;
    const std::string data = ReadFile(path);
    const auto* d = reinterpret_cast<const unsigned char*>(data.data());
    if (data.size() < 13 || data.compare(0, 3, "FLV") != 0) return tags;
    std::size_t pos = 13;
    while (pos + 11 <= data.size()) {
        FlvTag tag;
        tag.type = d[pos] & 0x1F;
        tag.size = Be24(d + pos + 1);
        tag.timestamp = Be24(d + pos + 4) | (static_cast<std::uint32_t>(d[pos + 7]) << 24);
        if (pos + 11 + tag.size > data.size()) break;
        if (tag.size > 0) tag.first = d[pos + 11];
        if (tag.size > 1) tag.second = d[pos + 12];
        tags.push_back(tag);
        pos += 11 + tag.size + 4;
    }
    return tags;
}

double CMediaProbe::MetaDuration(const std::string& path) {
    const std::string data = ReadFile(path);
    const std::string key = std::string("\x00\x08", 2) + "duration";
    auto pos = data.find(key);
    if (pos == std::string::npos || pos + key.size() + 9 > data.size() || data[pos + key.size()] != 0) return -1;
    return BeDouble(reinterpret_cast<const unsigned char*>(data.data()) + pos + key.size() + 1);
}

std::vector<std::int16_t> CMediaProbe::DecodeAudio(const std::string& path, unsigned rate) {
    std::string raw = Run("ffmpeg -nostdin -v error -i " + Quote(path) +
                          " -map 0:a:0 -af aresample=async=1:min_hard_comp=0.005:first_pts=0 -ac 1 -ar " + std::to_string(rate) +
                          " -f s16le -");
    std::vector<std::int16_t> pcm(raw.size() / 2);
    std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
    return pcm;
}

std::vector<CMediaProbe::Frame> CMediaProbe::FrameLuma(const std::string& path) {
    std::vector<Frame> frames;
    // The movie source names the file inside a filter graph: escape for it.
    std::string escaped;
    for (char c : path) {
        if (c == '\\' || c == ':' || c == '\'' || c == ',' || c == '[' || c == ']' || c == ';') escaped += '\\';
        escaped += c;
    }
    std::istringstream lines(Run("ffprobe -v error -f lavfi -i " + Quote("movie=" + escaped + ",signalstats") +
                                 " -show_entries frame=pts_time:frame_tags=lavfi.signalstats.YAVG -of csv=p=0"));
    std::string line;
    while (std::getline(lines, line)) {
        Frame f;
        if (std::sscanf(line.c_str(), "%lf,%lf", &f.pts, &f.luma) == 2) frames.push_back(f);
    }
    return frames;
}

double CMediaProbe::ToneLevel(const std::vector<std::int16_t>& pcm, std::size_t begin, std::size_t end, double hz,
                              unsigned rate) {
    if (end > pcm.size()) end = pcm.size();
    if (begin >= end) return 0;
    // Goertzel over the window; the amplitude of a full-scale sine is 1.
    const double w = 2.0 * M_PI * hz / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const double s = pcm[i] / 32768.0 + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(end - begin);
}

std::vector<double> CMediaProbe::ClickOnsets(const std::vector<std::int16_t>& pcm, double threshold, double quietMs,
                                             unsigned rate) {
    std::vector<double> onsets;
    const int limit = static_cast<int>(threshold * 32768);
    const std::size_t quiet = static_cast<std::size_t>(quietMs * rate / 1000);
    std::size_t lastLoud = 0;
    bool any = false;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        if (std::abs(static_cast<int>(pcm[i])) < limit) continue;
        if (!any || i - lastLoud >= quiet) onsets.push_back(static_cast<double>(i) / rate);
        lastLoud = i;
        any = true;
    }
    return onsets;
}
