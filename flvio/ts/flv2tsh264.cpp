#include "flvio/ts/flv2tsh264.h"

#include <cstring>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"

namespace {

const char kStartCode[4] = {0, 0, 0, 1};

std::uint32_t ReadBE32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

}  // namespace

CFlv2TsH264::CFlv2TsH264() : m_pBuf(new unsigned char[MAX_BUF_SIZE]) {}

CFlv2TsH264::~CFlv2TsH264() = default;

int CFlv2TsH264::Append(unsigned long& outLen, const void* data, std::size_t len) {
    if (outLen + len > MAX_BUF_SIZE) {
        UC_ASSERT_TEXT("(dwLen + dwOutLen) <= MAX_BUF_SIZE");
        return UC_ERR_NO_ROOM;
    }
    std::memcpy(m_pBuf.get() + outLen, data, len);
    outLen += static_cast<unsigned long>(len);
    return 0;
}

int CFlv2TsH264::ParseAVCConfigure(const unsigned char* buf, unsigned long len) {
    if (!buf || len <= 8) {
        UC_ASSERT_TEXT("dwLen > 8");
        return UC_ERR_BAD_DATA;
    }
    const unsigned spsLen = (unsigned(buf[6]) << 8) | buf[7];
    UC_ASSERTE_RETURN(spsLen > 0, UC_ERR_BAD_DATA);
    if (!(len > spsLen + 8)) {
        UC_ASSERT_TEXT("dwLen > (nSPSLen + 8)");
        return UC_ERR_BAD_DATA;
    }
    if (!(spsLen < 128)) {
        UC_ASSERT_TEXT("nSPSLen < 128");
        return UC_ERR_NOT_SUPPORTED;
    }
    // SPS count at 5, SPS at 8, then the PPS count and the PPS length.
    unsigned long pos = 8 + spsLen + 1;
    if (pos + 2 > len) {
        UC_ASSERT_TEXT("dwLen >= nPos + nPPS");
        return UC_ERR_BAD_DATA;
    }
    const unsigned ppsLen = (unsigned(buf[pos]) << 8) | buf[pos + 1];
    pos += 2;
    if (!(len >= pos + ppsLen)) {
        UC_ASSERT_TEXT("dwLen >= nPos + nPPS");
        return UC_ERR_BAD_DATA;
    }
    m_strPPS_SPS.clear();
    if (spsLen + 4 >= 128) {
        UC_ASSERT_TEXT("nPos < 128");
        return UC_ERR_NOT_SUPPORTED;
    }
    if (ppsLen == 0 || ppsLen > MAX_CONFIG_PPS) {
        UC_ASSERT_TEXT("nPPS > 0 && nPPS <= 64");
        return UC_ERR_NOT_SUPPORTED;
    }
    m_strPPS_SPS.append(kStartCode, 4);
    m_strPPS_SPS.append(reinterpret_cast<const char*>(buf + 8), spsLen);
    m_strPPS_SPS.append(kStartCode, 4);
    m_strPPS_SPS.append(reinterpret_cast<const char*>(buf + pos), ppsLen);
    m_strPPS_SPS.append(kStartCode, 4);
    return 0;
}

int CFlv2TsH264::TransferFlv_i(AVCPackageType type, const unsigned char* buf, unsigned long len,
                               unsigned long& outLen, const unsigned char*& next, unsigned long& left) {
    next = nullptr;
    left = 0;
    if (!buf || len <= 4) {
        UC_ASSERT_TEXT("dwLen1>4 && buf1");
        return UC_ERR_BAD_DATA;
    }
    // Skip to the first slice; the last unit of the packet is taken whatever it is.
    std::uint32_t nalLen = 0;
    for (;;) {
        nalLen = ReadBE32(buf);
        if (nalLen > len - 4) {
            UC_ASSERT_TEXT("dwAVCLen <= dwLen -4");
            return UC_ERR_BAD_DATA;
        }
        const unsigned long rest = len - 4 - nalLen;
        const int nalType = nalLen > 0 ? (buf[4] & 0x1F) : 0;
        if (nalType == 1 || nalType == 5 || rest <= 4) break;
        buf += 4 + nalLen;
        len = rest;
    }
    if (nalLen == 0) {
        UC_ASSERT_TEXT("dwLen>4");
        return UC_ERR_BAD_DATA;
    }
    int rv = 0;
    if (type == AVC_PACKAGE_KEY) {
        if (m_strPPS_SPS.empty()) {
            UC_ASSERT_TEXT("dwConfLen");
            return UC_ERR_BAD_DATA;
        }
        rv = Append(outLen, m_strPPS_SPS.data(), m_strPPS_SPS.size());
    } else {
        rv = Append(outLen, kStartCode, 4);
    }
    if (rv == 0) rv = Append(outLen, buf + 4, nalLen);
    if (rv != 0) return rv;
    const unsigned long rest = len - 4 - nalLen;
    if (rest > 0) {
        next = buf + 4 + nalLen;
        left = rest;
    }
    return 0;
}

