// Helpers of the amfcodec tests: byte strings written as hex, input streams
// over a copy of given bytes, encoding a value into a stream of its exact
// size, and a log observer that keeps every line.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/logwrapper.h"

#include "../../basekit/tests/logcapture.h"

namespace amftest {

// "02 00 03" style hex of the bytes.
inline std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", c);
        out += buf;
    }
    return out;
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

// A package holding a copy of `bytes` and a stream reading it.
struct Input {
    explicit Input(const std::string& bytes)
        : package(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE, bytes.size()), stream(package, 0) {}
    CDataPackage package;
    CFlashStream stream;
};

// Encodes into a stream of exactly GetEncodeLen() bytes and checks that the
// encoding fills it.
inline std::string Encoded(CAmfType& value) {
    CFlashStream stream(value.GetEncodeLen());
    EXPECT_EQ(value.Encode(stream), 0);
    EXPECT_EQ(stream.GetSpace(), 0u) << "GetEncodeLen does not match Encode";
    return stream.GetBuf().FlattenPackage();
}

// The largest single allocation through operator new since the last reset
// (allocationprobe.cpp replaces the global allocation functions).
std::size_t LargestAllocation();
void ResetLargestAllocation();

using ::CLogCapture;  // the base library tests' log capture

}  // namespace amftest
