// CFlv2TsH264: H.264 from FLV form (an AVC decoder configuration record, then
// frames of NAL units with 4-byte big-endian lengths) or from single
// transport stream NAL units to Annex B access units (00 00 00 01 start codes,
// parameter sets in front of every key frame): what CTsWriter::WriteAVCVideo
// takes. The output lives in the converter's own 4 MiB buffer and stays valid
// until its next call. One thread drives a converter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "flvio/avcpackagetype.h"

class CDataPackage;


// The kind of one transport stream NAL unit (the H.264 NAL unit type).
enum TsTagType : int {
    TS_TAG_SLICE = 1,
    TS_TAG_IDR = 5,
    TS_TAG_SPS = 7,
    TS_TAG_PPS = 8,
};

class CFlv2TsH264 {
public:
    enum { MAX_BUF_SIZE = 0x400000 };
    // Largest parameter sets kept (bytes, NAL header included).
    enum { MAX_CONFIG_SPS = 127, MAX_CONFIG_PPS = 64, MAX_RAW_PARAMETER_SET = 60 };

    CFlv2TsH264();
    ~CFlv2TsH264();
    CFlv2TsH264(const CFlv2TsH264&) = delete;
    CFlv2TsH264& operator=(const CFlv2TsH264&) = delete;

    // An FLV AVC packet (without the 5 FLV video bytes) to Annex B. Type 0
    // takes the configuration record and writes nothing. out/outLen: the
    // converter's buffer and the bytes written (0: nothing to write). 0, or
    // UC_ERR_BAD_ARGUMENT for a short packet, UC_ERR_BAD_DATA for a malformed one or a frame before
    // any configuration, UC_ERR_NO_ROOM when the output would exceed MAX_BUF_SIZE.
    int TransferFlv(AVCPackageType type, const unsigned char* buf, unsigned long len,
                    unsigned char*& out, unsigned long& outLen);
    int TransferFlv(AVCPackageType type, CDataPackage& package, unsigned char*& out,
                    unsigned long& outLen);

    // One transport stream NAL unit (without a start code) to Annex B: a
    // slice gets a start code, an IDR slice the parameter sets in front, an
    // SPS or PPS is kept and writes nothing. Other types leave out/outLen as
    // the caller set them. UC_ERR_BAD_DATA for an IDR slice before any parameter set,
    // UC_ERR_NOT_SUPPORTED for an SPS or PPS above MAX_RAW_PARAMETER_SET bytes (not kept),
    // UC_ERR_NO_ROOM when the output would exceed MAX_BUF_SIZE.
    int TransferTsRaw(TsTagType type, const unsigned char* buf, unsigned long len,
                      unsigned char*& out, unsigned long& outLen);
    int TransferTsRaw(TsTagType type, CDataPackage& package, unsigned char*& out,
                      unsigned long& outLen);

    // 0, or UC_ERR_BAD_DATA for a malformed record, UC_ERR_NOT_SUPPORTED for an SPS of 124 bytes or
    // more or a PPS above MAX_CONFIG_PPS bytes (then nothing is kept).
    int ParseAVCConfigure(const unsigned char* buf, unsigned long len);

    // The parameter sets in Annex B form, ending with a start code.
    const std::string& GetParameterSets() const { return m_strPPS_SPS; }

private:
    // Converts the NAL units of `buf` from the first slice (or the last unit)
    // on; `next`/`left` tell where the unconverted rest begins.
    int TransferFlv_i(AVCPackageType type, const unsigned char* buf, unsigned long len,
                      unsigned long& outLen, const unsigned char*& next, unsigned long& left);
    int Append(unsigned long& outLen, const void* data, std::size_t len);

    std::string m_strPPS_SPS;
    std::unique_ptr<unsigned char[]> m_pBuf;
    int m_bGotTsSps = 0;
};
