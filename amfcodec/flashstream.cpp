#include "amfcodec/flashstream.h"

#include <bit>
#include <cstdint>

#include "basekit/logwrapper.h"

using amfcodec::RESULT_NO_ROOM;

namespace {

// Big-endian (order non-zero) or little-endian byte layout of the low `n`
// bytes of v.
void StoreBytes(std::uint64_t v, unsigned n, int order, UI8* out) {
    for (unsigned i = 0; i < n; ++i) {
        unsigned shift = 8 * (order ? n - 1 - i : i);
        out[i] = static_cast<UI8>(v >> shift);
    }
}

std::uint64_t LoadBytes(const UI8* in, unsigned n, int order) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
        unsigned shift = 8 * (order ? n - 1 - i : i);
        v |= static_cast<std::uint64_t>(in[i]) << shift;
    }
    return v;
}

}  // namespace

CFlashStream::CFlashStream(CDataPackage& data, int duplicate) {
    if (duplicate) {
        m_data = data.DuplicatePackage();
        m_owned = 1;
    } else {
        m_data = &data;
    }
}

CFlashStream::CFlashStream(unsigned long size) {
    CDataPackage temporary(size, nullptr, CDataPackage::FLAG_NONE, 0);
    m_data = temporary.DuplicatePackage();
    m_owned = 1;
}

CFlashStream::~CFlashStream() {
    if (m_data && m_owned) m_data->DestroyPackage();
}

int CFlashStream::Put(const UI8* bytes, unsigned int n) { return m_data->Write(bytes, n, nullptr); }

int CFlashStream::Get(UI8* bytes, unsigned int n, int advance) {
    return m_data->Read(bytes, n, nullptr, advance);
}

int CFlashStream::PutUI8(UI8 v) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= sizeof(UI8), RESULT_NO_ROOM);
    return Put(&v, 1);
}

int CFlashStream::PutUI16(UI16 v, int order) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= sizeof(UI16), RESULT_NO_ROOM);
    UI8 bytes[2];
    StoreBytes(v, 2, order, bytes);
    return Put(bytes, 2);
}

int CFlashStream::PutUI24(UI32 v, int order) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= 3, RESULT_NO_ROOM);
    UI8 bytes[3];
    StoreBytes(v & 0xFFFFFFu, 3, order, bytes);
    return Put(bytes, 3);
}

int CFlashStream::PutUI32(UI32 v, int order) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= sizeof(UI32), RESULT_NO_ROOM);
    UI8 bytes[4];
    StoreBytes(v, 4, order, bytes);
    return Put(bytes, 4);
}

int CFlashStream::PutDouble(double v) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= 8, RESULT_NO_ROOM);
    UI8 bytes[8];
    StoreBytes(std::bit_cast<std::uint64_t>(v), 8, 1, bytes);
    return Put(bytes, 8);
}

int CFlashStream::PutData(const unsigned char* data, unsigned int len) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= len, RESULT_NO_ROOM);
    return Put(data, len);
}

int CFlashStream::PutPackage(const CDataPackage& src, unsigned int len) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageSpace() >= len, RESULT_NO_ROOM);
    UC_ASSERTE_RETURN(src.GetPackageLength() >= len, RESULT_NO_ROOM);
    if (len == 0) return 0;
    int rv = src.Peek(m_data->GetWritePtr(), len, 0, nullptr);
    if (rv != 0) return rv;
    return m_data->AdvancePackageWritePtr(len, nullptr);
}

int CFlashStream::GetUI8(UI8& v) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= sizeof(UI8), RESULT_NO_ROOM);
    return Get(&v, 1, 1);
}

int CFlashStream::GetUI16(UI16& v, int order) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= sizeof(UI16), RESULT_NO_ROOM);
    UI8 bytes[2];
    int rv = Get(bytes, 2, 1);
    if (rv == 0) v = static_cast<UI16>(LoadBytes(bytes, 2, order));
    return rv;
}

int CFlashStream::GetUI24(UI32& v, int /*order*/) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= 3, RESULT_NO_ROOM);
    UI8 bytes[3];
    int rv = Get(bytes, 3, 1);
    if (rv == 0) v = static_cast<UI32>(LoadBytes(bytes, 3, 1));
    return rv;
}

int CFlashStream::GetUI32(UI32& v, int order) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= sizeof(UI32), RESULT_NO_ROOM);
    UI8 bytes[4];
    int rv = Get(bytes, 4, 1);
    if (rv == 0) v = static_cast<UI32>(LoadBytes(bytes, 4, order));
    return rv;
}

int CFlashStream::GetDouble(double& v) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= 8, RESULT_NO_ROOM);
    UI8 bytes[8];
    int rv = Get(bytes, 8, 1);
    if (rv == 0) v = std::bit_cast<double>(LoadBytes(bytes, 8, 1));
    return rv;
}

int CFlashStream::GetData(unsigned char* data, unsigned int len) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= len, RESULT_NO_ROOM);
    return Get(data, len, 1);
}

int CFlashStream::Peek(unsigned char* data, unsigned int len) {
    UC_ASSERTE_RETURN(m_data && m_data->GetPackageLength() >= len, RESULT_NO_ROOM);
    return Get(data, len, 0);
}

int CFlashStream::Forward(unsigned long n, int read) {
    if (!m_data) return RESULT_NO_ROOM;
    return read ? m_data->AdvancePackageReadPtr(n, nullptr) : m_data->AdvancePackageWritePtr(n, nullptr);
}

int CFlashStream::Eof(int read) const {
    if (!m_data) return 1;
    return (read ? m_data->GetPackageLength() : m_data->GetPackageSpace()) == 0 ? 1 : 0;
}

unsigned long CFlashStream::GetLength() const { return m_data ? m_data->GetPackageLength() : 0; }

unsigned long CFlashStream::GetSpace() const { return m_data ? m_data->GetPackageSpace() : 0; }

UI8* CFlashStream::GetReadPtr() const { return m_data ? m_data->GetReadPtr() : nullptr; }

UI8* CFlashStream::GetWritePtr() const { return m_data ? m_data->GetWritePtr() : nullptr; }
