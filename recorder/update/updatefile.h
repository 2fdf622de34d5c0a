// CUpdateFile: the version file the update server offers, an ini file with
// one section per language ("TOLVANE_CH", "TOLVANE_TW", "TOLVANE_US") and
// the keys "version", "url", "rerolve", "update" and "add". Each value is
// taken as at most 259 bytes of UTF-8 (cut back to a whole character).
// Versions are four dot-separated numbers; missing parts count as 0 and
// parts after the fourth are ignored. Used on the GUI thread.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct UpdateOffer {
    std::string version;
    std::string url;
    std::string rerolve;  // release-note lines, shown in this order
    std::string update;
    std::string add;
};

class CUpdateFile {
public:
    static constexpr std::size_t kMaxValueBytes = 259;

    // The section of a language index (0, 1, 2; others count as 0).
    static const char* languageSection(int languageIndex);

    // The offer of a section of the file at path; nothing when the file
    // cannot be read or has no such section.
    static std::optional<UpdateOffer> read(const std::string& path, std::string_view section);

    // The four numbers of a version text: each piece read as atoi does
    // (leading blanks, a sign, digits; anything else gives 0).
    static std::array<long, 4> parseVersion(std::string_view text);
    // -1 when a is older than b, 1 when newer, 0 when equal.
    static int compareVersions(std::string_view a, std::string_view b);

    // Whether the offer is for a newer version than own and names an address.
    static bool offersNewer(const UpdateOffer& offer, std::string_view ownVersion);

    // text cut to at most max bytes without splitting a UTF-8 character.
    static std::string cutValue(std::string text, std::size_t max = kMaxValueBytes);
};
