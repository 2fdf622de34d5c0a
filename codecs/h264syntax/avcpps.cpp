#include "avcpps.h"

#include <vector>

#include "bitreader.h"
#include "rbsp.h"

bool CAvcPps::ParsePps(const std::uint8_t* nal, std::size_t len) {
    if (!nal || len < 2 || (nal[0] & 0x1F) != 8) return false;
    const std::vector<std::uint8_t> rbsp = RbspOf(nal + 1, len - 1);
    CBitReader bits(rbsp.data(), rbsp.size());
    std::uint32_t id = 0, spsId = 0, groups = 0;
    bool cabac = false, bottomPoc = false;
    if (!bits.ReadUe(id) || id > 255 || !bits.ReadUe(spsId) || spsId > 31 ||
        !bits.ReadFlag(cabac) || !bits.ReadFlag(bottomPoc) || !bits.ReadUe(groups) || groups > 7) {
        return false;
    }
    // Slice group maps are not needed by anything that reads this class:
    // with groups it stops here and reports their count.
    std::uint32_t refL0 = 0, refL1 = 0, bipred = 0;
    bool weighted = false;
    std::int32_t qp = 0, qs = 0, chromaOffset = 0;
    bool deblocking = false, constrainedIntra = false, redundant = false;
    if (groups == 0) {
        if (!bits.ReadUe(refL0) || !bits.ReadUe(refL1) || !bits.ReadFlag(weighted) ||
            !bits.ReadBits(2, bipred) || !bits.ReadSe(qp) || !bits.ReadSe(qs) ||
            !bits.ReadSe(chromaOffset) || !bits.ReadFlag(deblocking) ||
            !bits.ReadFlag(constrainedIntra) || !bits.ReadFlag(redundant)) {
            return false;
        }
        if (refL0 > 31 || refL1 > 31 || qp < -26 - 36 || qp > 25) return false;
    }
    m_nId = id;
    m_nSpsId = spsId;
    m_bCabac = cabac;
    m_bBottomFieldPocDelta = bottomPoc;
    m_nSliceGroups = groups + 1;
    m_bWeightedPred = weighted;
    m_nInitQp = 26 + qp;
    m_bDeblockingControl = deblocking;
    m_bRedundantPicCnt = redundant;
    return true;
}
