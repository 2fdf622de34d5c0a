// CJsonPrinter: the JSON form of `flvtool info` (one object; see the tool's
// usage text for its members).
#pragma once

#include <cstdio>
#include <string>

#include "flvfacts.h"
#include "jsonwriter.h"

class CAmfType;
class CAmfSimpleKeyValue;

class CJsonPrinter {
public:
    explicit CJsonPrinter(std::FILE* out) : m_pOut(out) {}

    void Print(const FlvFacts& facts);

private:
    void Header(const FlvFacts& facts);
    void MetaData(const FlvFacts& facts);
    void Properties(const std::vector<CAmfSimpleKeyValue*>& entries);
    void Value(const CAmfType* value);
    void Tags(const FlvFacts& facts);
    void Stream(const FlvStreamFacts& stream);
    void Video(const FlvFacts& facts);
    void Audio(const FlvFacts& facts);
    void Backward(const FlvFacts& facts);
    void Damage(const FlvFacts& facts);

    std::FILE* m_pOut;
    CJsonWriter m_json;
};
