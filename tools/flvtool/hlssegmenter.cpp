#include "hlssegmenter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

CHlsSegmenter::CHlsSegmenter(std::string dir, double targetSeconds)
    : m_strDir(std::move(dir)), m_dTarget(targetSeconds) {
    if (!m_strDir.empty() && m_strDir.back() != '/') m_strDir += '/';
}

std::string CHlsSegmenter::SegmentName(std::size_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "segment%05zu.ts", index);
    return name;
}

std::string CHlsSegmenter::Start() {
    m_starts.clear();
    m_starts.push_back(0);
    return m_strDir + SegmentName(0);
}

std::string CHlsSegmenter::CutBefore(std::uint32_t ms) {
    if (!m_bAnyFrame) {
        m_starts.back() = ms;
        return {};
    }
    if (ms < m_starts.back() || (ms - m_starts.back()) < m_dTarget * 1000.0) return {};
    m_starts.push_back(ms);
    return m_strDir + SegmentName(m_starts.size() - 1);
}

void CHlsSegmenter::Frame(std::uint32_t ms) {
    if (!m_bAnyFrame) {
        m_bAnyFrame = true;
        m_nFirstMs = ms;
        if (m_starts.size() == 1 && m_starts[0] > ms) m_starts[0] = ms;
    } else if (ms > m_nPrevMs) {
        m_nLastStep = ms - m_nPrevMs;
    }
    if (ms > m_nLastMs || m_nLastMs == 0) m_nLastMs = ms;
    m_nPrevMs = ms;
}

bool CHlsSegmenter::Finish(std::string& error) {
    m_durations.clear();
    if (!m_starts.empty() && !m_bAnyFrame) m_starts[0] = 0;
    for (std::size_t i = 0; i < m_starts.size(); ++i) {
        const std::uint32_t end = i + 1 < m_starts.size() ? m_starts[i + 1] : m_nLastMs + m_nLastStep;
        m_durations.push_back(end > m_starts[i] ? (end - m_starts[i]) / 1000.0 : 0.0);
    }
    double longest = 0;
    for (double d : m_durations) longest = std::max(longest, d);
    const std::string path = m_strDir + PlaylistName();
    const std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "w");
    if (!f) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(f, "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%d\n#EXT-X-MEDIA-SEQUENCE:0\n",
                 static_cast<int>(std::ceil(longest)));
    for (std::size_t i = 0; i < m_starts.size(); ++i) {
        std::fprintf(f, "#EXTINF:%.3f,\n%s\n", m_durations[i], SegmentName(i).c_str());
    }
    std::fprintf(f, "#EXT-X-ENDLIST\n");
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}
