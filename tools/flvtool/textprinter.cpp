#include "textprinter.h"

#include <algorithm>

#include "amfcodec/amf.h"
#include "flvtaginfo.h"
#include "jsonwriter.h"

namespace {

std::string Str(std::uint64_t v) { return std::to_string(v); }

// "1 key frame", "2 key frames".
std::string Count(std::uint64_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string YesNo(bool v) { return v ? "yes" : "no"; }

std::string Hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
    return buf;
}

std::string Span(const FlvStreamFacts& s) {
    return "time stamps " + Str(s.dwFirstTimeStamp) + " .. " + Str(s.dwLastTimeStamp) + " ms";
}

}  // namespace

void CTextPrinter::Line(unsigned depth, const std::string& label, const std::string& text,
                        std::size_t width) {
    std::string head(depth * 2, ' ');
    head += label;
    head.append(width > head.size() ? width - head.size() : 1, ' ');
    std::fprintf(m_pOut, "%s%s\n", head.c_str(), text.c_str());
}

void CTextPrinter::Print(const FlvFacts& facts) {
    Line(0, "file", CFlvTagInfo::Printable(facts.strPath) + ", " + Str(facts.nFileSize) + " bytes");
    PrintHeader(facts);
    PrintMetaData(facts);
    PrintTags(facts);
    PrintVideo(facts);
    PrintAudio(facts);
    PrintBackward(facts);
    Line(0, "damage", facts.bDamaged ? "at offset " + Str(facts.nDamageOffset) + ": " +
                                           facts.strDamage + " (reading stopped there)"
                                     : "none");
}

void CTextPrinter::PrintHeader(const FlvFacts& facts) {
    if (!facts.bHaveHeader) {
        Line(0, "header", "none");
        return;
    }
    std::string text = "FLV version " + Str(facts.nVersion) + ", flags " + Hex2(facts.nFlags) +
                       ", data offset " + Str(facts.dwDataOffset);
    if (facts.dwDataOffset != 9) text += " (not 9: tags are read from offset 13 all the same)";
    Line(0, "header", text);
    Line(1, "announces", "audio " + YesNo(facts.nFlags & 0x04) + " (bit 0x04), video " +
                             YesNo(facts.nFlags & 0x01) + " (bit 0x01)");
    Line(1, "GetAVNumber", Str(facts.nAVNumberAudio) + " audio, " + Str(facts.nAVNumberVideo) +
                               " video (the library's own reading of the flags)");
}

void CTextPrinter::PrintMetaData(const FlvFacts& facts) {
    const CFlvMetaData* meta = facts.pMetaData.get();
    if (!meta) {
        Line(0, "onMetaData", "none");
        return;
    }
    std::string text = "tag at offset " + Str(facts.nMetaDataOffset) + ", body " +
                       Str(facts.dwMetaDataSize) + " bytes, decoder result " +
                       Str(static_cast<unsigned>(meta->GetResult()));
    if (facts.nMetaDataTags > 1) text += ", " + Str(facts.nMetaDataTags) + " onMetaData tags in all";
    Line(0, "onMetaData", text);
    if (const CAmfECMAArray* array = meta->GetArray()) {
        const std::vector<CAmfSimpleKeyValue*> entries(
            array->GetArray().begin(),
            array->GetArray().begin() + static_cast<long>(meta->GetSoundCount()));
        PrintEntries(entries, 1);
    }
    for (const CFlvMetaData::Unsupported& u : meta->GetUnsupported()) {
        const std::string& path = meta->GetUnsupportedPath().empty() ? u.strName : meta->GetUnsupportedPath();
        Line(1, "unsupported", "AMF type " + Str(u.nMarker) +
                                   (path.empty() ? std::string() : " at " + CFlvTagInfo::Printable(path)) +
                                   ": the decoder logs \"don't support type=" + Str(u.nMarker) +
                                   "\" and drops the property");
    }
    if (meta->GetMisreadCount()) {
        Line(1, "misread", Str(meta->GetMisreadCount()) +
                               " more entries that the decoder read from inside the unsupported value"
                               " (left out)");
    }
}

void CTextPrinter::PrintEntries(const std::vector<CAmfSimpleKeyValue*>& entries, unsigned depth) {
    std::size_t width = kLabelWidth;
    for (const CAmfSimpleKeyValue* entry : entries) {
        width = std::max(width, depth * 2 + CFlvTagInfo::Printable(entry->GetName()).size() + 1);
    }
    for (const CAmfSimpleKeyValue* entry : entries) {
        PrintValue(entry->GetName(), entry->GetValue(), depth, width);
    }
}

void CTextPrinter::PrintValue(const std::string& name, const CAmfType* value, unsigned depth,
                              std::size_t width) {
    Line(depth, CFlvTagInfo::Printable(name), Describe(value), width);
    if (!value) return;
    if (value->GetType() == AMF_OBJECT || value->GetType() == AMF_TYPED_OBJECT) {
        PrintEntries(static_cast<const CAmfSimpleObject*>(value)->GetObjects(), depth + 1);
    } else if (value->GetType() == AMF_ECMA_ARRAY) {
        PrintEntries(static_cast<const CAmfECMAArray*>(value)->GetArray(), depth + 1);
    }
}

