#include "h264skippicture.h"

#include <algorithm>

#include "avcpps.h"
#include "avcsps.h"
#include "bitreader.h"
#include "bitwriter.h"
#include "rbsp.h"

namespace {

constexpr unsigned kNalSlice = 1;
constexpr unsigned kNalIdrSlice = 5;
// The NAL header byte of a repeat that is a reference picture (nal_ref_idc 2).
constexpr std::uint8_t kNalReferenceSlice = 0x40 | kNalSlice;
constexpr std::uint32_t kSliceTypeP = 0;
// The repeat's slice quantiser. A skipped macroblock has no residual and the
// deblocking filter is off, so it changes no sample; at 51 the skip flag's
// context starts with 1 as its likely value.
constexpr int kRepeatQp = 51;
// mb_skip_flag in P slices, cabac_init_idc 0: the (m, n) of its context with
// both neighbours skipped or missing (context index 11).
constexpr int kSkipFlagM = 23;
constexpr int kSkipFlagN = 33;

// The arithmetic coder's tables: the LPS range by state and quarter of the
// range, and the state after a least probable symbol.
constexpr std::uint8_t kRangeLps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    {95, 116, 137, 158},  {90, 110, 130, 150},  {85, 104, 123, 142},  {81, 99, 117, 135},
    {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},   {66, 80, 95, 110},
    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},
    {41, 50, 59, 69},     {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},
    {33, 41, 48, 56},     {32, 39, 46, 53},     {30, 37, 43, 50},     {29, 35, 41, 48},
    {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},     {23, 28, 33, 39},
    {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},
    {14, 18, 21, 24},     {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},
    {12, 14, 17, 20},     {11, 14, 16, 19},     {11, 13, 15, 18},     {10, 12, 15, 17},
    {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},      {8, 10, 12, 14},
    {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};
constexpr std::uint8_t kNextStateLps[64] = {
    0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12, 13, 13, 15, 15, 16, 16,
    18, 18, 19, 19, 21, 21, 22, 22, 23, 24, 24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30,
    31, 32, 32, 33, 33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63,
};

// The arithmetic encoder of H.264's CABAC, for context-coded decisions and
// the terminating bin, writing after the bits already in the writer.
class CabacEncoder {
public:
    explicit CabacEncoder(CBitWriter& out) : m_out(out) {}

    struct Context {
        unsigned state;
        unsigned mps;
    };
    static Context InitContext(int m, int n, int qp) {
        const int pre = std::clamp(((m * std::clamp(qp, 0, 51)) >> 4) + n, 1, 126);
        return pre <= 63 ? Context{static_cast<unsigned>(63 - pre), 0u}
                         : Context{static_cast<unsigned>(pre - 64), 1u};
    }

    void Decision(Context& ctx, unsigned bin) {
        const unsigned lps = kRangeLps[ctx.state][(m_nRange >> 6) & 3];
        m_nRange -= lps;
        if (bin != ctx.mps) {
            m_nLow += m_nRange;
            m_nRange = lps;
            if (ctx.state == 0) ctx.mps = 1 - ctx.mps;
            ctx.state = kNextStateLps[ctx.state];
        } else {
            ctx.state = std::min(ctx.state + 1, 62u);
        }
        _Renormalise();
    }

    // The terminating bin; 1 ends the slice and flushes the coder, whose
    // last written bit is the slice's stop bit.
    void Terminate(unsigned bin) {
        m_nRange -= 2;
        if (!bin) {
            _Renormalise();
            return;
        }
        m_nLow += m_nRange;
        m_nRange = 2;
        _Renormalise();
        _PutBit((m_nLow >> 9) & 1);
        m_out.WriteBits(2, ((m_nLow >> 7) & 3) | 1);
    }

private:
    void _Renormalise() {
        while (m_nRange < 256) {
            if (m_nLow < 256) {
                _PutBit(0);
            } else if (m_nLow >= 512) {
                m_nLow -= 512;
                _PutBit(1);
            } else {
                m_nLow -= 256;
                ++m_nOutstanding;
            }
            m_nRange <<= 1;
            m_nLow <<= 1;
        }
    }
    void _PutBit(unsigned bit) {
        if (m_bFirst) {
            m_bFirst = false;
        } else {
            m_out.WriteBits(1, bit);
        }
        for (; m_nOutstanding > 0; --m_nOutstanding) m_out.WriteBits(1, 1 - bit);
    }

