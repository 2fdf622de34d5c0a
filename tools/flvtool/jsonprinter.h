// CJsonPrinter: the JSON form of `flvtool info`: one object with the members
//   file, size
//   header     {signature, version, flags, dataOffset, announcesAudio,
//               announcesVideo, avNumber {audio, video}} or null
//   metadata   {offset, bodySize, tags, result, properties {name: value ...},
//               unsupported [{name, marker, path}], misread} or null
//              (objects and ECMA arrays nest as objects; a typed object is
//               {class, properties}; dates {date, offset}; references
//               {reference}; null and undefined null)
//   tags       {total, audio, video, script, keyFrames, firstTimeStamp,
//               lastTimeStamp}
//   video      {tags, frames, sequenceHeaders, firstTimeStamp, lastTimeStamp,
//               maxTimeStamp, keyFrames, codecId, codec, sequenceHeader,
//               sps {profile, profileName, level, levelIdc, width, height,
//               codedWidth, codedHeight, chroma, bitDepth} or null} or null
//   audio      {tags, frames, ..., format, codec, rate, sampleBits, channels,
//               sequenceHeader, config {objectType, profile, sampleRate,
//               channels} or null} or null
//   backward   [{stream, offset, previous, current}]
//   damage     {offset, message} or null
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
