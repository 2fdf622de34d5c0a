// CStatusLine: the progress line of a recording: the recorded time as
// "%02d:%02d:%02d" and the level (0..9) of each audio source. On a terminal
// one line is rewritten in place ("\r"); otherwise a plain line is written
// whenever the text changes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CStatusLine {
public:
    // A level of -1 means that the source is not recorded.
    struct State {
        std::uint32_t seconds = 0;
        int micLevel = -1;
        int speakerLevel = -1;
        bool paused = false;
    };

    CStatusLine(std::FILE* out, bool bTerminal);

    static std::string Format(const State& state);
    void Update(const State& state);
    // Ends the line on a terminal, so that what follows starts on its own line.
    void Finish();
    // A message of its own line, without disturbing the status line.
    void Note(const std::string& text);

private:
    static std::string Meter(const char* label, int level);

    std::FILE* m_pOut;
    bool m_bTerminal;
    bool m_bLineOpen = false;  // a status line is on the terminal and not ended
    std::size_t m_nLastWidth = 0;
    std::string m_strLast;
};
