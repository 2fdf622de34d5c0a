// Helpers of the transport stream tests: a scratch folder, whole-file reads
// and a plain walk over 188-byte packets (PID, flags, payload, sections).
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tstest {

class CTempDir {
public:
    CTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tstest_XXXXXX").string();
        if (::mkdtemp(tmpl.data())) m_path = tmpl;
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::string& bytes, bool append = false) {
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << bytes;
}

struct Packet {
    int nPid = 0;
    bool bStart = false;
    bool bPayload = false;
    bool bPcr = false;
    int nCc = 0;
    std::int64_t nPcrBase = -1;
    std::string strPayload;  // behind the adaptation field
};

inline std::vector<Packet> Packets(const std::string& ts) {
    std::vector<Packet> out;
    for (std::size_t i = 0; i + 188 <= ts.size(); i += 188) {
        const auto* p = reinterpret_cast<const unsigned char*>(ts.data() + i);
        Packet k;
        k.nPid = ((p[1] & 0x1F) << 8) | p[2];
        k.bStart = p[1] & 0x40;
        k.bPayload = p[3] & 0x10;
        k.nCc = p[3] & 0x0F;
        std::size_t off = 4;
        if (p[3] & 0x20) {
            if (p[4] > 0 && (p[5] & 0x10)) {
                k.bPcr = true;
                k.nPcrBase = (std::int64_t(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
            }
            off = 5 + p[4];
        }
        if (off < 188) k.strPayload.assign(reinterpret_cast<const char*>(p + off), 188 - off);
        out.push_back(k);
    }
    return out;
}

// The PES payloads of one PID (header removed), with their PTS.
struct Pes {
    std::int64_t nPts = -1;
    unsigned nLengthField = 0;
    std::string strData;
};

inline std::vector<Pes> PesOf(const std::vector<Packet>& packets, int pid) {
    std::vector<Pes> out;
    for (const Packet& k : packets) {
        if (k.nPid != pid || !k.bPayload) continue;
        if (k.bStart) {
            const auto* h = reinterpret_cast<const unsigned char*>(k.strPayload.data());
            Pes pes;
            pes.nLengthField = (h[4] << 8) | h[5];
            pes.nPts = (std::int64_t((h[9] >> 1) & 7) << 30) | (h[10] << 22) | ((h[11] >> 1) << 15) | (h[12] << 7) |
                       (h[13] >> 1);
            pes.strData = k.strPayload.substr(9 + h[8]);
            out.push_back(pes);
        } else if (!out.empty()) {
            out.back().strData += k.strPayload;
        }
    }
    return out;
}

}  // namespace tstest
