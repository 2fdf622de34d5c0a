#include "flvmetadata.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "amfcodec/amf.h"
#include "amfskeleton.h"
#include "basekit/datapackage.h"
#include "flvio/flviotag.h"

namespace {

// The decoder's two log messages about each property it reads.
constexpr std::string_view kNameLine = "CAmfSimpleKeyValue::Decode, name=";
constexpr std::string_view kTypeField = ", amfType=";
constexpr std::string_view kUnsupportedLine = "CAmfSimpleKeyValue::Decode,don't support type=";

// The message part of a log line: "[function:line][message]" -> "message".
std::string_view Message(std::string_view line) {
    std::size_t start = line.find("][");
    if (start == std::string_view::npos) return {};
    line.remove_prefix(start + 2);
    if (!line.empty() && line.back() == ']') line.remove_suffix(1);
    return line;
}

const std::string kEmpty;

}  // namespace

CFlvMetaData::CFlvMetaData() = default;

CFlvMetaData::~CFlvMetaData() = default;

int CFlvMetaData::Decode(const CDataPackage& body) {
    m_unsupported.clear();
    m_strLastName.clear();
    // The decoder consumes what it reads: it gets a copy sharing the blocks.
    m_pData = std::make_unique<CFlvioData>(const_cast<CDataPackage&>(body), 1);

    CLogWrapper* log = CLogWrapper::Instance();
    // Refusals are logged as warnings: make sure they are built while we listen.
    const int level = log->GetLogLevel();
    if (level < CLogWrapper::LOG_WARNING) log->SetLogLevel(CLogWrapper::LOG_WARNING);
    log->SetObserver(this);
    m_nResult = m_pData->Decode();
    log->SetObserver(nullptr);
    if (level < CLogWrapper::LOG_WARNING) log->SetLogLevel(level);

    const std::size_t decoded = GetArray() ? GetArray()->GetArray().size() : 0;
    const std::string bytes = body.FlattenPackage();
    CAmfSkeleton skeleton;
    skeleton.Parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    m_strUnsupportedPath = skeleton.GetUnsupportedPath();
    const long bad = skeleton.GetUnsupportedIndex();
    m_nSoundCount = bad >= 0 && static_cast<std::size_t>(bad) < decoded ? static_cast<std::size_t>(bad)
                                                                        : decoded;
    return m_nResult;
}

void CFlvMetaData::OnLogLine(int /*level*/, const char* text) {
    std::string_view message = Message(text ? text : "");
    if (message.starts_with(kUnsupportedLine)) {
        Unsupported entry;
        entry.strName = m_strLastName;
        entry.nMarker = static_cast<unsigned>(
            std::strtoul(std::string(message.substr(kUnsupportedLine.size())).c_str(), nullptr, 10));
        m_unsupported.push_back(entry);
    } else if (message.starts_with(kNameLine)) {
        message.remove_prefix(kNameLine.size());
        std::size_t type = message.rfind(kTypeField);
        m_strLastName = std::string(message.substr(0, type));
    }
}

std::size_t CFlvMetaData::GetMisreadCount() const {
    const std::size_t decoded = GetArray() ? GetArray()->GetArray().size() : 0;
    return decoded - m_nSoundCount;
}

const std::string& CFlvMetaData::GetName() const { return m_pData ? m_pData->GetName() : kEmpty; }

const CAmfECMAArray* CFlvMetaData::GetArray() const {
    return m_pData ? m_pData->GetValue() : nullptr;
}

bool CFlvMetaData::GetNumber(const std::string& name, double& value) const {
    const CAmfECMAArray* array = GetArray();
    if (!array) return false;
    const auto& entries = array->GetArray();
    for (std::size_t i = 0; i < m_nSoundCount; ++i) {
        if (entries[i]->GetName() != name) continue;
        const CAmfType* entry = entries[i]->GetValue();
        if (!entry || entry->GetType() != AMF_NUMBER) return false;
        value = static_cast<const CAmfNumber*>(entry)->GetValue();
        return true;
    }
    return false;
}
