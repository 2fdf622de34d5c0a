#include "flvio/flvplayer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "basekit/datapackage.h"
#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "flvio/aacutil.h"
#include "flvio/flvreader.h"

namespace {

const char kAVIndexHeader[] = R"(<?xml version="1.0" encoding="UTF-8"?><AVindex>)";
const char kDataIndexHeader[] = R"(<?xml version="1.0" encoding="UTF-8" ?><DataIndex>)";
const char kScriptEnd[3] = {0x00, 0x00, 0x09};  // end marker of an AMF object

// A copy of the tag's body sharing its bytes; an empty package for a tag without one.
CDataPackage* CopyBody(const CFlvioTag* tag) {
    return tag->GetData() ? tag->GetData()->DuplicatePackage() : new CDataPackage(0);
}

// True when the body ends in the 00 00 09 end marker.
bool HasScriptEnd(const CDataPackage& body) {
    const std::size_t len = body.GetPackageLength();
    unsigned char buf[3] = {0xFF, 0xFF, 0xFF};
    if (len < sizeof(buf) || body.Peek(buf, sizeof(buf), len - sizeof(buf)) != 0) return false;
    return std::memcmp(buf, kScriptEnd, sizeof(buf)) == 0;
}

// Cuts the 3-byte end marker off the body.
void CutScriptEnd(CDataPackage& body) {
    CDataPackage* tail = body.Disjoint(body.GetPackageLength() - sizeof(kScriptEnd));
    if (tail) tail->DestroyPackage();
}

// Reads the next tag's body; UC_ERR_BAD_DATA when the reader has no tag to give.
int ReadTagBody(CFlvReader& reader, CDataPackage*& body) {
    CFlvioTag* tag = nullptr;
    int rv = reader.GetNextTag(tag);
    if (rv != 0) return rv;
    if (!tag) return UC_ERR_BAD_DATA;
    body = CopyBody(tag);
    tag->ReleaseReference();
    return 0;
}

unsigned long ParseDecimal(const std::string& value) {
    return std::strtoul(value.c_str(), nullptr, 10);
}

}  // namespace

CFLVPlayer::CFLVPlayer() = default;

CFLVPlayer::~CFLVPlayer() { Stop(); }

int CFLVPlayer::HaveCacheFile(const std::string& name) {
    const std::string path = std::string(GetRPHome(1)) + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return ::access(path.c_str(), R_OK) == 0 ? 1 : 0;
}

int CFLVPlayer::Start(const std::string& filename, int cache, unsigned short& audioCount,
                      unsigned short& videoCount, CDataPackage*& first, CDataPackage*& second,
                      CDataPackage*& /*third*/) {
    UC_ASSERTE_RETURN(!filename.empty(), UC_ERR_BAD_ARGUMENT);
    if (filename.find('.') == std::string::npos) {
        UC_LOG(CLogWrapper::LOG_INFO, "CFLVPlayer::Start, wrong filename, filename=" << filename);
        return UC_ERR_BAD_ARGUMENT;
    }
    UC_ASSERTE_RETURN(!m_pReader, UC_ERR_NO_ROOM);
    const std::string path = std::string(GetRPHome(cache)) + filename;
    m_pReader.reset(new (std::nothrow) CFlvReader());
    UC_ASSERTE_RETURN(m_pReader, UC_ERR_NO_FILE);

    CFlvioHeader header;
    int rv = m_pReader->Init(path, 1, 1, 1);
    if (rv != 0)
        UC_LOG(CLogWrapper::LOG_WARNING, "CFLVPlayer::Start, can't open the file=" << path);
    else
        rv = m_pReader->ReadHeader(header);
    // A multi-stream file starts with two script-data tags.
    CDataPackage* pFirst = nullptr;
    CDataPackage* pSecond = nullptr;
    if (rv == 0) {
        header.GetAVNumber(audioCount, videoCount);
        if (header.IsOfficeVersion()) return 0;
        rv = ReadTagBody(*m_pReader, pFirst);
        if (rv == 0) rv = ReadTagBody(*m_pReader, pSecond);
    }
    if (rv != 0) {
        if (pFirst) pFirst->DestroyPackage();
        UC_LOG(CLogWrapper::LOG_INFO, "CFLVPlayer::Start, CAN'T START, RV=" << rv);
        m_pReader.reset();
        return rv;
    }
    first = pFirst;
    second = pSecond;
    if (!HasScriptEnd(*pSecond)) {
        UC_ASSERT_TEXT(R"(memcmp(buf,"\x00\x00\x09",3) == 0)");
        return 0;
    }
    CutScriptEnd(*pSecond);
    return 0;
}

