#include "amfcodec/amf.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "basekit/logwrapper.h"

using amfcodec::RESULT_BAD_ARGUMENT;
using amfcodec::RESULT_BAD_DATA;
using amfcodec::RESULT_NO_ROOM;
using amfcodec::RESULT_NOT_SUPPORTED;

#define RV_SUCCEEDED(rv) ((rv) == 0)

namespace {

constexpr UI8 kAmf3ByteArrayMarker = 0x0C;
// The longest byte array whose U29 (length * 2 + 1, 29 bits, read back
// sign-extended) comes back as the same length.
constexpr UI32 kMaxByteArrayLength = 0x7FFFFFF;

bool IsContainerMarker(UI8 marker) {
    return marker == AMF_OBJECT || marker == AMF_TYPED_OBJECT || marker == AMF_ECMA_ARRAY;
}

bool IsDecodableMarker(UI8 marker) {
    switch (marker) {
    case AMF_NUMBER:
    case AMF_BOOLEAN:
    case AMF_STRING:
    case AMF_OBJECT:
    case AMF_MOVIECLIP:
    case AMF_NULL:
    case AMF_UNDEFINED:
    case AMF_REFERENCE:
    case AMF_ECMA_ARRAY:
    case AMF_DATE:
    case AMF_LONG_STRING:
    case AMF_TYPED_OBJECT:
        return true;
    default:
        return false;
    }
}

// The values without entries, as the property decoder creates them: strings
// and movie clips without their marker.
std::unique_ptr<CAmfType> CreatePlainValue(UI8 marker) {
    switch (marker) {
    case AMF_NUMBER:
        return std::make_unique<CAmfNumber>();
    case AMF_BOOLEAN:
        return std::make_unique<CAmfBoolean>();
    case AMF_STRING:
        return std::make_unique<CAmfString>(0);
    case AMF_MOVIECLIP:
        return std::make_unique<CAmfMovieClip>();
    case AMF_REFERENCE:
        return std::make_unique<CAmfReference>();
    case AMF_DATE:
        return std::make_unique<CAmfDate>();
    case AMF_LONG_STRING:
        return std::make_unique<CAmfString>(1);
    default:
        return nullptr;
    }
}

void AppendEntry(std::vector<CAmfSimpleKeyValue*>& entries, std::unique_ptr<CAmfSimpleKeyValue> entry) {
    entries.push_back(entry.get());
    entry.release();
}

void AppendEntry(std::vector<CAmfSimpleKeyValue*>& entries, const std::string& name, CAmfType* value) {
    std::unique_ptr<CAmfType> owned(value);
    AppendEntry(entries, std::make_unique<CAmfSimpleKeyValue>(name, owned.release(), 0));
}

void DeleteEntries(std::vector<CAmfSimpleKeyValue*>& entries) {
    for (CAmfSimpleKeyValue* entry : entries) delete entry;
    entries.clear();
}

CAmfType* FindValue(const std::vector<CAmfSimpleKeyValue*>& entries, const std::string& name) {
    for (const CAmfSimpleKeyValue* entry : entries)
        if (entry->GetName() == name) return entry->GetValue();
    return nullptr;
}

unsigned long EntriesLen(const std::vector<CAmfSimpleKeyValue*>& entries) {
    unsigned long len = 0;
    for (const CAmfSimpleKeyValue* entry : entries) len += entry->GetEncodeLen();
    return len;
}

// Every entry, also after one has failed, then the end marker 00 00 09 when
// the last entry went through. Returns the first failure.
int EncodeEntries(CFlashStream& stream, const std::vector<CAmfSimpleKeyValue*>& entries) {
    int first = 0;
    int last = 0;
    for (CAmfSimpleKeyValue* entry : entries) {
        last = entry->Encode(stream);
        if (first == 0) first = last;
    }
    if (last != 0) return first;
    int rv = stream.PutUI24(AMF_OBJECT_END, 1);
    return first != 0 ? first : rv;
}

// U29 byte count of an inline byte array of `length` bytes.
unsigned long U29Size(UI32 length) {
    unsigned long long v = static_cast<unsigned long long>(length) * 2 + 1;
    if (v < 0x80) return 1;
    if (v < 0x4000) return 2;
    if (v < 0x200000) return 3;
    return 4;
}

}  // namespace

// ---- CAmfType and the plain values ----

int CAmfType::Encode(CFlashStream& stream) { return stream.PutUI8(m_type); }

int CAmfType::Decode(CFlashStream& /*stream*/) { return RESULT_NOT_SUPPORTED; }

