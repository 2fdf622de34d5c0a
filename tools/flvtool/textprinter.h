// CTextPrinter: the plain-text form of `flvtool info`: one labelled line per
// fact, the onMetaData properties indented below their tag.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "flvfacts.h"

class CAmfType;
class CAmfSimpleKeyValue;

class CTextPrinter {
public:
    explicit CTextPrinter(std::FILE* out) : m_pOut(out) {}

    void Print(const FlvFacts& facts);

private:
    void PrintHeader(const FlvFacts& facts);
    void PrintMetaData(const FlvFacts& facts);
    void PrintEntries(const std::vector<CAmfSimpleKeyValue*>& entries, unsigned depth);
    void PrintValue(const std::string& name, const CAmfType* value, unsigned depth,
                    std::size_t width);
    // The one-line form of a value (containers show their entries below).
    static std::string Describe(const CAmfType* value);
    void PrintTags(const FlvFacts& facts);
    void PrintVideo(const FlvFacts& facts);
    void PrintAudio(const FlvFacts& facts);
    void PrintBackward(const FlvFacts& facts);
    void Line(unsigned depth, const std::string& label, const std::string& text,
              std::size_t width = kLabelWidth);

    static constexpr std::size_t kLabelWidth = 16;

    std::FILE* m_pOut;
};