int CFLVPlayer::ReadNextPackage(unsigned long& timeStamp, unsigned long& streamId, TagType& type,
                                int& key, CDataPackage*& body) {
    UC_ASSERTE_RETURN(m_pReader, UC_ERR_NO_FILE);
    // Every pass consumes one tag, so this ends with the file at the latest.
    for (;;) {
        if (m_dwEndPos != 0 && m_pReader->GetPos() >= m_dwEndPos) return UC_ERR_BAD_DATA;
        CFlvioTag* tag = nullptr;
        int rv = m_pReader->GetNextTag(tag);
        if (rv != 0) return rv;
        if (!tag) return UC_ERR_BAD_DATA;

        int isKey = 0;
        if (tag->GetTagType() == TAG_TYPE_VIDEO) {
            unsigned char first = 0;
            if (tag->GetData() && tag->GetData()->Peek(&first, 1, 0) == 0)
                isKey = (first >> 4) == FLV_FRAME_KEY ? 1 : 0;
            if (m_bWaitKey && !isKey) {
                tag->ReleaseReference();
                continue;
            }
            if (isKey) m_bWaitKey = 0;
        }

        CDataPackage* copy = CopyBody(tag);
        if (tag->GetTagType() == TAG_TYPE_SCRIPT) {
            if (HasScriptEnd(*copy))
                CutScriptEnd(*copy);
            else
                UC_ASSERT_TEXT(R"(memcmp(buf,"\x00\x00\x09",3) == 0)");
        }
        timeStamp = tag->GetTimeStampAll();
        streamId = tag->GetStreamID();
        type = tag->GetTagType();
        key = isKey;
        body = copy;
        m_dwLastTimeStamp = timeStamp;
        tag->ReleaseReference();
        return 0;
    }
}

int CFLVPlayer::Skip(unsigned long timeStamp) {
    UC_LOG(CLogWrapper::LOG_INFO, "CFLVPlayer::Skip, time stamp=" << timeStamp);
    for (const AVIndexEntry& entry : m_avIndex) {
        if (entry.dwTimeStamp < timeStamp) continue;
        if (m_pReader) m_pReader->Seek(static_cast<long>(entry.dwPos), 0);
        m_bWaitKey = 1;
        return 0;
    }
    UC_LOG(CLogWrapper::LOG_INFO, "CFLVPlayer::Skip, can't find the skip time stamp=" << timeStamp);
    return 0;
}

void CFLVPlayer::Stop() {
    if (m_pReader) {
        m_pReader->Clear();
        m_pReader.reset();
    }
    m_bWaitKey = 0;
}

int CFLVPlayer::BuildAVIndex(const std::string& text) {
    std::size_t pos = text.find(kAVIndexHeader);
    if (pos == std::string::npos) return UC_ERR_BAD_DATA;
    pos += sizeof(kAVIndexHeader) - 1;
    int result = 0;
    for (;;) {
        const std::size_t start = text.find("<index", pos);
        if (start == std::string::npos) break;
        const std::size_t end = text.find("/>", start);
        if (end == std::string::npos) return UC_ERR_BAD_DATA;  // an element without its end
        AVIndexEntry entry;
        int rv = GetAVIndexElement(text.substr(start, end - start), entry);
        if (rv == 0)
            m_avIndex.push_back(entry);
        else
            result = rv;
        pos = end + 2;
    }
    return result;
}

int CFLVPlayer::BuildDataIndex(const std::string& text) {
    std::size_t pos = text.find(kDataIndexHeader);
    if (pos == std::string::npos) return UC_ERR_BAD_DATA;
    pos += sizeof(kDataIndexHeader) - 1;
    int result = 0;
    for (;;) {
        const std::size_t start = text.find("<pagechange", pos);
        if (start == std::string::npos) break;
        const std::size_t end = text.find("/>", start);
        if (end == std::string::npos) return UC_ERR_BAD_DATA;
        DataIndexEntry entry;
        int rv = GetDataIndexElement(text.substr(start, end - start), entry);
        if (rv == 0)
            m_dataIndex.push_back(entry);
        else
            result = rv;
        pos = end + 2;
    }
    return result;
}

int CFLVPlayer::GetAVIndexElement(const std::string& element, AVIndexEntry& entry) {
    std::string timeStamp, pos;
    int rv = GetSubStringFromXMLElement(element, "timestamp=", timeStamp);
    if (rv == 0) rv = GetSubStringFromXMLElement(element, "pos=", pos);
    if (rv != 0) return rv;
    entry.dwTimeStamp = ParseDecimal(timeStamp);
    entry.dwPos = ParseDecimal(pos);
    return 0;
}

int CFLVPlayer::GetDataIndexElement(const std::string& element, DataIndexEntry& entry) {
    std::string title, id, timeStamp, pos;
    int rv = GetSubStringFromXMLElement(element, "title=", title);
    if (rv == 0) rv = GetSubStringFromXMLElement(element, "id=", id);
    if (rv == 0) rv = GetSubStringFromXMLElement(element, "timestamp=", timeStamp);
    if (rv == 0) rv = GetSubStringFromXMLElement(element, "pos=", pos);
    if (rv != 0) return rv;
    entry.strTitle = title;
    entry.strId = id;
    entry.dwTimeStamp = ParseDecimal(timeStamp);
    entry.dwPos = ParseDecimal(pos);
    return 0;
}

int CFLVPlayer::GetSubStringFromXMLElement(const std::string& text, const std::string& name,
                                           std::string& value) {
    const std::size_t at = text.find(name);
    if (at == std::string::npos) return UC_ERR_BAD_DATA;
    const std::size_t open = text.find('"', at + name.size());
    if (open == std::string::npos) return UC_ERR_BAD_DATA;
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string::npos) return UC_ERR_BAD_DATA;
    value = text.substr(open + 1, close - open - 1);
    return 0;
}
