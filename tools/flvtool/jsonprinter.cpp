#include "jsonprinter.h"

#include "amfcodec/amf.h"
#include "flvtaginfo.h"

void CJsonPrinter::Print(const FlvFacts& facts) {
    m_json = CJsonWriter();
    m_json.BeginObject();
    m_json.Key("file");
    m_json.String(facts.strPath);
    m_json.Key("size");
    m_json.Unsigned(facts.nFileSize);
    Header(facts);
    MetaData(facts);
    Tags(facts);
    Video(facts);
    Audio(facts);
    Backward(facts);
    Damage(facts);
    m_json.EndObject();
    std::fputs(m_json.GetText().c_str(), m_pOut);
}

void CJsonPrinter::Header(const FlvFacts& facts) {
    m_json.Key("header");
    if (!facts.bHaveHeader) {
        m_json.Null();
        return;
    }
    m_json.BeginObject();
    m_json.Key("signature");
    m_json.String(std::string(reinterpret_cast<const char*>(facts.szSignature), 3));
    m_json.Key("version");
    m_json.Unsigned(facts.nVersion);
    m_json.Key("flags");
    m_json.Unsigned(facts.nFlags);
    m_json.Key("dataOffset");
    m_json.Unsigned(facts.dwDataOffset);
    m_json.Key("announcesAudio");
    m_json.Bool(facts.nFlags & 0x04);
    m_json.Key("announcesVideo");
    m_json.Bool(facts.nFlags & 0x01);
    m_json.Key("avNumber");
    m_json.BeginObject();
    m_json.Key("audio");
    m_json.Unsigned(facts.nAVNumberAudio);
    m_json.Key("video");
    m_json.Unsigned(facts.nAVNumberVideo);
    m_json.EndObject();
    m_json.EndObject();
}

void CJsonPrinter::MetaData(const FlvFacts& facts) {
    m_json.Key("metadata");
    const CFlvMetaData* meta = facts.pMetaData.get();
    if (!meta) {
        m_json.Null();
        return;
    }
    m_json.BeginObject();
    m_json.Key("offset");
    m_json.Unsigned(facts.nMetaDataOffset);
    m_json.Key("bodySize");
    m_json.Unsigned(facts.dwMetaDataSize);
    m_json.Key("tags");
    m_json.Unsigned(facts.nMetaDataTags);
    m_json.Key("result");
    m_json.Integer(meta->GetResult());
    m_json.Key("properties");
    if (const CAmfECMAArray* array = meta->GetArray()) {
        const auto& entries = array->GetArray();
        Properties(std::vector<CAmfSimpleKeyValue*>(
            entries.begin(), entries.begin() + static_cast<long>(meta->GetSoundCount())));
    } else {
        m_json.Null();
    }
    m_json.Key("unsupported");
    m_json.BeginArray();
    for (const CFlvMetaData::Unsupported& u : meta->GetUnsupported()) {
        m_json.BeginObject();
        m_json.Key("name");
        m_json.String(u.strName);
        m_json.Key("marker");
        m_json.Unsigned(u.nMarker);
        m_json.Key("path");
        m_json.String(meta->GetUnsupportedPath());
        m_json.EndObject();
    }
    m_json.EndArray();
    m_json.Key("misread");
    m_json.Unsigned(meta->GetMisreadCount());
    m_json.EndObject();
}

void CJsonPrinter::Properties(const std::vector<CAmfSimpleKeyValue*>& entries) {
    m_json.BeginObject();
    for (const CAmfSimpleKeyValue* entry : entries) {
        m_json.Key(entry->GetName());
        Value(entry->GetValue());
    }
    m_json.EndObject();
}

