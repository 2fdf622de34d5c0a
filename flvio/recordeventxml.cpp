#include "flvio/recordeventxml.h"

#include <cstdio>

#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"

namespace {

double Seconds(unsigned long ms) { return static_cast<double>(ms) / 1000.0; }

}  // namespace

void CRecordEventXml::Reset(unsigned long relativeTime) {
    m_dwRelativeTime = relativeTime;
    m_strEvents.clear();
    m_strVideoKeys.clear();
    m_strAudio.clear();
}

int CRecordEventXml::AddEvent(const char* type, unsigned long dwTimeStamp, const std::string& content) {
    UC_ASSERTE_RETURN(dwTimeStamp >=m_dwRelativeTime, UC_ERR_BAD_ARGUMENT);
    char buf[160];
    std::snprintf(buf, sizeof(buf), "<event type=\"%s\" timestamp=\"%.3f\" totaltimestamp=\"%.3f\">", type,
                  Seconds(dwTimeStamp - m_dwRelativeTime), Seconds(dwTimeStamp));
    m_strEvents += buf;
    m_strEvents += content;
    m_strEvents += "</event>";
    return UC_OK;
}

int CRecordEventXml::AddVideoKey(unsigned long dwTimeStamp, unsigned long filePos, int isConfig) {
    UC_ASSERTE_RETURN(dwTimeStamp >=m_dwRelativeTime, UC_ERR_BAD_ARGUMENT);
    char buf[128];
    std::snprintf(buf, sizeof(buf), "<videokey timestamp=\"%.3f\" filepos = \"%u\" isconfig=\"%u\"/>",
                  Seconds(dwTimeStamp - m_dwRelativeTime), static_cast<unsigned>(filePos),
                  static_cast<unsigned>(isConfig ? 1 : 0));
    m_strVideoKeys += buf;
    return UC_OK;
}

int CRecordEventXml::AddAudioIndex(unsigned long dwTimeStamp, unsigned long filePos) {
    UC_ASSERTE_RETURN(dwTimeStamp >=m_dwRelativeTime, UC_ERR_BAD_ARGUMENT);
    char buf[96];
    std::snprintf(buf, sizeof(buf), "<audioindex timestamp=\"%.3f\" filepos = \"%u\" />",
                  Seconds(dwTimeStamp - m_dwRelativeTime), static_cast<unsigned>(filePos));
    m_strAudio += buf;
    return UC_OK;
}

std::string CRecordEventXml::GetXml() const {
    std::string xml;
    if (!m_strEvents.empty()) xml += "<events>" + m_strEvents + "</events>";
    if (!m_strVideoKeys.empty()) xml += "<videokeys>" + m_strVideoKeys + "</videokeys>";
    if (!m_strAudio.empty()) xml += "<audioindexs>" + m_strAudio + "</audioindexs>";
    return xml;
}