int CAmfNumber::Encode(CFlashStream& stream) {
    int rv = CAmfType::Encode(stream);
    UC_ASSERTE_RETURN(RV_SUCCEEDED(rv), rv);
    return stream.PutDouble(m_value);
}

int CAmfNumber::Decode(CFlashStream& stream) { return stream.GetDouble(m_value); }

int CAmfBoolean::Encode(CFlashStream& stream) {
    int rv = CAmfType::Encode(stream);
    UC_ASSERTE_RETURN(RV_SUCCEEDED(rv), rv);
    return stream.PutUI8(m_value ? 1 : 0);
}

int CAmfBoolean::Decode(CFlashStream& stream) {
    UI8 byte = 0;
    int rv = stream.GetUI8(byte);
    if (rv == 0) m_value = byte ? 1 : 0;
    return rv;
}

int CAmfNull::Decode(CFlashStream& /*stream*/) { return 0; }

int CAmfReference::Encode(CFlashStream& stream) {
    int rv = CAmfType::Encode(stream);
    if (rv != 0) return rv;
    return stream.PutUI16(m_value, 1);
}

int CAmfReference::Decode(CFlashStream& stream) { return stream.GetUI16(m_value, 1); }

int CAmfDate::Encode(CFlashStream& stream) {
    int rv = CAmfType::Encode(stream);
    if (rv == 0) rv = stream.PutDouble(m_time);
    if (rv == 0) rv = stream.PutUI16(m_offset, 1);
    return rv;
}

int CAmfDate::Decode(CFlashStream& stream) {
    double time = 0;
    UI16 offset = 0;
    int rv = stream.GetDouble(time);
    if (rv == 0) rv = stream.GetUI16(offset, 1);
    if (rv != 0) return rv;
    m_time = time;
    m_offset = offset;
    return 0;
}

// ---- CAmfString ----

CAmfString::CAmfString(int isLong) : CAmfString(isLong ? AMF_LONG_STRING : AMF_STRING, std::string(), isLong, 0) {}

CAmfString::CAmfString(const std::string& value, int isLong)
    : CAmfString(isLong || value.size() > 0xFFFF ? AMF_LONG_STRING : AMF_STRING, value,
                 isLong || value.size() > 0xFFFF, 1) {}

CAmfString::CAmfString(AmfType type, const std::string& value, int isLong, int includeType)
    : CAmfType(type), m_isLong(isLong ? 1 : 0), m_includeType(includeType), m_value(value) {}

// A short string's length field holds 16 bits, a long one's 32.
bool CAmfString::LengthFits() const { return m_value.size() <= (m_isLong ? 0xFFFFFFFFul : 0xFFFFul); }

int CAmfString::Encode(CFlashStream& stream) {
    UC_ASSERTE_RETURN(LengthFits(), RESULT_BAD_ARGUMENT);
    int rv = 0;
    if (m_includeType) {
        rv = CAmfType::Encode(stream);
        if (rv != 0) return rv;
    }
    const auto len = static_cast<UI32>(m_value.size());
    rv = m_isLong ? stream.PutUI32(len, 1) : stream.PutUI16(static_cast<UI16>(len), 1);
    if (rv != 0 || len == 0) return rv;
    return stream.PutData(reinterpret_cast<const unsigned char*>(m_value.data()), len);
}

unsigned long CAmfString::GetEncodeLen() const {
    return m_value.size() + (m_isLong ? 4 : 2) + (m_includeType ? 1 : 0);
}

int CAmfString::Decode(CFlashStream& stream) {
    int rv = 0;
    if (m_includeType) {
        UI8 var = 0;
        rv = stream.GetUI8(var);
        if (rv != 0) return rv;
        UC_ASSERTE_RETURN(var == AMF_STRING || var == AMF_LONG_STRING, RESULT_BAD_DATA);
    }
    UI32 len = 0;
    if (m_isLong) {
        rv = stream.GetUI32(len, 1);
    } else {
        UI16 shortLen = 0;
        rv = stream.GetUI16(shortLen, 1);
        len = shortLen;
    }
    if (rv != 0) return rv;
    // A length beyond the data fails before anything is allocated for it.
    UC_ASSERTE_RETURN(len <= stream.GetLength(), RESULT_NO_ROOM);
    std::string value(len, '\0');
    if (len != 0) {
        rv = stream.GetData(reinterpret_cast<unsigned char*>(value.data()), len);
        if (rv != 0) return rv;
    }
    m_value = std::move(value);
    return 0;
}

// ---- CAmfSimpleKeyValue ----

