#include "flvio/aacutil.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "basekit/configreader.h"

namespace {

// Sampling frequencies by the 4-bit sampling frequency index.
const unsigned kSampleRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                   16000, 12000, 11025, 8000,  7350,  0,     0,     0};
// Number of channels by channel configuration.
const unsigned char kChannels[8] = {0, 1, 2, 3, 4, 5, 6, 8};

// The highest usable sampling frequency index (13 to 15 are reserved).
const unsigned kMaxRateIndex = 12;
// ADTS carries the frame length (header included) in 13 bits.
const unsigned kMaxAdtsFrameLen = 0x1FFF;

int FindChannelPosition(unsigned channelConfig) {
    for (int i = 0; i < 8; ++i) {
        if (kChannels[i] == channelConfig) return i;
    }
    return -1;
}

unsigned FindRateIndex(unsigned rate) {
    for (unsigned i = 0; i < 16; ++i) {
        if (kSampleRates[i] == rate) return i;
    }
    return 15;
}

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
    if (!adts || !config || !configLen || adtsLen < 7 || *configLen < 5) return 0;
    *configLen = 5;
    const auto* in = reinterpret_cast<const unsigned char*>(adts);
    unsigned rateIndex = (in[2] >> 2) & 0x0F;
    unsigned channelConfig = ((in[2] & 0x01) << 2) | (in[3] >> 6);
    int position = FindChannelPosition(channelConfig);
    if (position < 0 || rateIndex > kMaxRateIndex) return 0;

    auto* out = reinterpret_cast<unsigned char*>(config);
    out[0] = static_cast<unsigned char>(0x10 | (rateIndex >> 1));
    out[1] = static_cast<unsigned char>(((rateIndex << 7) | (static_cast<unsigned>(position) << 3)) & 0xFF);
    if (in[1] & 0x08) {
        // Explicit SBR signalling: sync extension 0x2B7, object type 5, SBR
        // present, output at twice the core rate.
        out[2] = 0x56;
        out[3] = 0xE5;
        out[4] = static_cast<unsigned char>(0x80 | (FindRateIndex(kSampleRates[rateIndex] * 2) << 3));
    } else {
        *configLen = 2;
    }
    return 1;
}

int GetAdtsFromDecInfo(char* adts, int* adtsLen, const unsigned char* config, int objectType,
                       unsigned payloadLen) {
    if (!adts || !config || !adtsLen || *adtsLen < 7) return 0;
    if (objectType != 5 && objectType != 2) return 0;
    if (payloadLen > kMaxAdtsFrameLen - 7) return 0;
    unsigned frameLen = payloadLen + 7;  // the header is counted

    unsigned rateIndex = ((config[0] & 0x07) << 1) | (config[1] >> 7);
    unsigned channelConfig = (config[1] >> 3) & 0x0F;
    auto* out = reinterpret_cast<unsigned char*>(adts);
    out[0] = 0xFF;
    if (objectType == 5) {
        unsigned channels = kChannels[channelConfig > 6 ? 7 : channelConfig];
        out[1] = 0xF9;
        out[2] = static_cast<unsigned char>(0x40 | (rateIndex << 2) | ((channels >> 2) & 0x01));
        out[3] = static_cast<unsigned char>(((channels & 0x03) << 6) | ((frameLen >> 11) & 0x03));
        *adtsLen = 7;
    } else {
        unsigned profile = ((config[0] >> 3) - 1) & 0x03;
        out[1] = 0xF1;
        out[2] = static_cast<unsigned char>((profile << 6) | (rateIndex << 2) | ((channelConfig >> 2) & 0x01));
        out[3] = static_cast<unsigned char>(((channelConfig & 0x03) << 6) | ((frameLen >> 11) & 0x03));
    }
    out[4] = static_cast<unsigned char>((frameLen >> 3) & 0xFF);
    out[5] = static_cast<unsigned char>(((frameLen & 0x07) << 5) | 0x1F);
    out[6] = 0xFC;
    return 1;
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
