// CFlvReader: reads an FLV file tag by tag. A finished reader reads a
// complete file; an unfinished one reads a file that another party may still
// be appending to: it reopens the file on every read, resumes behind the last
// complete tag and reports "nothing yet" (0 with no tag) for a partial tag.
#pragma once

#include <cstdint>
#include <string>

#include "basekit/ucfile.h"

class CDataPackage;
class CFlvioHeader;
class CFlvioTag;

class CFlvReader {
public:
    CFlvReader();
    virtual ~CFlvReader();

    CFlvReader(const CFlvReader&) = delete;
    CFlvReader& operator=(const CFlvReader&) = delete;

    // Reads the bytes of `data` as a finished file held in memory.
    virtual int Init(CDataPackage& data);
    // Opens `path` for reading; `finished` 0 marks a file that may still grow.
    // UC_ERR_NO_ROOM when a file is already open, else the open's result.
    virtual int Init(const std::string& path, int reserved, int unused, int finished);
    // Closes and releases the file.
    virtual int Clear();
    // Reads the 13-byte file header. An unfinished file must hold at least
    // 16384 bytes (UC_ERR_BAD_DATA otherwise).
    virtual int ReadHeader(CFlvioHeader& header);
    // The next complete tag, with one reference for the caller (who releases
    // it with ReleaseReference()). 0 with `tag` untouched: an unfinished file
    // holds no new complete tag yet. Finished files: UC_ERR_NO_ROOM at the end, UC_ERR_BAD_DATA
    // on a short read, UC_ERR_TAG_UNDECODABLE on an undecodable tag header.
    virtual int GetNextTag(CFlvioTag*& tag);
    virtual int IsEof();
    // The file position, 0xFFFFFFFF without a file.
    virtual unsigned long GetPos();
    // origin 0 from the start, 1 from the current position, 2 from the end;
    // -1 (a time) is not supported here: UC_ERR_BAD_DATA. UC_ERR_NO_ROOM without a file.
    virtual int Seek(long offset, int origin);
    // Reads the tag that ends at the current position; `tagPos` receives its
    // start. Meant for finished files.
    virtual int GetRTag(CFlvioTag*& tag, unsigned long& tagPos);
    // The producer is done: the file is read as complete from now on.
    virtual int SetFinish();
    virtual const std::string& GetFileName() const;
    virtual int IsFinish() const;

protected:
    // Reads up to n bytes, retrying short reads; the bytes actually read.
    unsigned long ReadFully(void* dst, unsigned long n);
    // Current length of the open file (seeks to the end and back), -1 on failure.
    long MeasureLength();
    // True when a finished file has no more bytes to give.
    bool AtEndOfData();

    CUCAutoPtr<IUCFile> m_flvFile;
    int m_reserved = 0;
    int m_bFinished = 0;
    std::uint32_t m_readPos = 0;
    std::string m_fileName;

private:
    int ReopenAtReadPos();

    long m_nFinishedLen = -1;  // length of a finished file, measured once it is opened
    int m_bInMemory = 0;       // opened from a package: there is no path to reopen
};
