// CRecordFile: a file of length-prefixed text records shared by one writer
// and one reader (usually two processes). The file starts with a 32-bit
// little-endian read offset (4 when created: just behind itself) followed
// by records, each a 32-bit little-endian length and that many bytes.
//
// The writer appends; the reader hands out records from a position and
// stores the position it is given back into the header, so that a reader
// started later resumes behind what was acknowledged. The stored offset is
// never reset: records already consumed stay in the file (it is not
// shortened) and are not handed out again, and records the writer appends
// later are found behind them.
//
// Every call opens and closes the file, so writer and reader never hold it
// open at the same time. One thread drives an object.
#pragma once

#include <list>
#include <string>

class CRecordFile {
public:
    // reader 0: a writer, which creates the file with its 4-byte header when
    // it does not exist yet. An empty path is logged as a failed assertion
    // and makes every later call fail.
    CRecordFile(const std::string& path, int reader);

    // Writer only (else UC_ERR_NO_ROOM). UC_ERR_BAD_ARGUMENT for an empty record, UC_ERR_NO_ROOM when the
    // file cannot be opened, UC_ERR_BAD_DATA when the disk takes fewer bytes than the
    // record (the short record is cut off again so that the file stays
    // readable).
    int WriteRecord(const std::string& record);

    // Reader only (else UC_ERR_NO_ROOM). position 0xFFFFFFFF: start at the stored
    // offset; any other value is stored as the new offset (the caller has
    // consumed everything before it) and reading starts there. Appends up to
    // maxCount complete records to `records` and moves `position` behind
    // each. A record the writer has not finished yet is left for the next
    // call. UC_ERR_NO_ROOM when the file cannot be opened, UC_ERR_BAD_DATA for a position
    // outside the file or a header that cannot be read or stored.
    int ReadRecords(std::list<std::string>& records, unsigned short maxCount,
                    unsigned long& position);

    const std::string& GetFileName() const { return m_filename; }

private:
    std::string m_filename;
    bool m_bRead = false;
};
