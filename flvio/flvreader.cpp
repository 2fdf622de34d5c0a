#include "flvio/flvreader.h"

#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "flvio/flviotag.h"

namespace {

constexpr long kMinGrowingFileLen = 16384;  // a growing file below this holds no usable data yet
constexpr unsigned kTagHeaderLen = 11;
constexpr unsigned kBackPointerLen = 4;

// Holds the reference a reading call keeps on its new tag.
class CTagRef {
public:
    explicit CTagRef(CFlvioTag* tag) : m_pTag(tag) { m_pTag->AddReference(); }
    ~CTagRef() { m_pTag->ReleaseReference(); }
    CTagRef(const CTagRef&) = delete;
    CTagRef& operator=(const CTagRef&) = delete;
    CFlvioTag* Get() const { return m_pTag; }

private:
    CFlvioTag* m_pTag;
};

}  // namespace

CFlvReader::CFlvReader() = default;

CFlvReader::~CFlvReader() { CFlvReader::Clear(); }

int CFlvReader::Init(const std::string& path, int reserved, int /*unused*/, int finished) {
    if (m_flvFile) return UC_ERR_NO_ROOM;
    IUCFile* file = CUCFileFactory::CreateUCFile(finished ? CUCFileFactory::UCFILE_MEDIA
                                                          : CUCFileFactory::UCFILE_ORDINARY);
    if (!file) return UC_ERR_NO_FILE;
    m_flvFile.Reset(file);
    int rv = m_flvFile->Open(path, "rb");
    if (rv != 0) m_flvFile.Reset();
    m_reserved = reserved;
    m_bFinished = finished ? 1 : 0;
    m_bInMemory = 0;
    m_fileName = path;
    m_readPos = 0;
    m_nFinishedLen = (rv == 0 && m_bFinished) ? MeasureLength() : -1;
    return rv;
}

int CFlvReader::Init(CDataPackage& data) {
    if (m_flvFile) return UC_ERR_NO_ROOM;
    IUCFile* file = CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_MEMORY);
    if (!file) return UC_ERR_NO_FILE;
    m_flvFile.Reset(file);
    int rv = m_flvFile->Open(data.FlattenPackage(), "rb");
    if (rv != 0) {
        m_flvFile.Reset();
        return rv;
    }
    m_reserved = 1;
    m_bFinished = 1;
    m_bInMemory = 1;
    m_readPos = 0;
    m_nFinishedLen = MeasureLength();
    return rv;
}

int CFlvReader::Clear() {
    if (m_flvFile) {
        m_flvFile->Close();
        m_flvFile.Reset();
    }
    m_nFinishedLen = -1;
    return 0;
}

int CFlvReader::SetFinish() {
    m_bFinished = 1;
    // A file in memory is complete from the start and has no path to reopen.
    if (m_bInMemory && m_flvFile) return 0;
    if (!m_flvFile) {
        UC_ASSERT_TEXT("m_flvFile.Get()");
        return UC_ERR_BAD_DATA;
    }
    m_flvFile->Close();
    int rv = m_flvFile->Open(m_fileName, "rb");
    if (rv != 0) return rv;
    m_nFinishedLen = MeasureLength();
    return m_flvFile->Seek(static_cast<long>(m_readPos), 0);
}

int CFlvReader::ReadHeader(CFlvioHeader& header) {
    UC_ASSERTE_RETURN(m_flvFile.Get(), UC_ERR_BAD_DATA);
    if (!m_bFinished) {
        long nFileLen = MeasureLength();
        if (nFileLen < kMinGrowingFileLen) {
            UC_LOG(CLogWrapper::LOG_INFO, "CFlvReader::ReadHeader,too small,nFileLen="
                                              << nFileLen << ",file=" << m_fileName);
            return UC_ERR_BAD_DATA;
        }
    }
    m_flvFile->Seek(0, 0);
    unsigned char buf[13];
    unsigned long n = ReadFully(buf, sizeof(buf));
    if (n < sizeof(buf)) return UC_ERR_BAD_DATA;
    CDataPackage pkg(sizeof(buf), buf, CDataPackage::FLAG_WRAP, sizeof(buf));
    CFlashStream stream(pkg, 0);
    int rv = header.Decode(stream);
    if (rv == 0) m_readPos = static_cast<std::uint32_t>(m_flvFile->Tell());
    return rv;
}

int CFlvReader::ReopenAtReadPos() {
    m_flvFile->Close();
    int rv = m_flvFile->Open(m_fileName, "rb");
    if (rv != 0) return rv;
    return m_flvFile->Seek(static_cast<long>(m_readPos), 0);
}

