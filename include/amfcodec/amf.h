// AMF0 values (and the AMF3 byte array) as a small class tree rooted at
// CAmfType. Each value knows its marker, the exact size of its encoding
// (GetEncodeLen), writes itself to a CFlashStream (Encode) and reads itself
// back (Decode). Every Encode and Decode returns 0 or the failing code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "amfcodec/flashstream.h"

enum AmfType : unsigned char {
    AMF_NUMBER = 0,
    AMF_BOOLEAN = 1,
    AMF_STRING = 2,
    AMF_OBJECT = 3,
    AMF_MOVIECLIP = 4,
    AMF_NULL = 5,
    AMF_UNDEFINED = 6,
    AMF_REFERENCE = 7,
    AMF_ECMA_ARRAY = 8,
    AMF_OBJECT_END = 9,
    AMF_STRICT_ARRAY = 10,
    AMF_DATE = 11,
    AMF_LONG_STRING = 12,
    AMF_UNSUPPORTED = 13,
    AMF_RECORDSET = 14,
    AMF_XML_DOCUMENT = 15,
    AMF_TYPED_OBJECT = 16,
    AMF_AVMPLUS = 17,
};

// How many objects and ECMA arrays a decoded tree may nest; a deeper value
// fails with UC_ERR_BAD_DATA instead of recursing without bound on hostile input.
inline constexpr unsigned AMF_MAX_NESTING_DEPTH = 64;

class CAmfType {
public:
    explicit CAmfType(AmfType type) : m_type(type) {}
    virtual ~CAmfType() = default;
    CAmfType(const CAmfType&) = default;
    CAmfType& operator=(const CAmfType&) = default;

    // The marker byte alone.
    virtual int Encode(CFlashStream& stream);
    virtual unsigned long GetEncodeLen() const { return 1; }
    // The base class decodes nothing: UC_ERR_NOT_SUPPORTED.
    virtual int Decode(CFlashStream& stream);

    AmfType GetType() const { return m_type; }

protected:
    AmfType m_type;
};

class CAmfNumber : public CAmfType {
public:
    CAmfNumber() : CAmfNumber(0.0) {}
    explicit CAmfNumber(double value) : CAmfType(AMF_NUMBER), m_value(value) {}

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override { return 9; }
    int Decode(CFlashStream& stream) override;

    double GetValue() const { return m_value; }

private:
    double m_value;
};

class CAmfBoolean : public CAmfType {
public:
    CAmfBoolean() : CAmfBoolean(0) {}
    explicit CAmfBoolean(int value) : CAmfType(AMF_BOOLEAN), m_value(value) {}

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override { return 2; }
    int Decode(CFlashStream& stream) override;

    int GetValue() const { return m_value; }

private:
    int m_value;
};

// A string: 16-bit length (type 2) or 32-bit length (type 12), preceded by
// the marker only when m_includeType is set.
class CAmfString : public CAmfType {
public:
    explicit CAmfString(int isLong = 0);
    // With the marker; a value longer than 65535 bytes is always long.
    CAmfString(const std::string& value, int isLong);

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override;
    int Decode(CFlashStream& stream) override;

    void SetValue(const std::string& value) { m_value = value; }
    const std::string& GetValue() const { return m_value; }
    void SetIncludeType(int includeType) { m_includeType = includeType; }

protected:
    CAmfString(AmfType type, const std::string& value, int isLong, int includeType);

    int m_isLong;
    int m_includeType;
    std::string m_value;

private:
    bool LengthFits() const;
};

class CAmfMovieClip : public CAmfString {
public:
    CAmfMovieClip() : CAmfString(AMF_MOVIECLIP, std::string(), 0, 0) {}
    explicit CAmfMovieClip(const std::string& value) : CAmfString(AMF_MOVIECLIP, value, 0, 1) {}
};

// Null (type 5) or undefined (type 6).
class CAmfNull : public CAmfType {
public:
    explicit CAmfNull(int isNull = 1) : CAmfType(isNull ? AMF_NULL : AMF_UNDEFINED) {}

    int Decode(CFlashStream& stream) override;
};

class CAmfReference : public CAmfType {
public:
    CAmfReference() : CAmfReference(0) {}
    explicit CAmfReference(unsigned short value) : CAmfType(AMF_REFERENCE), m_value(value) {}

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override { return 3; }
    int Decode(CFlashStream& stream) override;

    unsigned short GetValue() const { return m_value; }

private:
    unsigned short m_value;
};

class CAmfDate : public CAmfType {
public:
    CAmfDate() : CAmfDate(0.0, 0) {}
    CAmfDate(double time, unsigned short offset) : CAmfType(AMF_DATE), m_time(time), m_offset(offset) {}

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override { return 11; }
    int Decode(CFlashStream& stream) override;

    double GetTime() const { return m_time; }
    unsigned short GetOffset() const { return m_offset; }

private:
    double m_time;
    unsigned short m_offset;
};

// One property of an object or ECMA array: the inherited string is the name,
// m_value the owned value (null for a null or undefined property, which
// encodes as its name alone). Decode is the factory of the decoded values.
class CAmfSimpleKeyValue : public CAmfString {
public:
    explicit CAmfSimpleKeyValue(int includeType);
    CAmfSimpleKeyValue(const std::string& name, CAmfType* value, int includeType);
    ~CAmfSimpleKeyValue() override;

    CAmfSimpleKeyValue(const CAmfSimpleKeyValue&) = delete;
    CAmfSimpleKeyValue& operator=(const CAmfSimpleKeyValue&) = delete;

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override;
    int Decode(CFlashStream& stream) override;

