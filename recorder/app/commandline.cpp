#include "commandline.h"

#include <cstdlib>

namespace {

// Decimal integer as _wtoi reads one: leading blanks, a sign, digits.
int leadingInt(const std::string& text) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

}  // namespace

std::string CCommandLine::value(std::string_view commandLine, std::string_view option, std::string_view terminator) {
    std::string line(commandLine);
    line += ' ';
    std::size_t at = line.find(option);
    if (at == std::string::npos) return {};
    std::size_t start = at + option.size();
    if (start < line.size() && line[start] == ' ') ++start;
    std::size_t end = line.find(terminator, start);
    if (end == std::string::npos) return {};
    return line.substr(start, end - start);
}

CCommandLine CCommandLine::parse(std::string_view commandLine) {
    CCommandLine result;
    std::string wnd = value(commandLine, "/wnd", " ");
    if (!wnd.empty()) {
        result.hasHostWindow = true;
        result.hostWindow = static_cast<std::uint32_t>(std::strtoul(wnd.c_str(), nullptr, 16));
    }
    result.hostName = value(commandLine, "/name", " ");
    result.micName = value(commandLine, "/mic", "- ");
    result.speakerName = value(commandLine, "/speak", "- ");
    std::string bmic = value(commandLine, "/bmic", " ");
    if (!bmic.empty()) result.micDisabled = leadingInt(bmic) != 0;
    std::string bspeak = value(commandLine, "/bspeak", " ");
    if (!bspeak.empty()) result.speakerDisabled = leadingInt(bspeak) != 0;
    std::string rec = value(commandLine, "/rec", " ");
    if (!rec.empty()) {
        result.hasRec = true;
        result.rec = leadingInt(rec);
    }
    return result;
}

CCommandLine CCommandLine::fromArguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return parse(line);
}