void CJsonPrinter::Value(const CAmfType* value) {
    if (!value) {
        m_json.Null();
        return;
    }
    switch (value->GetType()) {
        case AMF_NUMBER:
            m_json.Number(static_cast<const CAmfNumber*>(value)->GetValue());
            return;
        case AMF_BOOLEAN:
            m_json.Bool(static_cast<const CAmfBoolean*>(value)->GetValue() != 0);
            return;
        case AMF_STRING:
        case AMF_LONG_STRING:
        case AMF_MOVIECLIP:
            m_json.String(static_cast<const CAmfString*>(value)->GetValue());
            return;
        case AMF_REFERENCE:
            m_json.BeginObject();
            m_json.Key("reference");
            m_json.Unsigned(static_cast<const CAmfReference*>(value)->GetValue());
            m_json.EndObject();
            return;
        case AMF_DATE: {
            const auto* date = static_cast<const CAmfDate*>(value);
            m_json.BeginObject();
            m_json.Key("date");
            m_json.Number(date->GetTime());
            m_json.Key("offset");
            m_json.Unsigned(date->GetOffset());
            m_json.EndObject();
            return;
        }
        case AMF_OBJECT:
            Properties(static_cast<const CAmfSimpleObject*>(value)->GetObjects());
            return;
        case AMF_TYPED_OBJECT: {
            const auto* object = static_cast<const CAmfSimpleObject*>(value);
            m_json.BeginObject();
            m_json.Key("class");
            m_json.String(object->GetClassNameA());
            m_json.Key("properties");
            Properties(object->GetObjects());
            m_json.EndObject();
            return;
        }
        case AMF_ECMA_ARRAY:
            Properties(static_cast<const CAmfECMAArray*>(value)->GetArray());
            return;
        default:
            m_json.BeginObject();
            m_json.Key("amfType");
            m_json.Unsigned(value->GetType());
            m_json.EndObject();
            return;
    }
}

void CJsonPrinter::Stream(const FlvStreamFacts& s) {
    m_json.Key("tags");
    m_json.Unsigned(s.nTags);
    m_json.Key("frames");
    m_json.Unsigned(s.nFrames);
    m_json.Key("sequenceHeaders");
    m_json.Unsigned(s.nSequenceHeaders);
    m_json.Key("firstTimeStamp");
    m_json.Unsigned(s.dwFirstTimeStamp);
    m_json.Key("lastTimeStamp");
    m_json.Unsigned(s.dwLastTimeStamp);
    m_json.Key("maxTimeStamp");
    m_json.Unsigned(s.dwMaxTimeStamp);
}

void CJsonPrinter::Tags(const FlvFacts& facts) {
    m_json.Key("tags");
    m_json.BeginObject();
    m_json.Key("total");
    m_json.Unsigned(facts.nTags);
    m_json.Key("audio");
    m_json.Unsigned(facts.audio.nTags);
    m_json.Key("video");
    m_json.Unsigned(facts.video.nTags);
    m_json.Key("script");
    m_json.Unsigned(facts.script.nTags);
    m_json.Key("keyFrames");
    m_json.Unsigned(facts.video.nKeyFrames);
    std::uint32_t first = 0, last = 0;
    const bool any = facts.GetMediaTimeSpan(first, last);
    m_json.Key("firstTimeStamp");
    any ? m_json.Unsigned(first) : m_json.Null();
    m_json.Key("lastTimeStamp");
    any ? m_json.Unsigned(last) : m_json.Null();
    m_json.EndObject();
}

