// CFlashStream: a cursor over a CDataPackage that writes at the package's
// write pointer and reads (consumes) at its read pointer. Integers are written
// in network order on request, doubles always. The stream never grows the
// package: callers size it beforehand, as a rule from GetEncodeLen().
#pragma once

#include "basekit/datapackage.h"
#include "basekit/resultcodes.h"

typedef unsigned char UI8;
typedef unsigned short UI16;
typedef unsigned int UI32;

namespace amfcodec {
// Result codes shared by the stream and the AMF values.
inline constexpr int RESULT_OK = 0;
inline constexpr int RESULT_BAD_DATA = UC_ERR_BAD_DATA;            // bad data or not found
inline constexpr int RESULT_NOT_SUPPORTED = UC_ERR_NOT_SUPPORTED;  // unsupported marker or operation
inline constexpr int RESULT_BAD_ARGUMENT = UC_ERR_BAD_ARGUMENT;    // bad argument or index out of range
inline constexpr int RESULT_NO_ROOM = UC_ERR_NO_ROOM;              // no room, no data or wrong state
}  // namespace amfcodec

class CFlashStream {
public:
    // duplicate non-zero: works on data.DuplicatePackage() and owns it;
    // 0: works on `data` itself, which stays the caller's.
    CFlashStream(CDataPackage& data, int duplicate);
    // An owned, empty package with room for `size` bytes.
    explicit CFlashStream(unsigned long size = 0);
    ~CFlashStream();

    // Copies would release one owned package twice.
    CFlashStream(const CFlashStream&) = delete;
    CFlashStream& operator=(const CFlashStream&) = delete;

    // order non-zero: most significant byte first; 0: least significant first.
    int PutUI8(UI8 v);
    int PutUI16(UI16 v, int order);
    int PutUI24(UI32 v, int order);  // the low 24 bits
    int PutUI32(UI32 v, int order);
    int PutDouble(double v);  // always most significant byte first
    int PutData(const unsigned char* data, unsigned int len);
    // Copies `len` readable bytes of `src` (which is not consumed) straight to
    // the write pointer, without an intermediate buffer.
    int PutPackage(const CDataPackage& src, unsigned int len);

    int GetUI8(UI8& v);
    int GetUI16(UI16& v, int order);
    int GetUI24(UI32& v, int order);  // always most significant byte first
    int GetUI32(UI32& v, int order);
    int GetDouble(double& v);
    int GetData(unsigned char* data, unsigned int len);
    // Copies the next `len` bytes without consuming them.
    int Peek(unsigned char* data, unsigned int len);

    // read non-zero: skips n unread bytes; 0: declares n bytes behind the write
    // pointer as written.
    int Forward(unsigned long n, int read);
    // 1 without a package; else read non-zero: no unread bytes, 0: no room.
    int Eof(int read) const;
    // Unread bytes and free room; 0 without a package.
    unsigned long GetLength() const;
    unsigned long GetSpace() const;

    UI8* GetReadPtr() const;
    UI8* GetWritePtr() const;
    CDataPackage& GetBuf() const { return *m_data; }

private:
    int Put(const UI8* bytes, unsigned int n);
    int Get(UI8* bytes, unsigned int n, int advance);

    CDataPackage* m_data = nullptr;
    int m_owned = 0;
};