    CBitWriter& m_out;
    unsigned m_nLow = 0;
    unsigned m_nRange = 510;
    unsigned m_nOutstanding = 0;
    bool m_bFirst = true;
};

std::uint32_t ReadU32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void PutLength(std::vector<std::uint8_t>& out, std::size_t at) {
    const std::size_t n = out.size() - at - 4;
    out[at] = static_cast<std::uint8_t>(n >> 24);
    out[at + 1] = static_cast<std::uint8_t>(n >> 16);
    out[at + 2] = static_cast<std::uint8_t>(n >> 8);
    out[at + 3] = static_cast<std::uint8_t>(n);
}

// Overwrites `width` bits at bit `pos` of the payload with value.
void PatchBits(std::vector<std::uint8_t>& rbsp, std::size_t pos, unsigned width, std::uint32_t value) {
    for (unsigned i = 0; i < width; ++i, ++pos) {
        const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (pos % 8));
        if ((value >> (width - 1 - i)) & 1u) {
            rbsp[pos / 8] |= mask;
        } else {
            rbsp[pos / 8] &= static_cast<std::uint8_t>(~mask);
        }
    }
}

}  // namespace

bool CH264SkipPicture::Open(const std::uint8_t* sps, std::size_t spsLen, const std::uint8_t* pps,
                            std::size_t ppsLen) {
    m_bOpen = false;
    m_bAfterReference = false;
    m_nRepeatsSinceIdr = 0;
    m_bLost = false;
    CAvcSps seq;
    CAvcPps pic;
    if (!seq.ParseSps(sps, spsLen) || !pic.ParsePps(pps, ppsLen)) return false;
    if (pic.GetSpsId() != seq.GetId() || seq.GetPocType() != 2 || !seq.IsFrameMbsOnly() ||
        seq.HasSeparatePlanes() || pic.GetSliceGroupCount() != 1 || seq.GetMaxRefFrames() == 0) {
        return false;
    }
    m_bReference = seq.GetMaxRefFrames() == 1;
    m_nPpsId = pic.GetId();
    m_nFrameNumBits = seq.GetFrameNumBits();
    m_nChromaArrayType = seq.GetChromaArrayType();
    m_bCabac = pic.IsCabac();
    m_bWeightedPred = pic.HasWeightedPrediction();
    m_bDeblockingControl = pic.HasDeblockingControl();
    m_bRedundantPicCnt = pic.HasRedundantPictureCount();
    m_nInitQp = pic.GetInitQp();
    m_nMbCount = (seq.GetCodedWidth() / 16) * (seq.GetCodedHeight() / 16);
    m_bOpen = m_nMbCount > 0;
    return m_bOpen;
}

void CH264SkipPicture::AdoptEncoded(std::vector<std::uint8_t>& picture) {
    if (!m_bOpen) return;
    // The picture is copied only once one of its slices changes number;
    // before any repeat since the IDR picture it stays where it is.
    std::vector<std::uint8_t> out;
    bool rewriting = false;
    bool slice = false;
    std::size_t pos = 0;
    while (pos < picture.size()) {
        const std::size_t left = picture.size() - pos;
        const std::uint32_t n = left >= 5 ? ReadU32(picture.data() + pos) : 0;
        if (n == 0 || n > left - 4) {
            break;
        }
        const std::size_t start = pos;
        const std::uint8_t* nal = picture.data() + pos + 4;
        pos += 4 + n;
        const unsigned type = nal[0] & 0x1F;
        std::vector<std::uint8_t> renumbered;
        if (type == kNalSlice || type == kNalIdrSlice) {
            if (!_AdoptSlice(nal, n, renumbered)) {
                break;
            }
            slice = true;
        }
        if (!renumbered.empty() && !rewriting) {
            out.reserve(picture.size() + 8);
            out.assign(picture.begin(), picture.begin() + static_cast<std::ptrdiff_t>(start));
            rewriting = true;
        }
        if (!rewriting) continue;
        if (renumbered.empty()) {
            out.insert(out.end(), nal - 4, nal + n);
        } else {
            out.insert(out.end(), renumbered.begin(), renumbered.end());
        }
    }
    if (pos != picture.size() || !slice) {
        // Not a picture this class can follow: no repeat until an IDR
        // picture starts afresh. The picture itself stays as it was.
        m_bLost = true;
        m_bAfterReference = false;
        return;
    }
    if (rewriting) picture.swap(out);
}