void CJsonPrinter::Video(const FlvFacts& facts) {
    m_json.Key("video");
    if (!facts.video.nTags) {
        m_json.Null();
        return;
    }
    const CFlvTagInfo first(TAG_TYPE_VIDEO, &facts.video.byFirstBodyByte,
                            facts.video.bHaveFirstByte ? 1 : 0, facts.video.bHaveFirstByte ? 1 : 0);
    m_json.BeginObject();
    Stream(facts.video);
    m_json.Key("keyFrames");
    m_json.Unsigned(facts.video.nKeyFrames);
    m_json.Key("codecId");
    m_json.Unsigned(first.GetCodecId());
    m_json.Key("codec");
    m_json.String(CFlvTagInfo::VideoCodecName(first.GetCodecId()));
    m_json.Key("sequenceHeader");
    m_json.Bool(facts.video.nSequenceHeaders > 0);
    m_json.Key("sps");
    if (facts.bHaveSps) {
        const CAvcSps& sps = facts.sps;
        m_json.BeginObject();
        m_json.Key("profile");
        m_json.Unsigned(sps.GetProfile());
        m_json.Key("profileName");
        m_json.String(sps.GetProfileName());
        m_json.Key("level");
        m_json.String(sps.GetLevelName());
        m_json.Key("levelIdc");
        m_json.Unsigned(sps.GetLevel());
        m_json.Key("width");
        m_json.Unsigned(sps.GetWidth());
        m_json.Key("height");
        m_json.Unsigned(sps.GetHeight());
        m_json.Key("codedWidth");
        m_json.Unsigned(sps.GetCodedWidth());
        m_json.Key("codedHeight");
        m_json.Unsigned(sps.GetCodedHeight());
        m_json.Key("chroma");
        m_json.String(sps.GetChromaName());
        m_json.Key("bitDepth");
        m_json.Unsigned(sps.GetBitDepth());
        m_json.EndObject();
    } else {
        m_json.Null();
    }
    m_json.EndObject();
}

void CJsonPrinter::Audio(const FlvFacts& facts) {
    m_json.Key("audio");
    if (!facts.audio.nTags) {
        m_json.Null();
        return;
    }
    const CFlvTagInfo first(TAG_TYPE_AUDIO, &facts.audio.byFirstBodyByte,
                            facts.audio.bHaveFirstByte ? 1 : 0, facts.audio.bHaveFirstByte ? 1 : 0);
    m_json.BeginObject();
    Stream(facts.audio);
    m_json.Key("format");
    m_json.Unsigned(first.GetSoundFormat());
    m_json.Key("codec");
    m_json.String(CFlvTagInfo::SoundFormatName(first.GetSoundFormat()));
    m_json.Key("rate");
    m_json.Unsigned(CFlvTagInfo::SoundRateHz(first.GetSoundRate()));
    m_json.Key("sampleBits");
    m_json.Unsigned(first.GetSampleBits());
    m_json.Key("channels");
    m_json.Unsigned(first.GetChannels());
    m_json.Key("sequenceHeader");
    m_json.Bool(facts.audio.nSequenceHeaders > 0);
    m_json.Key("config");
    if (facts.bHaveAacConfig) {
        const CAacConfig& aac = facts.aacConfig;
        m_json.BeginObject();
        m_json.Key("objectType");
        m_json.Unsigned(aac.GetObjectType());
        m_json.Key("profile");
        m_json.String(aac.GetObjectTypeName());
        m_json.Key("sampleRate");
        m_json.Unsigned(aac.GetSampleRate());
        m_json.Key("channels");
        m_json.Unsigned(aac.GetChannels());
        m_json.EndObject();
    } else {
        m_json.Null();
    }
    m_json.EndObject();
}

void CJsonPrinter::Backward(const FlvFacts& facts) {
    m_json.Key("backward");
    m_json.BeginArray();
    for (const FlvBackwardStep& step : facts.backward) {
        m_json.BeginObject();
        m_json.Key("stream");
        m_json.String(CFlvTagInfo::TagTypeName(step.type));
        m_json.Key("offset");
        m_json.Unsigned(step.nOffset);
        m_json.Key("previous");
        m_json.Unsigned(step.dwPrevious);
        m_json.Key("current");
        m_json.Unsigned(step.dwCurrent);
        m_json.EndObject();
    }
    m_json.EndArray();
}

void CJsonPrinter::Damage(const FlvFacts& facts) {
    m_json.Key("damage");
    if (!facts.bDamaged) {
        m_json.Null();
        return;
    }
    m_json.BeginObject();
    m_json.Key("offset");
    m_json.Unsigned(facts.nDamageOffset);
    m_json.Key("message");
    m_json.String(facts.strDamage);
    m_json.EndObject();
}
