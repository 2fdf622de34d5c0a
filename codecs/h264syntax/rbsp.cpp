#include "rbsp.h"

std::vector<std::uint8_t> RbspOf(const std::uint8_t* data, std::size_t len) {
    std::vector<std::uint8_t> out;
    out.reserve(len);
    unsigned zeros = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

void AppendEscaped(const std::vector<std::uint8_t>& rbsp, std::vector<std::uint8_t>& out) {
    unsigned zeros = 0;
    for (std::uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
    // A payload ending in zero bytes (CABAC zero words) gets a last 03.
    if (!rbsp.empty() && rbsp.back() == 0) out.push_back(3);
}
