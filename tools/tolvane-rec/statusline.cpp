#include "statusline.h"

#include <algorithm>

CStatusLine::CStatusLine(std::FILE* out, bool bTerminal) : m_pOut(out), m_bTerminal(bTerminal) {}

std::string CStatusLine::Meter(const char* label, int level) {
    std::string text = label;
    if (level < 0) return text + " off";
    level = std::clamp(level, 0, 9);
    text += " [";
    text.append(static_cast<std::size_t>(level), '#');
    text.append(static_cast<std::size_t>(9 - level), '.');
    text += "] ";
    text += static_cast<char>('0' + level);
    return text;
}

std::string CStatusLine::Format(const State& state) {
    char clock[32];
    std::snprintf(clock, sizeof(clock), "%02u:%02u:%02u", state.seconds / 3600, state.seconds / 60 % 60,
                  state.seconds % 60);
    std::string text = clock;
    text += "  " + Meter("mic", state.micLevel) + "  " + Meter("speaker", state.speakerLevel);
    if (state.paused) text += "  paused";
    return text;
}

void CStatusLine::Update(const State& state) {
    const std::string text = Format(state);
    if (!m_bTerminal) {
        // One line per change of the clock or the pause state; the levels
        // change with every block and would flood a log.
        State quiet = state;
        quiet.micLevel = quiet.micLevel < 0 ? -1 : 0;
        quiet.speakerLevel = quiet.speakerLevel < 0 ? -1 : 0;
        const std::string key = Format(quiet);
        if (key == m_strLast) return;
        m_strLast = key;
        std::fprintf(m_pOut, "%s\n", text.c_str());
        std::fflush(m_pOut);
        return;
    }
    const std::size_t pad = m_nLastWidth > text.size() ? m_nLastWidth - text.size() : 0;
    std::fprintf(m_pOut, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    std::fflush(m_pOut);
    m_nLastWidth = text.size();
    m_bLineOpen = true;
}

void CStatusLine::Finish() {
    if (m_bLineOpen) {
        std::fputc('\n', m_pOut);
        std::fflush(m_pOut);
    }
    m_bLineOpen = false;
    m_nLastWidth = 0;
}

void CStatusLine::Note(const std::string& text) {
    if (m_bLineOpen) {
        std::fprintf(m_pOut, "\r%*s\r", static_cast<int>(m_nLastWidth), "");
        m_bLineOpen = false;
        m_nLastWidth = 0;
    }
    std::fprintf(m_pOut, "%s\n", text.c_str());
    std::fflush(m_pOut);
}