CAmfSimpleKeyValue::CAmfSimpleKeyValue(int includeType) : CAmfString(AMF_STRING, std::string(), 0, includeType) {}

CAmfSimpleKeyValue::CAmfSimpleKeyValue(const std::string& name, CAmfType* value, int includeType)
    : CAmfString(AMF_STRING, name, 0, includeType), m_value(value) {}

CAmfSimpleKeyValue::~CAmfSimpleKeyValue() = default;

int CAmfSimpleKeyValue::Encode(CFlashStream& stream) {
    int rv = CAmfString::Encode(stream);
    if (rv != 0 || !m_value) return rv;
    return m_value->Encode(stream);
}

unsigned long CAmfSimpleKeyValue::GetEncodeLen() const {
    return CAmfString::GetEncodeLen() + (m_value ? m_value->GetEncodeLen() : 0);
}

int CAmfSimpleKeyValue::Decode(CFlashStream& stream) { return DecodeAt(stream, 0); }

int CAmfSimpleKeyValue::Decode(CFlashStream& stream, UI8& marker, unsigned depth) {
    int rv = CAmfString::Decode(stream);
    if (rv != 0) return rv;
    rv = stream.GetUI8(marker);
    if (rv != 0) return rv;
    UC_LOG(CLogWrapper::LOG_INFO, "CAmfSimpleKeyValue::Decode, name=" << GetName()
                                                                      << ", amfType=" << static_cast<unsigned>(marker));
    if (!IsDecodableMarker(marker)) {
        UC_LOG(CLogWrapper::LOG_WARNING,
               "CAmfSimpleKeyValue::Decode,don't support type=" << static_cast<unsigned>(marker));
        return RESULT_NOT_SUPPORTED;
    }
    if (IsContainerMarker(marker)) {
        UC_ASSERTE_RETURN(depth < AMF_MAX_NESTING_DEPTH, RESULT_BAD_DATA);
    }
    return 0;
}

int CAmfSimpleKeyValue::DecodeAt(CFlashStream& stream, unsigned depth) {
    m_value.reset();
    UI8 marker = 0;
    int rv = Decode(stream, marker, depth);
    if (rv != 0) return rv;

    std::unique_ptr<CAmfType> value;
    switch (marker) {
    case AMF_NULL:
    case AMF_UNDEFINED:
        return 0;  // the property keeps a null value
    case AMF_OBJECT:
    case AMF_TYPED_OBJECT: {
        auto object = std::make_unique<CAmfSimpleObject>(0, static_cast<AmfType>(marker));
        rv = object->DecodeAt(stream, depth + 1);
        value = std::move(object);
        break;
    }
    case AMF_ECMA_ARRAY: {
        auto array = std::make_unique<CAmfECMAArray>();
        rv = array->DecodeAt(stream, depth + 1);
        value = std::move(array);
        break;
    }
    default:
        value = CreatePlainValue(marker);
        if (!value) return RESULT_NOT_SUPPORTED;
        rv = value->Decode(stream);
        break;
    }
    if (rv == 0) m_value = std::move(value);
    return rv;
}

int CAmfSimpleKeyValue::DecodeEntries(CFlashStream& stream, std::vector<CAmfSimpleKeyValue*>& entries,
                                      unsigned depth, int rv) {
    while (!stream.Eof(1)) {
        UI8 end[3];
        rv = stream.Peek(end, 3);
        if (rv != 0) return rv;
        if (end[0] == 0 && end[1] == 0 && end[2] == AMF_OBJECT_END) return stream.Forward(3, 1);
        auto entry = std::make_unique<CAmfSimpleKeyValue>(0);
        rv = entry->DecodeAt(stream, depth);
        if (rv != 0) return rv;
        AppendEntry(entries, std::move(entry));
    }
    return rv;
}

// ---- CAmfSimpleObject ----

CAmfSimpleObject::CAmfSimpleObject(int hasMarker, AmfType type)
    : CAmfType(type), m_hasMarker(hasMarker), m_className(0) {}

CAmfSimpleObject::~CAmfSimpleObject() { DeleteEntries(m_entries); }

int CAmfSimpleObject::Encode(CFlashStream& stream) {
    int first = 0;
    if (m_hasMarker) first = CAmfType::Encode(stream);
    if (m_type == AMF_TYPED_OBJECT) {
        int rv = m_className.Encode(stream);
        if (first == 0) first = rv;
    }
    int rv = EncodeEntries(stream, m_entries);
    return first != 0 ? first : rv;
}

