#include "flvio/flvmultireader.h"

#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "basekit/ucfile.h"
#include "flvio/flviotag.h"

namespace {

// Length of the file at `path`; non-zero when it cannot be opened.
int MeasureFile(const std::string& path, std::uint32_t& len) {
    CUCAutoPtr<IUCFile> file(CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_ORDINARY));
    if (!file) return UC_ERR_NO_FILE;
    int rv = file->Open(path, "rb");
    if (rv != 0) return rv;
    long size = file->Seek(0, 2) == 0 ? file->Tell() : 0;
    file->Close();
    if (size < 0) size = 0;
    len = size > 0xFFFFFFFFL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size);
    return 0;
}

}  // namespace

CFlvMultiReader::CFlvMultiReader() = default;

CFlvMultiReader::~CFlvMultiReader() = default;

int CFlvMultiReader::Init(CDataPackage& /*data*/) { return UC_ERR_NOT_SUPPORTED; }

int CFlvMultiReader::Init(const std::string& strPath, int reserved, int adjustTimeStamps,
                          int /*unused*/) {
    UC_ASSERTE_RETURN(strPath.length() > 0, UC_ERR_BAD_ARGUMENT);
    Clear();
    m_basePath = strPath;
    m_nSegmentReserved = reserved;
    m_adjustTimeStamps = adjustTimeStamps;
    return 0;
}

int CFlvMultiReader::Clear() {
    CFlvReader::Clear();
    m_flvs.clear();
    m_currentIndex = -1;
    m_allFilesKnown = 0;
    return 0;
}

int CFlvMultiReader::AddFlv(const std::string& name, unsigned long dwStartTimeStamp) {
    FlvSegment seg;
    seg.strName = name;
    seg.dwStartTimeStamp = static_cast<std::uint32_t>(dwStartTimeStamp);
    const std::string path = SegmentPath(name);
    MeasureFile(path, seg.dwFileLen);
    UC_LOG(CLogWrapper::LOG_INFO, "CFlvMultiReader::AddFlv, FILENAME="
                                      << name << ", dwStartTimeStamp=" << seg.dwStartTimeStamp
                                      << ", file len=" << seg.dwFileLen);
    // A new segment that is not there yet means not every file is known any more.
    if (seg.dwFileLen == 0) m_allFilesKnown = 0;
    m_flvs.push_back(seg);
    if (m_flvs.size() == 1) OpenSegment(0);
    return 0;
}

int CFlvMultiReader::ReadHeader(CFlvioHeader& header) {
    if (m_currentIndex < 0) {
        UC_ASSERT_TEXT("m_currentIndex >=0");
        return UC_ERR_BAD_DATA;
    }
    if (m_currentIndex != 0)
        OpenSegment(0);
    else if (m_flvFile)
        m_flvFile->Seek(0, 0);
    return CFlvReader::ReadHeader(header);
}

int CFlvMultiReader::GetNextTag(CFlvioTag*& tag) {
    const int count = static_cast<int>(m_flvs.size());
    // Each pass either returns or moves on by one segment, so this ends.
    for (;;) {
        // A segment reached but not open yet (also one that was missing on
        // an earlier call: it is tried again rather than skipped).
        if (!m_flvFile && m_currentIndex >= 0 && m_currentIndex < count) {
            const std::string path = SegmentPath(m_flvs[m_currentIndex].strName);
            if (!IsSegmentThere(m_currentIndex)) {
                UC_LOG(CLogWrapper::LOG_WARNING,
                       "CFlvMultiReader::GetNextTag,file still don't download,file =" << path);
                return UC_ERR_BAD_DATA;
            }
            int rv = CFlvReader::Init(path, m_nSegmentReserved, 1, 1);
            UC_LOG(CLogWrapper::LOG_INFO,
                   "CFlvMultiReader::GetNextTag, FILE=" << path << ", INDEX=" << m_currentIndex);
            if (rv != 0) return rv;
            CFlvioHeader header;
            rv = CFlvReader::ReadHeader(header);
            if (rv != 0) return rv;
        }
        int rv = CFlvReader::GetNextTag(tag);
        if (rv == 0) {
            ShiftTimeStamp(tag);
            return 0;
        }
        if (rv == UC_ERR_TAG_UNDECODABLE || m_currentIndex < 0 || m_currentIndex >= count - 1) return rv;
        CFlvReader::Clear();
        ++m_currentIndex;
    }
}

bool CFlvMultiReader::IsSegmentThere(int index) {
    FlvSegment& seg = m_flvs[index];
    if (seg.dwFileLen != 0) return true;
    IsGetAllFiles();
    // IsGetAllFiles forgets the length of a segment in front of a missing
    // one (it may still grow), yet that segment is there to be read.
    std::uint32_t len = seg.dwFileLen;
    if (len == 0 && MeasureFile(SegmentPath(seg.strName), len) != 0) len = 0;
    return len != 0;
}

int CFlvMultiReader::IsEof() {
    if (m_currentIndex < 0 || m_currentIndex != static_cast<int>(m_flvs.size()) - 1) return 0;
    if (!m_flvFile) return 0;
    return CFlvReader::IsEof();
}

