// CFLVPlayer: plays an FLV recording back tag by tag for a caller that
// renders it, and jumps to a time through an index of (time stamp, file
// position) pairs. Files with a version-2 header start with two script-data
// tags whose bodies Start hands to the caller before the media tags.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flvio/flviotag.h"

class CDataPackage;
class CFlvReader;

class CFLVPlayer {
public:
    // One entry of the audio/video index.
    struct AVIndexEntry {
        unsigned long dwTimeStamp = 0;  // ms
        unsigned long dwPos = 0;        // file position of a tag to resume at
    };
    // One page change of the data index.
    struct DataIndexEntry {
        std::string strTitle;
        std::string strId;
        unsigned long dwTimeStamp = 0;
        unsigned long dwPos = 0;
    };

    CFLVPlayer();
    virtual ~CFLVPlayer();

    CFLVPlayer(const CFLVPlayer&) = delete;
    CFLVPlayer& operator=(const CFLVPlayer&) = delete;

    // 1 when the cache home followed by `name` is a readable file.
    static int HaveCacheFile(const std::string& name);

    // Opens GetRPHome(cache) + filename and reports the header's stream
    // counts. For a version-2 file, `first` and `second` receive copies of the
    // two leading script-data bodies (the second without its trailing
    // 00 00 09); the caller releases them with DestroyPackage(). `third` is
    // not touched. Other outputs stay untouched for a version-1 file.
    int Start(const std::string& filename, int cache, unsigned short& audioCount,
              unsigned short& videoCount, CDataPackage*& first, CDataPackage*& second,
              CDataPackage*& third);
    // The next tag: full time stamp, stream id, type, key (1 for a video key
    // frame) and a copy of the body that the caller releases with
    // DestroyPackage(). After Skip, video up to the next key frame is dropped.
    int ReadNextPackage(unsigned long& timeStamp, unsigned long& streamId, TagType& type, int& key,
                        CDataPackage*& body);
    // Jumps to the first index entry at or after timeStamp; always 0.
    int Skip(unsigned long timeStamp);
    // Closes and deletes the reader.
    void Stop();

protected:
    // Parse the index texts; entries are appended in text order.
    int BuildAVIndex(const std::string& text);
    int BuildDataIndex(const std::string& text);
    int GetAVIndexElement(const std::string& element, AVIndexEntry& entry);
    int GetDataIndexElement(const std::string& element, DataIndexEntry& entry);
    // The text between the two double quotes that follow `name` in `text`.
    int GetSubStringFromXMLElement(const std::string& text, const std::string& name,
                                   std::string& value);

    // Reading stops once the reader's position reaches pos (0: no end).
    void SetEndPos(unsigned long pos) { m_dwEndPos = pos; }

    std::unique_ptr<CFlvReader> m_pReader;
    std::vector<AVIndexEntry> m_avIndex;
    std::vector<DataIndexEntry> m_dataIndex;
    unsigned long m_dwEndPos = 0;
    unsigned long m_dwLastTimeStamp = 0;
    int m_bWaitKey = 0;
};
