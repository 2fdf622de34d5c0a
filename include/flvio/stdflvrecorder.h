// CSTDFLVRecorder: records a conference session into one folder: the audio
// (AAC or MP3 frames) and AVC video as FLV (one file, or segment files of a
// fixed number of minutes with generated ".qrf" names), an XML index file
// describing the session (documents and pages, votes, surveys, lotteries,
// layouts, browser addresses, application sharing, photos, pauses, segments,
// key frames) and side files (annotations, chat, live text, page files,
// photos).
//
// Session times are milliseconds from the first media time stamp, with
// pauses and long media gaps left out; the index writes them as seconds.
//
// Received event text (annotation, vote, survey and action XML) is put into
// the index as markup only when it is well-formed; otherwise the event is
// logged and refused with UC_ERR_BAD_ARGUMENT and nothing is recorded. Names, titles, chat
// lines and other user text are escaped (CUtilAPI::XMLSCEncode), so every
// XML file written stays well-formed.
//
// Threads: none inside; every call is made from the one thread that owns
// the recorder. The recorder owns its writer and files; packages and
// CDataInfo records stay the caller's.
#pragma once

#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "flvio/recordeventxml.h"
#include "flvio/recordtypes.h"

class CDataPackage;
class CFlvWriter;

class CSTDFLVRecorder final {
public:
    CSTDFLVRecorder();
    // Stops a running recording (final index and metadata).
    ~CSTDFLVRecorder();
    CSTDFLVRecorder(const CSTDFLVRecorder&) = delete;
    CSTDFLVRecorder& operator=(const CSTDFLVRecorder&) = delete;

    // "<id>/sbr/<YYYY>_<MM>_<DD>/<name>_<now + add>/record.xml" (UTC date of
    // `time`, now in seconds).
    static std::string CreateRecordFilename(long long id, long long time, const std::string& name,
                                            unsigned long add);

    // recordFileName: the index file ("....xml"; the media file is the same
    // name with ".flv") or a media name (the index is the name with its last
    // three characters replaced by "xml"). A name without ':' lies under the
    // record home (GetRPHome(0)) when underRecordHome is set; folders on the
    // way are created. segmentMinutes 0: one media file; otherwise segment
    // files of that many minutes (at least one). UC_ERR_BAD_ARGUMENT for an empty name,
    // UC_ERR_NO_ROOM when started, UC_ERR_NO_WRITER without a writer, UC_ERR_BAD_DATA when the record
    // folder cannot be created, the writer's open error.
    int Start(const std::string& sessionName, const std::string& confId, const std::string& recordFileName,
              unsigned short width, unsigned short height, AudioPriority& audio, int underRecordHome,
              unsigned long segmentMinutes, int reserved);

    // Media. UC_ERR_NO_ROOM while paused or before Start (10002 for audio without a
    // writer, UC_ERR_BAD_DATA for video without one); video before the first key frame
    // UC_ERR_NO_ROOM; AAC frames of 7 bytes or less, or whose ADTS header does not
    // convert, UC_ERR_BAD_DATA. A failed file write is returned as UC_ERR_BAD_DATA.
    int RecordRawAVC(unsigned long timeStamp, CDataPackage& data, AVCPackageType type);
    int RecordRawMP3(unsigned long timeStamp, CDataPackage& data, unsigned long reserved);
    int SetAVCConfigure(CDataPackage& data);

    // A session event, dispatched by info->type (RecordDataType). UC_ERR_NO_ROOM while
    // paused; 0 without info; UC_ERR_BAD_ARGUMENT for event XML that cannot be used.
    int RecordRawData(unsigned long timeStamp, CDataPackage& data, CDataInfo* info);

