// CAvcPps: the fields of an H.264 picture parameter set that decide how a
// slice header referring to it is written, parsed from one PPS NAL unit.
#pragma once

#include <cstddef>
#include <cstdint>

class CAvcPps {
public:
    // Parses one PPS NAL unit (NAL header byte first, emulation prevention
    // bytes still in place). Only the fields before the transform settings
    // are read. False when it is malformed or cut short.
    bool ParsePps(const std::uint8_t* nal, std::size_t len);

    unsigned GetId() const { return m_nId; }
    unsigned GetSpsId() const { return m_nSpsId; }
    bool IsCabac() const { return m_bCabac; }
    bool HasBottomFieldPocDelta() const { return m_bBottomFieldPocDelta; }
    unsigned GetSliceGroupCount() const { return m_nSliceGroups; }
    bool HasWeightedPrediction() const { return m_bWeightedPred; }
    // 26 + pic_init_qp_minus26.
    int GetInitQp() const { return m_nInitQp; }
    bool HasDeblockingControl() const { return m_bDeblockingControl; }
    bool HasRedundantPictureCount() const { return m_bRedundantPicCnt; }

private:
    unsigned m_nId = 0;
    unsigned m_nSpsId = 0;
    bool m_bCabac = false;
    bool m_bBottomFieldPocDelta = false;
    unsigned m_nSliceGroups = 1;
    bool m_bWeightedPred = false;
    int m_nInitQp = 26;
    bool m_bDeblockingControl = false;
    bool m_bRedundantPicCnt = false;
};
