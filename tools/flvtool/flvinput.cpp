#include "flvinput.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "basekit/resultcodes.h"
#include "flvdamageprobe.h"
#include "flvio/flvreader.h"

namespace {

constexpr int kEndOfData = UC_ERR_NO_ROOM;
constexpr std::uint64_t kFirstTagOffset = 13;

}  // namespace

void CFlvInput::TagRelease::operator()(CFlvioTag* tag) const { tag->ReleaseReference(); }

CFlvInput::CFlvInput() = default;

CFlvInput::~CFlvInput() = default;

bool CFlvInput::SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::uint64_t CFlvInput::FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

int CFlvInput::Open(const std::string& path, CFlvioHeader& header) {
    m_strPath = path;
    m_strError = CFlvDamageProbe::CheckInput(path, m_nSize);
    if (!m_strError.empty()) return OPEN_FAILED;
    m_pReader = std::make_unique<CFlvReader>();
    int rv = m_pReader->Init(path, 1, 0, 1);
    if (rv != 0) {
        m_strError = "cannot open " + path + ": " + std::strerror(rv);
        return OPEN_FAILED;
    }
    rv = m_pReader->ReadHeader(header);
    std::string damage = CFlvDamageProbe(path, m_nSize).CheckHeader();
    if (damage.empty() && rv != 0) damage = "the header cannot be read (result " + std::to_string(rv) + ")";
    if (!damage.empty()) {
        m_strError = "damaged file at offset 0: " + damage;
        return OPEN_DAMAGED;
    }
    m_nOffset = kFirstTagOffset;
    return OPEN_OK;
}

CFlvInput::TagPtr CFlvInput::NextTag() {
    if (m_bDamaged || !m_pReader) return nullptr;
    CFlvioTag* tag = nullptr;
    const int rv = m_pReader->GetNextTag(tag);
    if (rv == 0 && tag) {
        TagPtr held(tag);
        m_nOffset += tag->GetEncodeLen();
        return held;
    }
    if (rv != kEndOfData) {
        m_bDamaged = true;
        m_strError = "damaged file at offset " + std::to_string(m_nOffset) + ": " +
                     CFlvDamageProbe(m_strPath, m_nSize).CheckTag(m_nOffset, rv ? rv : kEndOfData);
    }
    return nullptr;
}

void CFlvInput::ShowProgress(const char* what) {
    if (!m_bShowProgress || m_nSize == 0) return;
    const unsigned percent = static_cast<unsigned>(m_nOffset * 100 / m_nSize);
    if (percent == m_nLastPercent) return;
    m_nLastPercent = percent;
    std::fprintf(stderr, "\rflvtool: %s %3u%%", what, percent > 100 ? 100 : percent);
    std::fflush(stderr);
}

void CFlvInput::EndProgress() {
    if (m_bShowProgress && m_nLastPercent <= 100) std::fputc('\n', stderr);
}
