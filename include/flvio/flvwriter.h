// CFlvWriter: turns encoded audio frames, video frames and script data into
// an FLV file. Each tag (header, body, back-pointer) is written with one file
// write; the writer reports where a tag starts and how long it was, so that a
// caller can later seek back and overwrite a tag of the same size (that is how
// onMetaData gets its final duration). The writer itself never rewrites.
//
// Write failures: the write operations return 0 even when the file took fewer
// bytes than asked (callers rely on that); a short or failed file write, a
// failed Flush() and a failed close in Finished() are recorded instead and
// read back with GetLastWriteError().
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "basekit/ucfile.h"
#include "flvio/flviotag.h"

class CDataPackage;
class CAmfECMAArray;

class CFlvWriter {
public:
    CFlvWriter();
    // Calls Finished().
    virtual ~CFlvWriter();

    CFlvWriter(const CFlvWriter&) = delete;
    CFlvWriter& operator=(const CFlvWriter&) = delete;

    // Opens `path` with a fresh file object (the previous one is released).
    // reopen non-zero: opens with "r+b" for patching a finished file, writes
    // nothing and returns the open's result. Otherwise creates the file and
    // writes the 13-byte header for `kinds`: 0 audio only, 1 video only, any
    // other value both. UC_ERR_NO_FILE without a file object; open errors pass through.
    // Every time stamp written later has timeBase subtracted (0 below it).
    // Resets GetLastWriteError().
    int Init(const std::string& path, unsigned long timeBase, int reopen, int kinds);

    // Declares a stream; `id` (its index, from 0) names it in later writes.
    int CreateAudioStream(FlvSoundType format, FlvSoundRate rate, int is8Bit, int isMono,
                          unsigned long& id);
    int CreateVideoStream(FlvVideoCodec codec, unsigned long& id);

    // Writes "onMetaData" at time stamp 0. A key is present when its value is
    // not 0, or always with allKeys: then the tag has the same size whatever
    // the values, which makes an in-place rewrite safe. `reserved` is unused.
    int CreateMetaData(unsigned duration, unsigned width, unsigned height, unsigned videodatarate,
                       unsigned framerate, unsigned videocodecid, unsigned audiodatarate,
                       double audiodelay, unsigned audiocodecid, int reserved,
                       unsigned long& tagPos, unsigned long& tagLen, int allKeys);

    // A script-data tag: the name (AMF string), the array, and one more end
    // marker 00 00 09.
    int WriteData(unsigned timeStamp, const std::string& name, CAmfECMAArray& value,
                  unsigned long* tagPos = nullptr, unsigned long* tagLen = nullptr);
    // A script-data tag from a ready body (complete non-zero) or from a body
    // that still lacks the final 00 00 09 (complete 0). 0, or UC_ERR_NO_ROOM without a
    // file.
    int WriteData(unsigned timeStamp, CDataPackage& body, int complete, unsigned long streamId = 0,
                  unsigned long* tagPos = nullptr);

    // Tags whose body is the whole package (first body byte already in front).
    int WriteAudio(unsigned timeStamp, CDataPackage& body, unsigned long streamId = 0,
                   unsigned long* tagPos = nullptr);
    int WriteVideo(unsigned timeStamp, CDataPackage& body, unsigned long streamId = 0,
                   unsigned long* tagPos = nullptr);

    // Tags whose first body byte comes from the declared stream; UC_ERR_BAD_ARGUMENT for an
    // unknown stream or an empty payload.
    int WriteAudio(unsigned long streamId, const std::string& payload, unsigned timeStamp);
    int WriteVideo(unsigned long streamId, FlvVideoFrame frame, const std::string& payload,
                   unsigned timeStamp);
    // The caller keeps its package. UC_ERR_BAD_ARGUMENT for an unknown stream.
    int WriteVideo(unsigned long streamId, FlvVideoFrame frame, CDataPackage& payload,
                   unsigned timeStamp);

    // Type 8 and 9 go to the package forms of WriteAudio/WriteVideo with
    // stream id 0; any other type becomes a complete script-data tag.
    int Write(unsigned timeStamp, CDataPackage& body, TagType type);

    // The file's seek (origin 0 start, 1 current, 2 end); UC_ERR_NO_ROOM without a file.
    int Seek(long offset, int origin);
    // The file position, 0xFFFFFFFF without a file.
    unsigned long GetPos();
    // Flushes the file; a failure is recorded for GetLastWriteError().
    void Flush();
    // Closes and releases the file (0 also without one). Patches nothing.
    int Finished();

    // 0, or the errno of the last short or failed file write, failed flush or
    // failed close; kept until the next Init.
    int GetLastWriteError() const { return m_nLastWriteError; }

protected:
    // The tag writer every write rests on: one tag of `type` whose body is
    // the whole package, written with one file write. UC_ERR_NO_ROOM without a file.
    int Write(TagType type, unsigned timeStamp, CDataPackage& body, unsigned long streamId,
              unsigned long* tagPos, unsigned long* tagLen);

private:
    // A tag body made of an optional first byte and then either a package
    // chain or a run of bytes.
    struct TagBody {
        const unsigned char* prefix = nullptr;
        std::size_t prefixLen = 0;
        const CDataPackage* package = nullptr;
        const unsigned char* bytes = nullptr;
        std::size_t bytesLen = 0;
    };

    int WriteTag(TagType type, unsigned timeStamp, const TagBody& body, unsigned long streamId,
                 unsigned long* tagPos, unsigned long* tagLen);
    unsigned char* EncodeBuffer(std::size_t size);
    void WriteHeader(int kinds);
    // Writes the block with one file write; records a shortfall. Bytes written.
    long WriteBlock(const unsigned char* data, std::size_t size);
    void RecordFileError(int fallback);

    CUCAutoPtr<IUCFile> m_file;
    std::vector<unsigned char> m_audio_array;
    std::vector<unsigned char> m_video_array;
    unsigned int m_timeBase = 0;
    int m_nLastWriteError = 0;
    // Reused for every tag and grown when a bigger one comes, so that a steady
    // stream of tags allocates nothing.
    std::unique_ptr<unsigned char[]> m_pEncodeBuf;
    std::size_t m_nEncodeBufSize = 0;
};
