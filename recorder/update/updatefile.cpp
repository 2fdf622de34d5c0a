#include "updatefile.h"

#include <climits>

#include "inifile.h"

const char* CUpdateFile::languageSection(int languageIndex) {
    switch (languageIndex) {
        case 1: return "TOLVANE_TW";
        case 2: return "TOLVANE_US";
        default: return "TOLVANE_CH";
    }
}

std::string CUpdateFile::cutValue(std::string text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t end = max;
    // Back to the first byte of the character that would be split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::optional<UpdateOffer> CUpdateFile::read(const std::string& path, std::string_view section) {
    CIniFile file(path);
    if (file.load() != CIniFile::LOAD_OK || !file.hasSection(section)) return std::nullopt;
    auto value = [&](std::string_view key) { return cutValue(file.value(section, key).value_or(std::string())); };
    UpdateOffer offer;
    offer.version = value("version");
    offer.url = value("url");
    offer.rerolve = value("rerolve");
    offer.update = value("update");
    offer.add = value("add");
    return offer;
}

std::array<long, 4> CUpdateFile::parseVersion(std::string_view text) {
    std::array<long, 4> parts{0, 0, 0, 0};
    std::size_t start = 0;
    for (std::size_t i = 0; i < parts.size() && start <= text.size(); ++i) {
        std::size_t end = text.find('.', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view piece = text.substr(start, end - start);
        std::size_t at = 0;
        while (at < piece.size() && (piece[at] == ' ' || (piece[at] >= '\t' && piece[at] <= '\r'))) ++at;
        bool negative = false;
        if (at < piece.size() && (piece[at] == '+' || piece[at] == '-')) negative = piece[at++] == '-';
        long value = 0;
        for (; at < piece.size() && piece[at] >= '0' && piece[at] <= '9'; ++at)
            value = value > (LONG_MAX - 9) / 10 ? LONG_MAX : value * 10 + (piece[at] - '0');
        parts[i] = negative ? -value : value;
        if (end == text.size()) break;
        start = end + 1;
    }
    return parts;
}

int CUpdateFile::compareVersions(std::string_view a, std::string_view b) {
    const auto left = parseVersion(a), right = parseVersion(b);
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (left[i] < right[i]) return -1;
        if (left[i] > right[i]) return 1;
    }
    return 0;
}

bool CUpdateFile::offersNewer(const UpdateOffer& offer, std::string_view ownVersion) {
    return compareVersions(ownVersion, offer.version) == -1 && !offer.url.empty();
}
