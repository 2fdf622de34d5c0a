// The version file of the update server: the input is written to a file and
// read as the update check reads it, in every language section. Every value
// must come out cut to 259 bytes on a character boundary, versions must
// compare consistently, and an address's installer name, when one is
// accepted, must be a plain file name.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzzsupport.h"
#include "installerdownload.h"
#include "updatefile.h"

namespace {

std::string scratchFile() {
    char pattern[] = "/tmp/fuzz_updatefile-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0) ::close(fd);
    return pattern;
}

bool cutOnACharacter(const std::string& value) {
    if (value.size() > CUpdateFile::kMaxValueBytes) return false;
    return CUpdateFile::cutValue(value) == value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::QuietLogging();
    static const std::string path = scratchFile();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    for (int language = 0; language < 3; ++language) {
        const auto offer = CUpdateFile::read(path, CUpdateFile::languageSection(language));
        if (!offer) continue;
        for (const std::string* value : {&offer->version, &offer->url, &offer->rerolve, &offer->update, &offer->add})
            FUZZ_CHECK(cutOnACharacter(*value), "values are cut to 259 bytes");
        FUZZ_CHECK(CUpdateFile::compareVersions(offer->version, offer->version) == 0, "a version equals itself");
        const int forward = CUpdateFile::compareVersions(offer->version, "1.2.3.4");
        FUZZ_CHECK(forward == -CUpdateFile::compareVersions("1.2.3.4", offer->version), "comparison is antisymmetric");
        if (const auto name = CInstallerDownload::installerName(offer->url)) {
            FUZZ_CHECK(!name->empty() && (*name)[0] != '.', "no hidden or empty names");
            FUZZ_CHECK(name->find('/') == std::string::npos && name->find('\\') == std::string::npos, "one segment");
        }
    }
    return 0;
}
