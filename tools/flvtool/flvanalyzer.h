// CFlvAnalyzer: reads an FLV file tag by tag with CFlvReader and gathers the
// facts that `flvtool info` shows (FlvFacts). Reading stops at the first
// damage; everything read before it is kept.
#pragma once

#include <string>

#include "flvfacts.h"

class CFlvioTag;
class CFlvTagInfo;

class CFlvAnalyzer {
public:
    enum { INSPECT_OK = 0, INSPECT_DAMAGED = 1, INSPECT_CANNOT_OPEN = 2 };

    // INSPECT_CANNOT_OPEN leaves GetError() with the reason.
    int Inspect(const std::string& path, FlvFacts& facts);
    const std::string& GetError() const { return m_strError; }

private:
    void AddTag(const CFlvioTag& tag, std::uint64_t offset, FlvFacts& facts);
    void AddVideo(const CFlvioTag& tag, const CFlvTagInfo& info, FlvFacts& facts);
    void AddAudio(const CFlvioTag& tag, const CFlvTagInfo& info, FlvFacts& facts);
    void AddScript(const CFlvioTag& tag, const CFlvTagInfo& info, std::uint64_t offset,
                   FlvFacts& facts);
    static void Damage(FlvFacts& facts, std::uint64_t offset, const std::string& what);

    std::string m_strError;
};