unsigned long CFlvMultiReader::GetPos() {
    if (m_currentIndex < 0 || !m_flvFile) return 0xFFFFFFFFUL;
    unsigned long pos = 0;
    for (int i = 0; i < m_currentIndex && i < static_cast<int>(m_flvs.size()); ++i)
        pos += m_flvs[i].dwFileLen;
    return pos + CFlvReader::GetPos();
}

unsigned long CFlvMultiReader::GetRecordFullLen(int nNum) {
    if (nNum < 0 || static_cast<std::size_t>(nNum) >= m_flvs.size()) {
        UC_ASSERT_TEXT("nNum < m_flvs.size()");
        return 0;
    }
    unsigned long len = 0;
    for (int i = 0; i < nNum; ++i) len += m_flvs[i].dwFileLen;
    return len;
}

int CFlvMultiReader::IsGetAllFiles() {
    if (m_allFilesKnown) return 1;
    if (m_flvs.empty()) return 0;
    for (std::size_t i = 0; i < m_flvs.size(); ++i) {
        if (m_flvs[i].dwFileLen != 0) continue;
        std::uint32_t len = 0;
        if (MeasureFile(SegmentPath(m_flvs[i].strName), len) != 0) {
            // The segment before a missing one may still be growing.
            if (i > 0) m_flvs[i - 1].dwFileLen = 0;
            return 0;
        }
        if (len == 0) return 0;
        m_flvs[i].dwFileLen = len;
    }
    m_allFilesKnown = 1;
    return 1;
}

int CFlvMultiReader::Seek(long offset, int origin) {
    UC_LOG(CLogWrapper::LOG_INFO,
           "CFlvMultiReader::Seek, offset=" << offset << ", origin=" << origin);
    if (origin == -1) {
        const int index = FindSegmentByTime(offset);
        if (index < 0) return UC_ERR_BAD_DATA;
        int rv = OpenSegment(index);
        if (rv != 0) return rv;
        CFlvioHeader header;
        return CFlvReader::ReadHeader(header);
    }
    if (origin == 2) {
        if (m_flvs.empty()) return UC_ERR_BAD_DATA;
        int rv = OpenSegment(static_cast<int>(m_flvs.size()) - 1);
        UC_LOG(CLogWrapper::LOG_INFO, "CFlvMultiReader::Seek, FILE="
                                          << SegmentPath(m_flvs.back().strName)
                                          << ", m_currentIndex=" << m_currentIndex);
        if (rv != 0) return rv;
        return CFlvReader::Seek(offset, 2);
    }
    if (origin != 0) return UC_ERR_NOT_SUPPORTED;

    IsGetAllFiles();
    unsigned long remaining = offset >= 0 ? static_cast<unsigned long>(offset) : 0;
    int index = -1;
    for (std::size_t i = 0; offset >= 0 && i < m_flvs.size(); ++i) {
        if (m_flvs[i].dwFileLen == 0) {
            UC_LOG(CLogWrapper::LOG_WARNING, "CFlvMultiReader::Seek,file still don't download,file ="
                                                 << SegmentPath(m_flvs[i].strName));
            return UC_ERR_BAD_DATA;
        }
        if (remaining < m_flvs[i].dwFileLen) {
            index = static_cast<int>(i);
            break;
        }
        remaining -= m_flvs[i].dwFileLen;
    }
    if (index < 0) {
        UC_ASSERT_TEXT("FALSE");
        return UC_ERR_BAD_DATA;
    }
    int rv = OpenSegment(index);
    UC_LOG(CLogWrapper::LOG_INFO, "CFlvMultiReader::Seek, FILE="
                                      << SegmentPath(m_flvs[index].strName) << ", offset="
                                      << remaining << ", m_currentIndex=" << m_currentIndex);
    if (rv != 0) return rv;
    return CFlvReader::Seek(static_cast<long>(remaining), 0);
}

int CFlvMultiReader::FindSegmentByTime(long timeMs) const {
    std::size_t next = 0;
    while (next < m_flvs.size() &&
           static_cast<long long>(m_flvs[next].dwStartTimeStamp) <= static_cast<long long>(timeMs))
        ++next;
    if (next == m_flvs.size()) return -1;  // no segment starts later
    return next == 0 ? 0 : static_cast<int>(next) - 1;
}

int CFlvMultiReader::GetRTag(CFlvioTag*& /*tag*/, unsigned long& /*tagPos*/) {
    UC_ASSERT_TEXT("FALSE");
    return UC_ERR_NOT_SUPPORTED;
}

std::string CFlvMultiReader::SegmentPath(const std::string& name) const {
    if (m_basePath.empty() || m_basePath.back() == '/' || (!name.empty() && name.front() == '/'))
        return m_basePath + name;
    return m_basePath + "/" + name;
}

int CFlvMultiReader::OpenSegment(int index) {
    CFlvReader::Clear();
    m_currentIndex = index;
    return CFlvReader::Init(SegmentPath(m_flvs[index].strName), m_nSegmentReserved, 1, 1);
}

void CFlvMultiReader::ShiftTimeStamp(CFlvioTag* tag) const {
    if (!m_adjustTimeStamps || !tag || m_currentIndex < 0 ||
        m_currentIndex >= static_cast<int>(m_flvs.size()))
        return;
    tag->SetTimeStampOffset(m_flvs[m_currentIndex].dwStartTimeStamp);
}
