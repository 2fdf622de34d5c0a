#include "flvio/ts/ts2flvh264.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"

CTs2FlvH264::CTs2FlvH264() = default;

CTs2FlvH264::~CTs2FlvH264() = default;

CDataPackage* CTs2FlvH264::MakeConfigRecord() const {
    const std::size_t size = m_strSPS.size() + m_strPPS.size() + 11;
    auto* record = new CDataPackage(size);
    unsigned char* p = record->GetWritePtr();
    std::size_t n = 0;
    p[n++] = 1;
    p[n++] = static_cast<unsigned char>(m_strSPS[1]);
    p[n++] = static_cast<unsigned char>(m_strSPS[2]);
    p[n++] = static_cast<unsigned char>(m_strSPS[3]);
    p[n++] = 0xFF;
    p[n++] = 0xE1;
    p[n++] = static_cast<unsigned char>(m_strSPS.size() >> 8);
    p[n++] = static_cast<unsigned char>(m_strSPS.size() & 0xFF);
    std::memcpy(p + n, m_strSPS.data(), m_strSPS.size());
    n += m_strSPS.size();
    p[n++] = 1;
    p[n++] = static_cast<unsigned char>(m_strPPS.size() >> 8);
    p[n++] = static_cast<unsigned char>(m_strPPS.size() & 0xFF);
    std::memcpy(p + n, m_strPPS.data(), m_strPPS.size());
    n += m_strPPS.size();
    record->AdvancePackageWritePtr(n);
    return record;
}

int CTs2FlvH264::Transfer(TsTagType type, CDataPackage& unit, AVCPackageType& outType,
                          CDataPackage*& out) {
    out = nullptr;
    // Read in place when the unit is one block (as the reader makes them).
    std::string flat;
    if (unit.GetNext()) flat = unit.FlattenPackage();
    const std::string_view bytes = unit.GetNext() ? std::string_view(flat)
                                                  : std::string_view(reinterpret_cast<const char*>(unit.GetReadPtr()),
                                                                     unit.GetPackageLength());
    if (bytes.empty()) {
        UC_ASSERT_TEXT("dwLen > 0");
        return UC_ERR_BAD_ARGUMENT;
    }
    switch (type) {
        case TS_TAG_SLICE:
        case TS_TAG_IDR: {
            // Units of one run are kept apart by start codes: each gets its own length.
            std::vector<std::pair<std::size_t, std::size_t>> units;
            const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
            const std::size_t n = bytes.size();
            std::size_t begin = 0;
            std::size_t i = 0;
            while (i + 3 <= n) {
                if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
                    std::size_t end = i;
                    while (end > begin && b[end - 1] == 0) --end;
                    if (end > begin) units.emplace_back(begin, end);
                    i += 3;
                    begin = i;
                } else {
                    ++i;
                }
            }
            if (n > begin) units.emplace_back(begin, n);
            std::size_t total = 0;
            for (const auto& u : units) total += 4 + (u.second - u.first);
            auto* package = new CDataPackage(total);
            unsigned char* p = package->GetWritePtr();
            for (const auto& u : units) {
                const std::size_t len = u.second - u.first;
                p[0] = static_cast<unsigned char>(len >> 24);
                p[1] = static_cast<unsigned char>(len >> 16);
                p[2] = static_cast<unsigned char>(len >> 8);
                p[3] = static_cast<unsigned char>(len);
                std::memcpy(p + 4, b + u.first, len);
                p += 4 + len;
            }
            package->AdvancePackageWritePtr(total);
            out = package;
            outType = type == TS_TAG_IDR ? AVC_PACKAGE_KEY : AVC_PACKAGE_INTER;
            return 0;
        }
        case TS_TAG_SPS:
        case TS_TAG_PPS: {
            if (type == TS_TAG_SPS && bytes.size() < MIN_SPS) {
                UC_LOG_THIS(CLogWrapper::LOG_WARNING,
                            " --- CTs2FlvH264::Transfer, SPS too short, len=" << bytes.size());
                return UC_ERR_NOT_SUPPORTED;
            }
            const std::size_t other = type == TS_TAG_SPS ? m_strPPS.size() : m_strSPS.size();
            if (bytes.size() + other + 11 > MAX_CONFIG_RECORD) {
                UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- CTs2FlvH264::Transfer, parameter set too long, type="
                                                          << static_cast<int>(type) << ",len=" << bytes.size());
                return UC_ERR_NOT_SUPPORTED;
            }
            (type == TS_TAG_SPS ? m_strSPS : m_strPPS).assign(bytes);
            if (!m_strSPS.empty() && !m_strPPS.empty()) {
                out = MakeConfigRecord();
                outType = AVC_PACKAGE_CONFIG;
            }
            return 0;
        }
        default:
            UC_LOG_THIS(CLogWrapper::LOG_INFO, "CTs2FlvH264::Transfer, type=" << static_cast<int>(type));
            return UC_OK;
    }
}
