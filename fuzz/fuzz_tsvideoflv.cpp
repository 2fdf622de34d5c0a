// The H.264 converters: the first byte picks what the rest is fed to:
// ParseAVCConfigure, TransferFlv (a configuration record cut from the front,
// then frames of length-prefixed NAL units), TransferTsRaw and
// CTs2FlvH264::Transfer (NAL units cut at 00 00 01). Outputs are checked for
// their form.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "basekit/datapackage.h"
#include "flvio/ts/tsvideoflv.h"
#include "fuzzsupport.h"

namespace {

void CheckAnnexB(const unsigned char* out, unsigned long outLen) {
    if (outLen == 0) return;
    FUZZ_CHECK(out != nullptr, "output bytes come with a pointer");
    FUZZ_CHECK(outLen <= CFlv2TsH264::MAX_BUF_SIZE, "output within the buffer");
    FUZZ_CHECK(outLen >= 4 && std::memcmp(out, "\x00\x00\x00\x01", 4) == 0, "output starts with a start code");
}

void CheckFlvPacket(CDataPackage* out, AVCPackageType type) {
    if (!out) return;
    const std::string s = out->FlattenPackage();
    out->DestroyPackage();
    if (type == AVC_PACKAGE_CONFIG) {
        FUZZ_CHECK(s.size() >= 11 && s.size() <= CTs2FlvH264::MAX_CONFIG_RECORD, "record size");
        FUZZ_CHECK(s[0] == 1, "record version 1");
        return;
    }
    // Length-prefixed units that fill the packet exactly.
    std::size_t pos = 0;
    while (pos < s.size()) {
        FUZZ_CHECK(pos + 4 <= s.size(), "a whole length field");
        const std::size_t len = (std::size_t(std::uint8_t(s[pos])) << 24) | (std::uint8_t(s[pos + 1]) << 16) |
                                (std::uint8_t(s[pos + 2]) << 8) | std::uint8_t(s[pos + 3]);
        FUZZ_CHECK(len > 0 && pos + 4 + len <= s.size(), "each length stays within the packet");
        pos += 4 + len;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::CFuzzInput input(data, size);
    const int mode = input.TakeByte() % 3;
    const unsigned char* rest = input.Rest();
    const std::size_t restSize = input.RestSize();
    unsigned char* out = nullptr;
    unsigned long outLen = 0;
    if (mode == 0) {
        CFlv2TsH264 conv;
        const std::size_t cut = restSize ? (input.TakeU16() % (restSize + 1)) : 0;
        const unsigned char* body = input.Rest();
        const std::size_t bodySize = input.RestSize();
        const std::size_t recordLen = std::min(cut, bodySize);
        conv.ParseAVCConfigure(body, static_cast<unsigned long>(recordLen));
        FUZZ_CHECK(conv.GetParameterSets().empty() || conv.GetParameterSets().size() <= 127 + 64 + 12,
                   "parameter sets within their limits");
        // The rest as frames of both kinds, in pieces of 16-bit sizes.
        std::size_t pos = recordLen;
        int type = 1;
        while (pos < bodySize) {
            const std::size_t piece = std::min<std::size_t>(bodySize - pos, 1 + (body[pos] * 37u) % 4096);
            conv.TransferFlv(static_cast<AVCPackageType>(type), body + pos, static_cast<unsigned long>(piece), out,
                             outLen);
            CheckAnnexB(out, outLen);
            type = type == 1 ? 2 : 1;
            pos += piece;
        }
        return 0;
    }
    // NAL units cut at start codes, to both transport stream converters.
    CFlv2TsH264 raw;
    CTs2FlvH264 toFlv;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= restSize; ++i) {
        const bool end = i == restSize;
        if (!end && !(i + 3 <= restSize && rest[i] == 0 && rest[i + 1] == 0 && rest[i + 2] == 1)) continue;
        if (i > begin) {
            const unsigned char* unit = rest + begin;
            const std::size_t len = i - begin;
            const TsTagType type = static_cast<TsTagType>(unit[0] & 0x1F);
            out = nullptr;
            outLen = 0;
            raw.TransferTsRaw(type, unit, static_cast<unsigned long>(len), out, outLen);
            CheckAnnexB(out, outLen);
            CDataPackage pkg(len, unit, CDataPackage::FLAG_NONE, len);
            AVCPackageType outType = AVC_PACKAGE_INTER;
            CDataPackage* flv = nullptr;
            toFlv.Transfer(type, pkg, outType, flv);
            CheckFlvPacket(flv, outType);
        }
        if (end) break;
        begin = i + 3;
        i += 2;
    }
    return 0;
}
