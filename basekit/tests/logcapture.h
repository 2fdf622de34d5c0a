// CLogCapture: collects the lines the logger delivers while it lives, with the
// threshold at information so that every line passes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "basekit/logwrapper.h"

class CLogCapture : public ILogObserver {
public:
    struct Line {
        int level;
        std::string text;
    };

    explicit CLogCapture(int level = CLogWrapper::LOG_INFO) : m_nPrevLevel(CLogWrapper::Instance()->GetLogLevel()) {
        CLogWrapper::Instance()->SetLogLevel(level);
        CLogWrapper::Instance()->SetObserver(this);
    }
    ~CLogCapture() override {
        CLogWrapper::Instance()->SetObserver(nullptr);
        CLogWrapper::Instance()->SetLogLevel(m_nPrevLevel);
    }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    void OnLogLine(int level, const char* text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({level, text});
    }
    std::vector<Line> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }
    // Whether a line of this level contains `part`.
    bool Contains(int level, const std::string& part) const {
        for (const Line& l : Lines())
            if (l.level == level && l.text.find(part) != std::string::npos) return true;
        return false;
    }
    // How many lines contain `part` (at `level`, or at any level when -1).
    int Count(const std::string& part, int level = -1) const {
        int n = 0;
        for (const Line& l : Lines()) n += l.text.find(part) != std::string::npos && (level < 0 || l.level == level);
        return n;
    }
    // The lines that contain `part`.
    std::vector<Line> Find(const std::string& part) const {
        std::vector<Line> found;
        for (const Line& l : Lines()) {
            if (l.text.find(part) != std::string::npos) found.push_back(l);
        }
        return found;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
    int m_nPrevLevel;
};