int CFlv2TsH264::TransferFlv(AVCPackageType type, const unsigned char* buf, unsigned long len,
                             unsigned char*& out, unsigned long& outLen) {
    out = nullptr;
    outLen = 0;
    if (!buf || len <= 4) {
        UC_ASSERT_TEXT("buf && dwLen> 4");
        return UC_ERR_BAD_ARGUMENT;
    }
    if (type == AVC_PACKAGE_CONFIG) return ParseAVCConfigure(buf, len);
    if (m_strPPS_SPS.empty()) {
        UC_ASSERT_TEXT("!m_strPPS_SPS.empty()");
        return UC_ERR_BAD_DATA;
    }
    AVCPackageType stepType = type;
    while (len > 4) {
        const unsigned char* next = nullptr;
        unsigned long left = 0;
        const int rv = TransferFlv_i(stepType, buf, len, outLen, next, left);
        if (rv != 0) {
            outLen = 0;
            return rv;
        }
        if (!next) break;
        buf = next;
        len = left;
        stepType = AVC_PACKAGE_INTER;
    }
    if (outLen > 0) out = m_pBuf.get();
    return 0;
}

int CFlv2TsH264::TransferFlv(AVCPackageType type, CDataPackage& package, unsigned char*& out,
                             unsigned long& outLen) {
    const std::string flat = package.FlattenPackage();
    return TransferFlv(type, reinterpret_cast<const unsigned char*>(flat.data()),
                       static_cast<unsigned long>(flat.size()), out, outLen);
}

int CFlv2TsH264::TransferTsRaw(TsTagType type, const unsigned char* buf, unsigned long len,
                               unsigned char*& out, unsigned long& outLen) {
    if (!buf || len == 0) return UC_ERR_BAD_ARGUMENT;
    switch (type) {
        case TS_TAG_SLICE: {
            unsigned long n = 0;
            int rv = Append(n, kStartCode, 4);
            if (rv == 0) rv = Append(n, buf, len);
            out = rv == 0 ? m_pBuf.get() : nullptr;
            outLen = rv == 0 ? n : 0;
            return rv;
        }
        case TS_TAG_IDR: {
            if (m_strPPS_SPS.empty()) {
                UC_ASSERT_TEXT("dwOutLen");
                out = nullptr;
                outLen = 0;
                return UC_ERR_BAD_DATA;
            }
            unsigned long n = 0;
            int rv = Append(n, m_strPPS_SPS.data(), m_strPPS_SPS.size());
            if (rv == 0) rv = Append(n, buf, len);
            out = rv == 0 ? m_pBuf.get() : nullptr;
            outLen = rv == 0 ? n : 0;
            return rv;
        }
        case TS_TAG_SPS:
        case TS_TAG_PPS: {
            out = nullptr;
            outLen = 0;
            if (len > MAX_RAW_PARAMETER_SET) {
                UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- CFlv2TsH264::TransferTsRaw, parameter set too long, type="
                                                          << static_cast<int>(type) << ",len=" << len);
                return UC_ERR_NOT_SUPPORTED;
            }
            if (type == TS_TAG_SPS) {
                m_bGotTsSps = 1;
                m_strPPS_SPS.assign(kStartCode, 4);
                m_strPPS_SPS.append(reinterpret_cast<const char*>(buf), len);
            } else {
                m_strPPS_SPS.append(kStartCode, 4);
                m_strPPS_SPS.append(reinterpret_cast<const char*>(buf), len);
                m_strPPS_SPS.append(kStartCode + 1, 3);
            }
            return 0;
        }
        default:
            return 0;
    }
}

int CFlv2TsH264::TransferTsRaw(TsTagType type, CDataPackage& package, unsigned char*& out,
                               unsigned long& outLen) {
    const std::string flat = package.FlattenPackage();
    return TransferTsRaw(type, reinterpret_cast<const unsigned char*>(flat.data()),
                         static_cast<unsigned long>(flat.size()), out, outLen);
}