int CFlvReader::GetNextTag(CFlvioTag*& tag) {
    UC_ASSERTE_RETURN(m_flvFile.Get(), UC_ERR_BAD_DATA);
    if (m_bFinished) {
        if (AtEndOfData()) return UC_ERR_NO_ROOM;
    } else if (m_flvFile->IsEof()) {
        int rv = ReopenAtReadPos();
        if (rv != 0) return rv;
    } else {
        m_flvFile->Seek(static_cast<long>(m_readPos), 0);
    }

    CTagRef ref(new CFlvioTag());
    const long tagPos = m_flvFile->Tell();

    unsigned char head[kTagHeaderLen];
    unsigned long nRead = ReadFully(head, kTagHeaderLen);
    if (nRead < kTagHeaderLen) {
        UC_LOG(CLogWrapper::LOG_INFO, "CFlvReader::GetNextTag, nRead=" << nRead << ", dwLen="
                                          << kTagHeaderLen << ", file end=\t"
                                          << m_flvFile->IsEof());
        return m_bFinished ? UC_ERR_BAD_DATA : 0;
    }
    CDataPackage headPkg(kTagHeaderLen, head, CDataPackage::FLAG_WRAP, kTagHeaderLen);
    CFlashStream headStream(headPkg, 0);
    int rv = ref.Get()->Decode(headStream, 1);
    if (rv != 0) {
        UC_LOG(CLogWrapper::LOG_INFO, "CFlvReader::GetNextTag, decode error, rv="
                                          << rv << ", dwLen=" << kTagHeaderLen << ", filepos="
                                          << tagPos << ",m_bFinished=" << m_bFinished);
        return m_bFinished ? UC_ERR_TAG_UNDECODABLE : 0;
    }

    // Check the bytes that are there before sizing a buffer from the header:
    // a corrupt size must not allocate more than the file can hold.
    const unsigned long need = ref.Get()->GetEncodeLenNoHeader();
    const long bodyPos = m_flvFile->Tell();
    const long fileLen = m_bFinished ? m_nFinishedLen : MeasureLength();
    const unsigned long avail =
        (fileLen >= 0 && bodyPos >= 0 && fileLen > bodyPos) ? fileLen - bodyPos : 0;
    // Without enough bytes report what a read would have given.
    nRead = avail;
    if (need <= avail) {
        CDataPackage body(need);
        nRead = ReadFully(body.GetWritePtr(), need);
        body.AdvancePackageWritePtr(nRead);
        if (nRead == need) {
            m_readPos = static_cast<std::uint32_t>(m_flvFile->Tell());
            CFlashStream bodyStream(body, 0);
            rv = ref.Get()->DecodeNoHeader(bodyStream);
            if (rv != 0) {
                UC_LOG_THIS(CLogWrapper::LOG_WARNING,
                            "CFlvReader::GetNextTag, can't read, file pos=" << m_readPos);
                return rv;
            }
            ref.Get()->AddReference();
            tag = ref.Get();
            return 0;
        }
    }
    UC_LOG(CLogWrapper::LOG_INFO, "CFlvReader::GetNextTag, nRead=" << nRead << ", dwLen=" << need
                                      << ", file end?=\t" << m_flvFile->IsEof()
                                      << ",m_bFinished=" << m_bFinished);
    return m_bFinished ? UC_ERR_BAD_DATA : 0;
}

int CFlvReader::GetRTag(CFlvioTag*& tag, unsigned long& tagPos) {
    UC_ASSERTE_RETURN(m_flvFile.Get(), UC_ERR_BAD_DATA);
    const long pos = m_flvFile->Tell();
    int rv = pos >= static_cast<long>(kBackPointerLen)
                 ? m_flvFile->Seek(pos - static_cast<long>(kBackPointerLen), 0)
                 : UC_ERR_BAD_DATA;
    if (rv != 0) {
        UC_LOG(CLogWrapper::LOG_INFO, "CFlvReader::GetRTag, SEEK wrong, rv=" << rv);
        return rv;
    }
    unsigned char bp[kBackPointerLen];
    if (ReadFully(bp, kBackPointerLen) < kBackPointerLen) return UC_ERR_BAD_DATA;
    const unsigned long backPointer = (static_cast<unsigned long>(bp[0]) << 24) |
                                      (static_cast<unsigned long>(bp[1]) << 16) |
                                      (static_cast<unsigned long>(bp[2]) << 8) | bp[3];
    // A back-pointer reaching in front of the file start is corrupt.
    rv = backPointer + kBackPointerLen <= static_cast<unsigned long>(pos)
             ? m_flvFile->Seek(pos - static_cast<long>(backPointer + kBackPointerLen), 0)
             : UC_ERR_BAD_DATA;
    if (rv != 0) {
        UC_LOG(CLogWrapper::LOG_INFO, "CFlvReader::GetRTag, SEEK wrong, rv=" << rv);
        return rv;
    }
    tagPos = static_cast<unsigned long>(pos) - backPointer - kBackPointerLen;
    return GetNextTag(tag);
}

int CFlvReader::IsEof() {
    UC_ASSERTE_RETURN(m_flvFile.Get(), 1);
    if (m_bFinished && AtEndOfData()) return 1;
    return m_flvFile->IsEof() ? 1 : 0;
}

unsigned long CFlvReader::GetPos() {
    if (!m_flvFile) return 0xFFFFFFFFUL;
    return static_cast<unsigned long>(m_flvFile->Tell());
}

int CFlvReader::Seek(long offset, int origin) {
    if (origin == -1) return UC_ERR_BAD_DATA;
    if (!m_flvFile) return UC_ERR_NO_ROOM;
    return m_flvFile->Seek(offset, origin);
}

const std::string& CFlvReader::GetFileName() const { return m_fileName; }

int CFlvReader::IsFinish() const { return m_bFinished; }

unsigned long CFlvReader::ReadFully(void* dst, unsigned long n) {
    auto* p = static_cast<unsigned char*>(dst);
    unsigned long done = 0;
    while (done < n) {
        long got = m_flvFile->Read(p + done, n - done);
        if (got <= 0) break;
        done += static_cast<unsigned long>(got);
    }
    return done;
}

long CFlvReader::MeasureLength() {
    const long pos = m_flvFile->Tell();
    if (m_flvFile->Seek(0, 2) != 0) return -1;
    const long len = m_flvFile->Tell();
    m_flvFile->Seek(pos < 0 ? 0 : pos, 0);
    return len;
}

bool CFlvReader::AtEndOfData() {
    if (m_flvFile->IsEof()) return true;
    return m_nFinishedLen >= 0 && m_flvFile->Tell() >= m_nFinishedLen;
}
