// CTs2FlvH264: single H.264 NAL units from a transport stream (what CTSReader
// hands out) to FLV AVC packets: a slice becomes a 4-byte big-endian length
// plus the unit, an SPS or PPS is kept and, once both are known, gives an AVC
// decoder configuration record. One thread drives a converter.
#pragma once

#include <string>

#include "flvio/ts/flv2tsh264.h"

class CDataPackage;

class CTs2FlvH264 {
public:
    // Largest configuration record produced, and the shortest SPS taken.
    enum { MAX_CONFIG_RECORD = 1024, MIN_SPS = 4 };

    CTs2FlvH264();
    ~CTs2FlvH264();

    // `unit` may hold several units of the type separated by 00 00 00 01
    // (or 00 00 01); each gets its own length. out: a new heap package the
    // caller releases with DestroyPackage(), or null when the unit gives
    // nothing. 0; UC_ERR_BAD_ARGUMENT for an empty unit; UC_ERR_NOT_SUPPORTED for an SPS shorter than
    // MIN_SPS or parameter sets whose record would exceed MAX_CONFIG_RECORD
    // (not kept). Other types are logged and give nothing.
    int Transfer(TsTagType type, CDataPackage& unit, AVCPackageType& outType, CDataPackage*& out);

private:
    CDataPackage* MakeConfigRecord() const;

    std::string m_strSPS;
    std::string m_strPPS;
};