std::string CTextPrinter::Describe(const CAmfType* value) {
    if (!value) return "null";
    switch (value->GetType()) {
        case AMF_NUMBER:
            return CJsonWriter::FormatNumber(static_cast<const CAmfNumber*>(value)->GetValue());
        case AMF_BOOLEAN:
            return static_cast<const CAmfBoolean*>(value)->GetValue() ? "true" : "false";
        case AMF_STRING:
        case AMF_LONG_STRING:
        case AMF_MOVIECLIP:
            return "\"" + CFlvTagInfo::Printable(static_cast<const CAmfString*>(value)->GetValue()) + "\"";
        case AMF_REFERENCE:
            return "reference " + Str(static_cast<const CAmfReference*>(value)->GetValue());
        case AMF_DATE: {
            const auto* date = static_cast<const CAmfDate*>(value);
            return "date " + CJsonWriter::FormatNumber(date->GetTime()) + " ms, offset " +
                   Str(date->GetOffset());
        }
        case AMF_OBJECT:
            return "object";
        case AMF_TYPED_OBJECT:
            return "object of class \"" +
                   CFlvTagInfo::Printable(static_cast<const CAmfSimpleObject*>(value)->GetClassNameA()) + "\"";
        case AMF_ECMA_ARRAY:
            return "ECMA array";
        default:
            return "AMF type " + Str(value->GetType());
    }
}

void CTextPrinter::PrintTags(const FlvFacts& facts) {
    Line(0, "tags", Str(facts.nTags) + ": " + Str(facts.audio.nTags) + " audio, " +
                        Str(facts.video.nTags) + " video, " + Str(facts.script.nTags) + " script");
    if (facts.audio.nTags) {
        Line(1, "audio", Count(facts.audio.nFrames, "frame") + ", " +
                             Count(facts.audio.nSequenceHeaders, "sequence header") + ", " +
                             Span(facts.audio));
    }
    if (facts.video.nTags) {
        Line(1, "video", Count(facts.video.nFrames, "frame") + " (" +
                             Count(facts.video.nKeyFrames, "key frame") + "), " +
                             Count(facts.video.nSequenceHeaders, "sequence header") + ", " +
                             Span(facts.video));
    }
    std::uint32_t first = 0, last = 0;
    if (facts.GetMediaTimeSpan(first, last)) {
        Line(1, "time stamps", "first " + Str(first) + " ms, last " + Str(last) + " ms");
    }
    Line(1, "key frames", Str(facts.video.nKeyFrames));
}

void CTextPrinter::PrintVideo(const FlvFacts& facts) {
    if (!facts.video.nTags) {
        Line(0, "video", "none");
        return;
    }
    const CFlvTagInfo first(TAG_TYPE_VIDEO, &facts.video.byFirstBodyByte,
                            facts.video.bHaveFirstByte ? 1 : 0, facts.video.bHaveFirstByte ? 1 : 0);
    std::string text = CFlvTagInfo::VideoCodecName(first.GetCodecId()) + " (codec id " +
                       Str(first.GetCodecId()) + ")";
    if (first.GetCodecId() == FLV_CODEC_AVC) {
        text += ", sequence header " + std::string(facts.video.nSequenceHeaders ? "present" : "missing");
    }
    Line(0, "video", text);
    if (facts.bHaveSps) {
        const CAvcSps& sps = facts.sps;
        std::string s = sps.GetProfileName() + " (profile " + Str(sps.GetProfile()) + "), level " +
                        sps.GetLevelName() + ", " + Str(sps.GetWidth()) + "x" + Str(sps.GetHeight());
        if (sps.IsCropped()) s += " (coded " + Str(sps.GetCodedWidth()) + "x" + Str(sps.GetCodedHeight()) + ", cropped)";
        s += ", " + sps.GetChromaName() + ", " + Str(sps.GetBitDepth()) + "-bit";
        Line(1, "sps", s);
    } else if (facts.video.nSequenceHeaders) {
        Line(1, "sps", "cannot be parsed");
    }
}

void CTextPrinter::PrintAudio(const FlvFacts& facts) {
    if (!facts.audio.nTags) {
        Line(0, "audio", "none");
        return;
    }
    const CFlvTagInfo first(TAG_TYPE_AUDIO, &facts.audio.byFirstBodyByte,
                            facts.audio.bHaveFirstByte ? 1 : 0, facts.audio.bHaveFirstByte ? 1 : 0);
    std::string text = CFlvTagInfo::SoundFormatName(first.GetSoundFormat()) + " (format " +
                       Str(first.GetSoundFormat()) + "), " +
                       CFlvTagInfo::SoundRateName(first.GetSoundRate()) + ", " +
                       Str(first.GetSampleBits()) + "-bit, " +
                       (first.GetChannels() == 1 ? "mono" : "stereo");
    if (first.GetSoundFormat() == FLV_SOUND_AAC) {
        text += ", sequence header " + std::string(facts.audio.nSequenceHeaders ? "present" : "missing");
    }
    Line(0, "audio", text);
    if (facts.bHaveAacConfig) {
        const CAacConfig& aac = facts.aacConfig;
        Line(1, "config", aac.GetObjectTypeName() + ", " + Str(aac.GetSampleRate()) + " Hz, " +
                              Str(aac.GetChannels()) + " channels");
    } else if (facts.audio.nSequenceHeaders) {
        Line(1, "config", "cannot be parsed");
    }
}

void CTextPrinter::PrintBackward(const FlvFacts& facts) {
    if (facts.backward.empty()) {
        Line(0, "backward", "none: time stamps never go back within a stream");
        return;
    }
    Line(0, "backward", Count(facts.backward.size(), "place") + " where a stream's time stamp goes back");
    for (const FlvBackwardStep& step : facts.backward) {
        Line(1, CFlvTagInfo::TagTypeName(step.type),
             "at offset " + Str(step.nOffset) + ": " + Str(step.dwPrevious) + " -> " +
                 Str(step.dwCurrent) + " ms");
    }
}
