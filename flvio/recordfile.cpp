#include "flvio/recordfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "basekit/logwrapper.h"
#include "basekit/resultcodes.h"
#include "basekit/ucfile.h"

namespace {

constexpr unsigned long kHeaderLen = 4;

void PutLe32(unsigned char* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t GetLe32(const unsigned char* in) {
    return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
           (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}

CUCAutoPtr<IUCFile> OpenFile(const std::string& path, const char* mode) {
    CUCAutoPtr<IUCFile> file(CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_ORDINARY));
    if (file && file->Open(path, mode) != 0) file.Reset();
    return file;
}

long FileLength(IUCFile& file) {
    if (file.Seek(0, 2) != 0) return -1;
    return file.Tell();
}

}  // namespace

CRecordFile::CRecordFile(const std::string& path, int reader) : m_filename(path), m_bRead(reader != 0) {
    UC_ASSERTE_RETURN(m_filename.length() > 0, );
    if (m_bRead) return;
    struct stat st {};
    if (::stat(m_filename.c_str(), &st) == 0) return;
    CUCAutoPtr<IUCFile> file = OpenFile(m_filename, "wb");
    if (!file) {
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CRecordFile::CRecordFile, can't create the file=" << m_filename);
        return;
    }
    unsigned char header[kHeaderLen];
    PutLe32(header, kHeaderLen);
    file->Write(header, kHeaderLen);
    file->Close();
}

int CRecordFile::WriteRecord(const std::string& record) {
    UC_ASSERTE_RETURN(!m_bRead, UC_ERR_NO_ROOM);
    if (record.empty()) return UC_ERR_BAD_ARGUMENT;
    if (m_filename.empty()) return UC_ERR_NO_ROOM;
    CUCAutoPtr<IUCFile> file = OpenFile(m_filename, "ab");
    if (!file) return UC_ERR_NO_ROOM;
    const long before = FileLength(*file.Get());
    unsigned char len[4];
    PutLe32(len, static_cast<std::uint32_t>(record.size()));
    const bool ok = file->Write(len, 4) == 4 &&
                    file->Write(record.data(), record.size()) == static_cast<long>(record.size()) &&
                    file->Flush() == 0;
    const int closed = file->Close();
    if (ok && closed == 0) return UC_OK;
    // A record cut short (a full disk) would be read as a record that never
    // completes; take it off again so that later records stay reachable.
    if (before >= static_cast<long>(kHeaderLen)) {
        if (::truncate(m_filename.c_str(), before) != 0) {
            UC_LOG_THIS(CLogWrapper::LOG_WARNING, "CRecordFile::WriteRecord, can't cut a short record, file=" << m_filename);
        }
    }
    return UC_ERR_BAD_DATA;
}

int CRecordFile::ReadRecords(std::list<std::string>& records, unsigned short maxCount,
                             unsigned long& position) {
    UC_ASSERTE_RETURN(m_bRead, UC_ERR_NO_ROOM);
    if (m_filename.empty()) return UC_ERR_NO_ROOM;
    CUCAutoPtr<IUCFile> file = OpenFile(m_filename, "r+b");
    if (!file) return UC_ERR_NO_ROOM;
    const long fileLen = FileLength(*file.Get());
    if (fileLen < static_cast<long>(kHeaderLen)) return UC_ERR_BAD_DATA;
    unsigned char buf[4];
    if (position == 0xFFFFFFFFul) {
        if (file->Seek(0, 0) != 0 || file->Read(buf, 4) != 4) return UC_ERR_BAD_DATA;
        position = GetLe32(buf);
    } else {
        if (position < kHeaderLen || position > static_cast<unsigned long>(fileLen)) return UC_ERR_BAD_DATA;
        PutLe32(buf, static_cast<std::uint32_t>(position));
        if (file->Seek(0, 0) != 0 || file->Write(buf, 4) != 4) return UC_ERR_BAD_DATA;
    }
    if (position < kHeaderLen || position > static_cast<unsigned long>(fileLen)) return UC_ERR_BAD_DATA;
    unsigned long pos = position;
    for (unsigned n = 0; n < maxCount; ++n) {
        // Only bytes that are in the file are read: a length field never
        // decides an allocation before its record is there.
        if (static_cast<unsigned long>(fileLen) - pos < 4) break;
        if (file->Seek(static_cast<long>(pos), 0) != 0 || file->Read(buf, 4) != 4) break;
        const unsigned long len = GetLe32(buf);
        if (len > static_cast<unsigned long>(fileLen) - pos - 4) break;
        std::string record(len, '\0');
        if (len > 0 && file->Read(record.data(), len) != static_cast<long>(len)) break;
        records.push_back(std::move(record));
        pos += 4 + len;
        position = pos;
    }
    return UC_OK;
}