unsigned long CAmfSimpleObject::GetEncodeLen() const {
    return (m_hasMarker ? 1 : 0) + (m_type == AMF_TYPED_OBJECT ? m_className.GetEncodeLen() : 0) +
           EntriesLen(m_entries) + 3;
}

int CAmfSimpleObject::Decode(CFlashStream& stream) { return DecodeAt(stream, 1); }

int CAmfSimpleObject::DecodeAt(CFlashStream& stream, unsigned depth) {
    int rv = 0;
    if (m_hasMarker) {
        UI8 marker = 0;
        rv = stream.GetUI8(marker);
        if (rv != 0) return rv;
        m_type = static_cast<AmfType>(marker);
    }
    if (m_type == AMF_TYPED_OBJECT) {
        rv = m_className.Decode(stream);
        if (rv != 0) return rv;
    }
    return CAmfSimpleKeyValue::DecodeEntries(stream, m_entries, depth, rv);
}

void CAmfSimpleObject::Set(const std::string& name, CAmfType* value) { AppendEntry(m_entries, name, value); }

void CAmfSimpleObject::SetString(const std::string& name, const std::string& text) {
    AppendEntry(m_entries, name, new CAmfString(text, 0));
}

void CAmfSimpleObject::SetNumber(const std::string& name, double value) {
    AppendEntry(m_entries, name, new CAmfNumber(value));
}

void CAmfSimpleObject::SetBoolean(const std::string& name, int value) {
    AppendEntry(m_entries, name, new CAmfBoolean(value));
}

CAmfType* CAmfSimpleObject::GetValue(const std::string& name) const { return FindValue(m_entries, name); }

// ---- CAmfECMAArray ----

CAmfECMAArray::CAmfECMAArray(unsigned count) : CAmfType(AMF_ECMA_ARRAY), m_count(count) {}

CAmfECMAArray::~CAmfECMAArray() { DeleteEntries(m_entries); }

int CAmfECMAArray::Encode(CFlashStream& stream) {
    m_count = static_cast<UI32>(m_entries.size());
    int first = CAmfType::Encode(stream);
    // A single entry is announced with a count of 0.
    int rv = stream.PutUI32(m_count == 1 ? 0 : m_count, 1);
    if (first == 0) first = rv;
    rv = EncodeEntries(stream, m_entries);
    return first != 0 ? first : rv;
}

unsigned long CAmfECMAArray::GetEncodeLen() const { return 5 + EntriesLen(m_entries) + 3; }

int CAmfECMAArray::Decode(CFlashStream& stream) { return DecodeAt(stream, 1); }

int CAmfECMAArray::DecodeAt(CFlashStream& stream, unsigned depth) {
    UI32 count = 0;
    int rv = stream.GetUI32(count, 1);
    if (rv != 0) return rv;
    m_count = count;
    // The announced entries first. An entry that fails leaves the stream in the
    // middle of its value: reading on would turn the rest of that value into
    // made-up entries, so the decode ends there with the entry's code and keeps
    // the entries read before it.
    for (UI32 i = 0; i < m_count; ++i) {
        auto entry = std::make_unique<CAmfSimpleKeyValue>(0);
        rv = entry->DecodeAt(stream, depth);
        if (rv != 0) return rv;
        AppendEntry(m_entries, std::move(entry));
    }
    // Then whatever follows, up to the end marker or the end of the data.
    return CAmfSimpleKeyValue::DecodeEntries(stream, m_entries, depth, rv);
}

void CAmfECMAArray::Set(const std::string& name, CAmfType* value) { AppendEntry(m_entries, name, value); }

void CAmfECMAArray::Set(const std::string& name, const std::string& text) {
    AppendEntry(m_entries, name, new CAmfString(text, 0));
}

void CAmfECMAArray::Set(const std::string& name, double value) { AppendEntry(m_entries, name, new CAmfNumber(value)); }

void CAmfECMAArray::SetBoolean(const std::string& name, int value) {
    AppendEntry(m_entries, name, new CAmfBoolean(value));
}

int CAmfECMAArray::GetKeyValue(unsigned long index, std::string& name, CAmfType*& value) const {
    UC_ASSERTE_RETURN(index < m_entries.size(), RESULT_BAD_ARGUMENT);
    name = m_entries[index]->GetName();
    value = m_entries[index]->GetValue();
    return 0;
}

CAmfType* CAmfECMAArray::GetValue(const std::string& name) const { return FindValue(m_entries, name); }

// ---- CAmf3ByteArray ----

