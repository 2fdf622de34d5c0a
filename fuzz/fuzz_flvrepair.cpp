// CFlvRepairer over a file made of the input: whatever it finds, a file it
// calls damaged or cannot repair stays byte for byte as it was; a repaired
// file is no longer than before, and a second repair has nothing to do.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flvrepairer.h"
#include "fuzzsupport.h"

namespace {

const std::string& ScratchPath() {
    static const std::string path = [] {
        char name[] = "/tmp/fuzz_flvrepair.XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        return std::string(name);
    }();
    return path;
}

bool WriteAll(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    while (ok && size) {
        const ssize_t n = ::write(fd, data, size);
        ok = n > 0;
        if (ok) {
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return ok;
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    char block[4096];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;) bytes.append(block, static_cast<std::size_t>(n));
    ::close(fd);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (fuzzsupport::QuietLogging(), true);
    (void)quiet;
    const std::string& path = ScratchPath();
    if (!WriteAll(path, data, size)) return 0;
    CFlvRepairer repairer;
    const int rv = repairer.Repair(path);
    const std::string after = ReadAll(path);
    const std::string before(reinterpret_cast<const char*>(data), size);
    if (rv == CFlvRepairer::REPAIR_DONE || rv == CFlvRepairer::REPAIR_NOT_NEEDED) {
        FUZZ_CHECK(after.size() <= before.size(), "a repair never makes a file longer");
        FUZZ_CHECK(after.size() == repairer.GetGoodEnd(), "the file ends at the last complete tag");
        if (rv == CFlvRepairer::REPAIR_NOT_NEEDED) FUZZ_CHECK(after == before, "nothing to do changes nothing");
        CFlvRepairer again;
        FUZZ_CHECK(again.Repair(path) == CFlvRepairer::REPAIR_NOT_NEEDED, "a repaired file needs no repair");
    } else {
        FUZZ_CHECK(rv == CFlvRepairer::REPAIR_DAMAGED || rv == CFlvRepairer::REPAIR_FAILED, "a known result");
        FUZZ_CHECK(after == before, "a file that is not repaired stays as it was");
        FUZZ_CHECK(!repairer.GetError().empty(), "a refusal says why");
    }
    return 0;
}