bool CH264SkipPicture::_AdoptSlice(const std::uint8_t* nal, std::size_t len,
                                   std::vector<std::uint8_t>& renumberedNal) {
    // The fields up to frame_num take at most 12 bytes; the whole payload is
    // unescaped only when the number changes.
    std::vector<std::uint8_t> rbsp = RbspOf(nal + 1, std::min<std::size_t>(len - 1, 24));
    CBitReader bits(rbsp.data(), rbsp.size());
    std::uint32_t firstMb = 0, sliceType = 0, ppsId = 0, frameNum = 0;
    if (!bits.ReadUe(firstMb) || !bits.ReadUe(sliceType) || !bits.ReadUe(ppsId) ||
        ppsId != m_nPpsId) {
        return false;
    }
    const std::size_t frameNumAt = bits.BitPosition();
    if (!bits.ReadBits(m_nFrameNumBits, frameNum)) return false;
    const bool idr = (nal[0] & 0x1F) == kNalIdrSlice;
    const bool reference = (nal[0] & 0x60) != 0;
    if (idr) {
        m_nRepeatsSinceIdr = 0;
        m_bLost = false;
    }
    const std::uint32_t mask = (1u << m_nFrameNumBits) - 1;
    const std::uint32_t renumbered = (frameNum + m_nRepeatsSinceIdr) & mask;
    if (renumbered != frameNum) {
        rbsp = RbspOf(nal + 1, len - 1);
        PatchBits(rbsp, frameNumAt, m_nFrameNumBits, renumbered);
        renumberedNal.assign(4, 0);
        renumberedNal.push_back(nal[0]);
        AppendEscaped(rbsp, renumberedNal);
        PutLength(renumberedNal, 0);
    }
    m_nFrameNum = renumbered;
    m_bAfterReference = reference && !m_bLost;
    return true;
}

void CH264SkipPicture::Write(std::vector<std::uint8_t>& out) {
    out.clear();
    if (!CanRepeat()) return;
    const std::uint32_t mask = (1u << m_nFrameNumBits) - 1;
    const std::uint32_t frameNum = (m_nFrameNum + 1) & mask;
    CBitWriter bits;
    bits.WriteUe(0);  // first_mb_in_slice
    bits.WriteUe(kSliceTypeP);
    bits.WriteUe(m_nPpsId);
    bits.WriteBits(m_nFrameNumBits, frameNum);
    if (m_bRedundantPicCnt) bits.WriteUe(0);
    bits.WriteFlag(true);  // num_ref_idx_active_override_flag: one reference
    bits.WriteUe(0);
    bits.WriteFlag(false);  // ref_pic_list_modification_flag_l0
    if (m_bWeightedPred) {
        bits.WriteUe(0);  // luma_log2_weight_denom
        if (m_nChromaArrayType != 0) bits.WriteUe(0);
        bits.WriteFlag(false);  // no luma weight for the reference
        if (m_nChromaArrayType != 0) bits.WriteFlag(false);
    }
    if (m_bReference) bits.WriteFlag(false);  // adaptive_ref_pic_marking_mode_flag: sliding window
    if (m_bCabac) bits.WriteUe(0);            // cabac_init_idc
    bits.WriteSe(kRepeatQp - m_nInitQp);
    if (m_bDeblockingControl) bits.WriteUe(1);  // deblocking off
    if (m_bCabac) {
        while (!bits.IsByteAligned()) bits.WriteBits(1, 1);  // cabac_alignment_one_bit
        CabacEncoder cabac(bits);
        CabacEncoder::Context skip = CabacEncoder::InitContext(kSkipFlagM, kSkipFlagN, kRepeatQp);
        for (std::uint32_t mb = 0; mb < m_nMbCount; ++mb) {
            cabac.Decision(skip, 1);                // mb_skip_flag
            cabac.Terminate(mb + 1 == m_nMbCount);  // end_of_slice_flag
        }
        while (!bits.IsByteAligned()) bits.WriteBits(1, 0);
    } else {
        bits.WriteUe(m_nMbCount);  // mb_skip_run
        bits.WriteTrailingBits();
    }
    out.assign(4, 0);
    out.push_back(m_bReference ? kNalReferenceSlice : static_cast<std::uint8_t>(kNalSlice));
    AppendEscaped(bits.Bytes(), out);
    PutLength(out, 0);
    if (m_bReference) {
        m_nFrameNum = frameNum;
        ++m_nRepeatsSinceIdr;
    } else {
        m_bAfterReference = false;
    }
}