CAmf3ByteArray::CAmf3ByteArray(unsigned char* data, unsigned long length, int copy) : CAmfType(AMF_AVMPLUS) {
    if (!data) return;
    const auto len = static_cast<UI32>(std::min<unsigned long>(length, 0xFFFFFFFFul));
    if (!copy) {
        m_buf = data;
        m_length = len;
        return;
    }
    m_buf = new (std::nothrow) unsigned char[len ? len : 1];
    if (!m_buf) return;
    if (len) std::memcpy(m_buf, data, len);
    m_length = len;
    m_ownsBuf = 1;
}

CAmf3ByteArray::~CAmf3ByteArray() { ReleaseBuffer(); }

void CAmf3ByteArray::ReleaseBuffer() {
    if (m_ownsBuf) delete[] m_buf;
    m_buf = nullptr;
    m_length = 0;
    m_ownsBuf = 0;
}

int CAmf3ByteArray::Encode(CFlashStream& stream) {
    UC_ASSERTE_RETURN(m_buf, RESULT_BAD_ARGUMENT);
    UC_ASSERTE_RETURN(m_length <= kMaxByteArrayLength, RESULT_BAD_ARGUMENT);
    int rv = CAmfType::Encode(stream);
    if (rv == 0) rv = stream.PutUI8(kAmf3ByteArrayMarker);
    if (rv == 0) rv = WriteInt(static_cast<int>(m_length), stream);
    if (rv == 0 && m_length != 0) rv = stream.PutData(m_buf, m_length);
    return rv;
}

unsigned long CAmf3ByteArray::GetEncodeLen() const { return m_length + 2 + U29Size(m_length); }

int CAmf3ByteArray::Decode(CFlashStream& stream) {
    UI8 byType = 0;
    int rv = stream.GetUI8(byType);
    if (rv != 0) return rv;
    UC_ASSERTE_RETURN(byType == 12, RESULT_NOT_SUPPORTED);
    m_length = 0;
    int length = 0;
    rv = ReadInt(length, stream);
    ReleaseBuffer();
    if (rv != 0 || length <= 0) return rv;
    // A length beyond the data fails before anything is allocated for it.
    UC_ASSERTE_RETURN(static_cast<unsigned long>(length) <= stream.GetLength(), RESULT_NO_ROOM);
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[length]);
    if (!buf) return RESULT_NO_ROOM;
    rv = stream.GetData(buf.get(), static_cast<unsigned>(length));
    if (rv != 0) return rv;
    m_buf = buf.release();
    m_length = static_cast<UI32>(length);
    m_ownsBuf = 1;
    return 0;
}

int CAmf3ByteArray::WriteInt(int length, CFlashStream& stream) {
    // The low bit marks an inline byte array.
    const UI32 v = static_cast<UI32>(length) * 2u + 1u;
    UI8 bytes[4];
    unsigned n = 0;
    if (v < 0x80) {
        bytes[n++] = static_cast<UI8>(v);
    } else if (v < 0x4000) {
        bytes[n++] = static_cast<UI8>(0x80 | (v >> 7));
        bytes[n++] = static_cast<UI8>(v & 0x7F);
    } else if (v < 0x200000) {
        bytes[n++] = static_cast<UI8>(0x80 | (v >> 14));
        bytes[n++] = static_cast<UI8>(0x80 | ((v >> 7) & 0x7F));
        bytes[n++] = static_cast<UI8>(v & 0x7F);
    } else {
        // Three 7-bit groups, then a full byte: 29 bits in all.
        bytes[n++] = static_cast<UI8>(0x80 | ((v >> 22) & 0x7F));
        bytes[n++] = static_cast<UI8>(0x80 | ((v >> 15) & 0x7F));
        bytes[n++] = static_cast<UI8>(0x80 | ((v >> 8) & 0x7F));
        bytes[n++] = static_cast<UI8>(v & 0xFF);
    }
    return stream.PutData(bytes, n);
}

int CAmf3ByteArray::ReadInt(int& length, CFlashStream& stream) {
    UI32 value = 0;
    UI8 byte = 0;
    int groups = 0;
    for (; groups < 3; ++groups) {
        int rv = stream.GetUI8(byte);
        if (rv != 0) return rv;
        value = (value << 7) | (byte & 0x7F);
        if (!(byte & 0x80)) break;
    }
    if (groups == 3) {
        int rv = stream.GetUI8(byte);
        if (rv != 0) return rv;
        value = (value << 8) | byte;
    }
    if (value & 0x10000000) value |= 0xE0000000;  // a 29-bit negative value
    length = static_cast<int>(value) >> 1;
    return 0;
}
