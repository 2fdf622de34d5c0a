#include "flvio/aacutil.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "aacframe/adtsheader.h"
#include "basekit/configreader.h"

namespace {

// Number of channels by channel configuration.
const unsigned char kChannels[8] = {0, 1, 2, 3, 4, 5, 6, 8};

const char* NonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::string HomeFolder() {
    if (const char* home = NonEmptyEnv("HOME")) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return {};
}

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

// Creates one folder level; an existing folder counts as success.
bool MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates every missing level of an absolute path.
bool MakeFolders(const std::string& path) {
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (!MakeFolder(path.substr(0, pos))) return false;
    }
    return path.empty() || path.back() == '/' || MakeFolder(path);
}

std::string ResolveRecordHome() {
    char value[512] = {0};
    if (CConfigReader::GetStringParam("general", "recordpath", value, sizeof(value), "") && value[0])
        return WithSlash(value);
    if (const char* env = NonEmptyEnv("QX_RECORD_HOME")) return WithSlash(env);
    return WithSlash(HomeFolder());
}

std::string ResolveCacheHome() {
    // The program folder of an installed program is usually read-only, so
    // each candidate is tried in turn until one can be created.
    if (const char* run = CConfigReader::GetProcRunHome()) {
        std::string cache = std::string(run) + "/cache";
        std::string play = cache + "/recordplay";
        if (MakeFolder(cache) && MakeFolder(play)) return WithSlash(play);
    }
    if (const char* env = NonEmptyEnv("QX_CACHE_HOME")) return WithSlash(env);
    std::string base;
    if (const char* xdg = NonEmptyEnv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else if (std::string home = HomeFolder(); !home.empty()) {
        base = home + "/.cache";
    }
    if (!base.empty()) {
        std::string play = base + "/orvix/Tolvane/recordplay/";
        if (MakeFolders(play)) return play;
    }
    return WithSlash(HomeFolder());
}

}  // namespace

int GetAACConfigureFromAdts(const char* adts, unsigned adtsLen, char* config, unsigned* configLen) {
    if (!adts || !config || !configLen || *configLen < 5) return 0;
    CAdtsHeader header;
    if (!CAdtsHeader::Parse(reinterpret_cast<const unsigned char*>(adts), adtsLen, header)) return 0;
    *configLen = 5;
    // Channel configuration 7 (eight channels) is not carried over.
    if (header.channelConfig == 7 || header.rateIndex > CAdtsHeader::kMaxRateIndex) return 0;

    auto* out = reinterpret_cast<unsigned char*>(config);
    header.WriteAacLcConfig(reinterpret_cast<unsigned char*>(config));
    if (header.bMpeg2) {
        // Explicit SBR signalling: sync extension 0x2B7, object type 5, SBR
        // present, output at twice the core rate.
        const int doubled = CAdtsHeader::RateIndex(CAdtsHeader::SampleRate(header.rateIndex) * 2);
        out[2] = 0x56;
        out[3] = 0xE5;
        out[4] = static_cast<unsigned char>(0x80 | ((doubled < 0 ? 15u : static_cast<unsigned>(doubled)) << 3));
    } else {
        *configLen = 2;
    }
    return 1;
}

int GetAdtsFromDecInfo(char* adts, int* adtsLen, const unsigned char* config, int objectType,
                       unsigned payloadLen) {
    if (!adts || !config || !adtsLen || *adtsLen < 7) return 0;
    if (objectType != 5 && objectType != 2) return 0;
    if (payloadLen > CAdtsHeader::kMaxFrameBytes - CAdtsHeader::kHeaderBytes) return 0;

    const unsigned channelConfig = (config[1] >> 3) & 0x0F;
    CAdtsHeader header;
    header.rateIndex = ((config[0] & 0x07) << 1) | (config[1] >> 7);
    header.frameBytes = payloadLen + CAdtsHeader::kHeaderBytes;  // the header is counted
    if (objectType == 5) {
        // MPEG-2, AAC LC; the field takes the low three bits of the
        // channel count.
        header.bMpeg2 = true;
        header.profile = 1;
        header.channelConfig = kChannels[channelConfig > 6 ? 7 : channelConfig] & 0x07u;
        *adtsLen = 7;
    } else {
        header.profile = ((config[0] >> 3) - 1) & 0x03;
        header.channelConfig = channelConfig & 0x07;
    }
    return header.Write(reinterpret_cast<unsigned char*>(adts)) ? 1 : 0;
}

const char* GetRPHome(int cache) {
    // Never freed, so that the texts outlive static destructors that may
    // still use them.
    static std::once_flag recordOnce;
    static std::once_flag cacheOnce;
    static const std::string* recordHome = nullptr;
    static const std::string* cacheHome = nullptr;
    if (cache) {
        std::call_once(cacheOnce, [] { cacheHome = new std::string(ResolveCacheHome()); });
        return cacheHome->c_str();
    }
    std::call_once(recordOnce, [] { recordHome = new std::string(ResolveRecordHome()); });
    return recordHome->c_str();
}