    // play 0 pauses at timeStamp, non-zero resumes; timeStamp is on the media
    // time stamps' clock. The paused time is left out of the session.
    int Pause(int play, unsigned long timeStamp);
    // Discards the media, annotations, votes, surveys, actions and sharing
    // records since the last page change (both handles must be 0xFFFFFFFF;
    // dwCurrent: now on the media clock).
    int ClearAV(unsigned long dwFileHandle, unsigned long dwBlockID, unsigned long dwCurrent);
    int AsStart(unsigned long width, unsigned long height, unsigned long fps);
    int AsStop();
    int SetVideoParameters(unsigned short width, unsigned short height, unsigned short fps);
    // Page information that arrives after the page (type 0: its text, 1: its
    // address) for the current page; handles are not used.
    int UpdatePageInfo(unsigned long fileHandle, unsigned long blockId, const std::string& info,
                       unsigned char type);
    int SetAudioPriority(AudioPriority& audio);
    // The session time in seconds.
    unsigned long GetRecordTime() const { return m_dwLastTime / 1000; }
    // Writes the final index, the side files and onMetaData; finishes the
    // media file. 0 also when not started.
    int Stop();

    // For callers and tests: where the files are.
    const std::string& GetRecordPath() const { return m_strRecordPath; }
    const std::string& GetIndexFile() const { return m_strIndexFile; }
    // Media files made so far (one in single-file mode), names only.
    std::vector<std::string> GetMediaFiles() const;
    // 0 or the errno of the last failed media write (a full disk).
    int GetLastWriteError() const { return m_nWriteError; }

private:
    enum Module {
        MOD_DOCUMENT, MOD_ANNOTATION, MOD_ANIMATION, MOD_VOTE, MOD_SURVEY, MOD_ACTION, MOD_AS,
        MOD_LOTTERY, MOD_LAYOUT, MOD_BROWSER, MOD_VIDEOKEY, MOD_VIDEOPARAM, MOD_MULTIRECORD,
        MOD_COUNT
    };
    // A queued document (type 0) or page (type 1) event.
    struct DPEvent {
        unsigned char type = 0;
        unsigned long time = 0;
        unsigned long id = 0;
        int docType = 0;
        std::string name;   // document name or page title, raw
        std::string extra;  // the page's file attributes
        unsigned height = 0, width = 0;
        bool speedup = false;
        unsigned step = 0;
        std::string url;
    };
    struct Segment {
        std::string name;
        unsigned long start = 0;  // session ms
        unsigned long stop = 0;
        unsigned long size = 0;
        bool haveVideo = false;
        std::string chatFile, annoFile;
        std::string events;  // the segment's event index
        std::size_t videoKeyLen = 0;  // videokey module length when it was opened
    };
    struct Photo {
        std::string file;
        unsigned width = 0, height = 0;
        unsigned long start = 0;
    };
    // Taken at every page change; ClearAV returns to it.
    struct Mark {
        bool valid = false;
        unsigned long filePos = 0;
        std::size_t lens[MOD_COUNT] = {};
        std::size_t actions = 0;
        std::size_t photos = 0;
        unsigned long pageTimeStamp = 0;  // media clock
        unsigned long pauseInterval = 0;
        unsigned long lastTime = 0;
        std::size_t segment = 0;
        unsigned long segmentStart = 0;
        std::unique_ptr<CRecordEventXml> events;
    };

    int OpenMediaFile(const std::string& path, unsigned long timeBase);
    int SaveAnotherRecordFile();
    void CloseSegment();
    std::string NextSegmentName();
    // The session time for a media time stamp, or false (with a code) to refuse it.
    bool MediaTime(unsigned long timeStamp, bool audio, unsigned long& mediaTime);
    int WriteTag(bool audio, unsigned long mediaTime, CDataPackage& body, unsigned long* pos);
    void UpdateMetaData();
    void CheckSaveXML();
    int WriteDataIndex(bool final);
    std::string DocumentModule(unsigned long endTime) const;
    int WriteDPXML(const DPEvent& ev, std::string& out, unsigned char& lastType, unsigned long& lastTime,
                   unsigned long& pageStart) const;
    std::string ActionModule() const;
    std::string SessionAttributes(bool final);
    bool WriteTextFile(const std::string& name, const std::string& text);
    bool WriteBinaryFile(const std::string& name, const std::string& bytes);

