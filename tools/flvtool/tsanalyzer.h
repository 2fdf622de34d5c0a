// CTsAnalyzer: `flvtool info` and `flvtool dump` of a transport stream, read
// with CTSReader: the packet size, the PMT PIDs, the stream list from the
// PMT, tag counts per stream (NAL unit runs for H.264, PES packets for
// audio), the first and last PTS, and the continuity errors found. dump
// prints one line per tag; --follow reads a stream still being written until
// SIGINT or SIGTERM.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class CTsTag;

class CTsAnalyzer {
public:
    enum { INSPECT_OK = 0, INSPECT_DAMAGED = 1, INSPECT_FAILED = 2 };

    explicit CTsAnalyzer(std::FILE* out) : m_pOut(out) {}

    // True when the file starts like a transport stream (a sync byte at 0,
    // or at 4 for 192-byte packets) rather than an FLV header.
    static bool LooksLikeTs(const std::string& path);

    int Info(const std::string& path, bool json);
    int Dump(const std::string& path, bool follow, unsigned pollMs = 100);
    const std::string& GetError() const { return m_strError; }

    struct StreamFacts {
        int nPid = 0;
        int nStreamType = 0;
        int nCodec = 0;
        std::uint64_t nTags = 0;
        std::uint64_t nKeyFrames = 0;  // IDR runs
        std::int64_t nFirstPts = -1;
        std::int64_t nLastPts = -1;
    };
    const std::vector<StreamFacts>& GetStreams() const { return m_streams; }

private:
    int Read(const std::string& path, bool follow, bool printTags, unsigned pollMs);
    void Count(const CTsTag& tag);
    void PrintText(const std::string& path) const;
    void PrintJson(const std::string& path) const;
    static const char* CodecName(int codec);

    std::FILE* m_pOut;
    std::string m_strError;
    std::vector<StreamFacts> m_streams;
    std::vector<int> m_pmtPids;
    int m_nPacketSize = 0;
    std::uint64_t m_nPackets = 0;
    std::uint64_t m_nContinuityErrors = 0;
    std::uint64_t m_nTags = 0;
};
