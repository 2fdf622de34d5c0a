#include "flvio/ts/tstag.h"

#include "basekit/datapackage.h"

CTsTag::CTsTag(int type, std::int64_t timeStamp, std::int64_t dts, CDataPackage* payload)
    : m_nType(type), m_nTimeStamp(timeStamp), m_nDts(dts), m_pData(payload) {}

CTsTag::~CTsTag() {
    if (m_pData) m_pData->DestroyPackage();
}