    int RecordDocPage(unsigned long now, CDataPackage& data, const CDataInfo& info);
    int RecordAnno(const std::string& xml);
    int RecordAnnoCommand(const std::string& command, unsigned long time);
    void AppendAnno(const std::string& entry);
    int RecordVote(const std::string& xml, bool survey);
    int RecordAction(const std::string& xml);
    int RecordLiveText(const std::string& text);
    int RecordPhoto(CDataPackage& data, const CDataInfo& info);
    int RecordLottery(const CDataInfo& info);
    int RecordLayout(const CDataInfo& info);
    int RecordBDInfo(const std::string& text);
    int RecordChat(const std::string& text);
    int RecordBrowserURL(const std::string& url);
    void RewindRecordFiles();
    void AddSingleEvent(const char* type, const std::string& content);

    bool m_bStarted = false;
    std::string m_strSessionName, m_strConfId;
    std::string m_strRecordPath;  // with a trailing '/'
    std::string m_strIndexFile, m_strMediaFile;
    unsigned short m_nVideoWidth = 0, m_nVideoHigh = 0;
    AudioPriority m_audio;
    unsigned char m_byAudio = 0xAF;
    std::time_t m_tStart = 0, m_tAVStart = 0;

    std::unique_ptr<CFlvWriter> m_pWriter;
    unsigned long m_dwMetaPos = 0, m_dwMetaLen = 0, m_dwMediaDataPos = 0;
    unsigned long m_dwFinalSize = 0;  // the single media file's size once finished
    int m_nWriteError = 0;

    // Time line.
    bool m_bHaveStart = false;
    unsigned long m_dwStartTime = 0;
    unsigned long m_dwLastTimeStamp = 0;
    unsigned long m_dwRefTick = 0;
    unsigned long m_dwPauseTimeInterval = 0;
    unsigned long m_dwPauseTimeStamp = 0;
    unsigned long m_dwLastTime = 0;
    bool m_bHaveAudioStamp = false;
    unsigned long m_dwLastAudioStamp = 0;
    bool m_bSawAudio = false;
    unsigned long m_dwLastAudioTime = 0;
    unsigned long m_dwLastAudioIndexTime = 0;
    bool m_bAacConfigWritten = false;

    // Video.
    bool m_bGotKey = false;
    bool m_bHaveVideo = false;
    std::string m_strAVCConfig;  // ready tag body
    bool m_bConfigPending = false;
    unsigned long m_dwConfigTime = 0;

    // Segments.
    unsigned long m_dwSegmentLen = 0;  // 0: single file
    unsigned long m_dwSegmentStart = 0;
    unsigned long m_dwSegmentBytes = 0;  // bytes of finished segments
    std::vector<Segment> m_segments;     // the current one last
    std::set<std::string> m_usedNames;
    std::size_t m_nAnnoSegStart = 0, m_nChatSegStart = 0;
    unsigned m_nSideFileNo = 0;
    CRecordEventXml m_events;

    // Index content.
    std::string m_modules[MOD_COUNT];
    std::vector<DPEvent> m_dpEvents;
    struct Action { unsigned long doc, page; std::string entry; };
    std::vector<Action> m_actions;
    bool m_bHaveDoc = false, m_bHavePage = false;
    unsigned long m_dwCurDocId = 0, m_dwCurPageId = 0;
    unsigned long m_dwCurrentPageTimeStamp = 0;
    std::string m_strLiveText, m_strChat;
    std::vector<Photo> m_photos;
    std::vector<std::pair<std::time_t, std::time_t>> m_pauses;
    std::time_t m_tPauseBegin = 0;
    bool m_bAsRunning = false;
    unsigned long m_dwAsWidth = 0, m_dwAsHeight = 0, m_dwAsFps = 0, m_dwAsStart = 0;
    unsigned short m_nFps = 15;
    unsigned long m_dwNextAnnoTime = 0;
    std::string m_strFreePen;
    std::time_t m_tLastSave = 0;
    Mark m_mark;
};