    const std::string& GetName() const { return CAmfString::GetValue(); }
    CAmfType* GetValue() const { return m_value.get(); }

private:
    friend class CAmfSimpleObject;
    friend class CAmfECMAArray;

    // Decodes this entry inside a container nested `depth` levels deep.
    int DecodeAt(CFlashStream& stream, unsigned depth);
    // Reads and logs the name and the value's marker; kept out of the
    // recursive path so that nested decoding does not stack log buffers.
    [[gnu::noinline]] int Decode(CFlashStream& stream, UI8& marker, unsigned depth);
    // The entries of a container up to its end marker or the end of the data.
    static int DecodeEntries(CFlashStream& stream, std::vector<CAmfSimpleKeyValue*>& entries,
                             unsigned depth, int rv);

    std::unique_ptr<CAmfType> m_value;
};

// An anonymous (type 3) or typed (type 16, with a class name) object.
// Containers own their entries; copies are deleted so that no entry is
// deleted twice.
class CAmfSimpleObject : public CAmfType {
public:
    explicit CAmfSimpleObject(int hasMarker = 1, AmfType type = AMF_OBJECT);
    ~CAmfSimpleObject() override;

    CAmfSimpleObject(const CAmfSimpleObject&) = delete;
    CAmfSimpleObject& operator=(const CAmfSimpleObject&) = delete;

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override;
    int Decode(CFlashStream& stream) override;

    // Each appends a new entry (names are not looked up); Set takes ownership.
    void Set(const std::string& name, CAmfType* value);
    void SetString(const std::string& name, const std::string& text);
    void SetNumber(const std::string& name, double value);
    void SetBoolean(const std::string& name, int value);
    void SetClassName(const std::string& className) { m_className.SetValue(className); }
    const std::string& GetClassNameA() const { return m_className.GetValue(); }

    // The value of the first entry called `name`, or null.
    CAmfType* GetValue(const std::string& name) const;
    const std::vector<CAmfSimpleKeyValue*>& GetValue() const { return m_entries; }
    const std::vector<CAmfSimpleKeyValue*>& GetObjects() const { return m_entries; }

private:
    friend class CAmfSimpleKeyValue;
    int DecodeAt(CFlashStream& stream, unsigned depth);

    int m_hasMarker;
    CAmfString m_className;
    std::vector<CAmfSimpleKeyValue*> m_entries;
};

// The ECMA array: marker 08, a 32-bit count (0 for a single entry), the
// entries and the end marker. Decode expects the marker already read.
class CAmfECMAArray : public CAmfType {
public:
    explicit CAmfECMAArray(unsigned count = 0);
    ~CAmfECMAArray() override;

    CAmfECMAArray(const CAmfECMAArray&) = delete;
    CAmfECMAArray& operator=(const CAmfECMAArray&) = delete;

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override;
    int Decode(CFlashStream& stream) override;

    // Each appends a new entry (names are not looked up); Set takes ownership.
    void Set(const std::string& name, CAmfType* value);
    void Set(const std::string& name, const std::string& text);
    void Set(const std::string& name, double value);
    void SetBoolean(const std::string& name, int value);
    void SetHaveNumber(int haveNumber) { m_haveNumber = haveNumber; }

    // UC_ERR_BAD_ARGUMENT (name and value untouched) for an index past the last entry.
    int GetKeyValue(unsigned long index, std::string& name, CAmfType*& value) const;
    // The value of the first entry called `name`, or null.
    CAmfType* GetValue(const std::string& name) const;
    const std::vector<CAmfSimpleKeyValue*>& GetArray() const { return m_entries; }
    const std::vector<CAmfSimpleKeyValue*>& GetValue() const { return m_entries; }
    // The count last written or read.
    UI32 GetCount() const { return m_count; }

private:
    friend class CAmfSimpleKeyValue;
    int DecodeAt(CFlashStream& stream, unsigned depth);

    int m_haveNumber = 0;
    UI32 m_count;
    std::vector<CAmfSimpleKeyValue*> m_entries;
};

// The AMF3 byte array behind the AMF0 switch marker: 11 0C, the U29 of
// (length * 2 + 1), the bytes. Copies are deleted: a copy would share the
// buffer together with its ownership, and both would free it.
class CAmf3ByteArray : public CAmfType {
public:
    CAmf3ByteArray() : CAmfType(AMF_AVMPLUS) {}
    // copy non-zero: owns a copy of the bytes; 0: holds `data` without owning it.
    CAmf3ByteArray(unsigned char* data, unsigned long length, int copy);
    ~CAmf3ByteArray() override;

    CAmf3ByteArray(const CAmf3ByteArray&) = delete;
    CAmf3ByteArray& operator=(const CAmf3ByteArray&) = delete;

    int Encode(CFlashStream& stream) override;
    unsigned long GetEncodeLen() const override;
    // The AMF0 marker 11 has been read by the caller.
    int Decode(CFlashStream& stream) override;

    unsigned char* GetBuf() const { return m_buf; }
    UI32 GetLength() const { return m_length; }

protected:
    // The U29 of an inline byte array's length, and back.
    static int WriteInt(int length, CFlashStream& stream);
    static int ReadInt(int& length, CFlashStream& stream);

private:
    void ReleaseBuffer();

    unsigned char* m_buf = nullptr;
    UI32 m_length = 0;
    int m_ownsBuf = 0;
};
