// CFLVRecorder: records a live audio/video stream as a rolling series of
// short FLV files ("record%u.flv", about 2.8 s each) in one folder, with an
// index file (by default "record.xml") that lists the files a client may
// fetch. Files that fall out of the delay window leave the index and are
// deleted from the disk a removal margin later (500 s unless set), so the
// folder holds a moving window of the stream. Without segmenting it writes
// one FLV file.
//
// Every file is a complete FLV on its own: both configurations (video, then
// audio) before its first frame, the AVC configuration again before every
// key frame, and an "onXML" metadata tag behind its first frame. The files
// carry no onMetaData: its duration is whole seconds, which would make
// players that join files (ffmpeg's concat) misplace the next file. Only finished files are listed in the index, so every listed
// file is complete; a file finished while paused has the status "pause", the
// last one "stop", all others "normal".
//
// IFileNotify (set with SetFileNotify) is called on the recorder's thread,
// from the media calls and Stop:
//   OnFileFinished  a file was closed and added to the index;
//   OnFileRemoved   a file left the index (clients no longer find it);
//   OnFileDeleted   a file that had left the index was deleted.
//
// Threads: none inside; one thread drives a recorder. Packages stay the
// caller's; the notification object stays the caller's and must outlive the
// recorder or be unset first.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "flvio/recordtypes.h"

class CDataPackage;
class CFlvWriter;

class IFileNotify {
public:
    virtual void OnFileFinished(const std::string& name, unsigned long startTime, unsigned long duration,
                                unsigned long size) = 0;
    virtual void OnFileRemoved(const std::string& name) = 0;
    virtual void OnFileDeleted(const std::string& name) = 0;

protected:
    virtual ~IFileNotify() = default;
};

class CFLVRecorder {
public:
    enum { MAX_STREAM_NUM = 4 };

    CFLVRecorder();
    // Stops a running recording.
    ~CFLVRecorder();
    CFLVRecorder(const CFLVRecorder&) = delete;
    CFLVRecorder& operator=(const CFLVRecorder&) = delete;

    // "<id>/sbr/<YYYY>_<MM>_<DD>/<name>_<now + add>/record.flv".
    static std::string CreateRecordFilename(long long id, long long time, const std::string& name,
                                            unsigned long add);

    // fullName: "<folder>/<index name>" (a name without '/' is the folder,
    // the index then "record.xml"); in single-file mode (segment 0) the FLV
    // file itself. delaySeconds: the window of files kept in the index.
    // UC_ERR_BAD_ARGUMENT for an empty name, UC_ERR_NO_ROOM when running, UC_ERR_NO_WRITER without a writer,
    // UC_ERR_BAD_DATA when the folder cannot be created, the writer's open error.
    int Start(const std::string& fullName, unsigned short width, unsigned short height, AudioPriority& audio,
              unsigned long segment, unsigned long delaySeconds, const std::string& url,
              const std::string& backUrl);

    // Media. UC_ERR_NO_ROOM while paused, before a configuration (video), for an
    // inter frame while the recording has no video; UC_ERR_BAD_DATA before Start, for
    // audio of 7 bytes or less (AAC) or empty, and for a failed write.
    int RecordRawAVC(unsigned long timeStamp, CDataPackage& data, AVCPackageType type, unsigned short streamId);
    int RecordRawMP3(unsigned long timeStamp, CDataPackage& data, unsigned short streamId);
    int SetAVCConfigure(CDataPackage& data, unsigned short streamId);
    // Page changes (type 1: info->name is the title) go into the metadata tag.
    int RecordRawData(unsigned long timeStamp, CDataPackage& data, CDataInfo* info);
    // Extra metadata XML, written as an "onXML" tag into the current file.
    int RecordMetaDataXML(const std::string& xml);
    int SetVideoParameters(unsigned short width, unsigned short height, unsigned short fps, int vod);
    int AsStart();
    int AsStop();
    int VodStart();
    int VodStop();
    // noVideo 0: the stream has video (from now on); non-zero: audio only.
    int NoAV(int noVideo);
    // pause non-zero pauses, 0 resumes; the paused time (tick clock) is left
    // out of the media times.
    int Pause(int pause);
    // Throws away the file being written (never listed); the next media
    // starts a new file with the new-stream mark.
    int ClearAV(unsigned long reserved);
    int Stop();
    void SetFileNotify(IFileNotify* notify) { m_pNotify = notify; }
    void SetCurrentDocumentInfo(std::string info) { m_strDocumentInfo = std::move(info); }
    // How long a file that left the index stays on the disk (ms, default 500000).
    void SetRemovalMargin(unsigned long ms) { m_dwRemoveMargin = ms; }

    const std::string& GetRecordPath() const { return m_strPath; }
    std::string GetIndexFile() const { return m_strPath + m_strIndexName; }

private:
    struct FileEntry {
        std::string name;
        unsigned long start = 0;
        unsigned long duration = 0;
        unsigned long size = 0;
        bool newStream = false;
        bool keyStart = false;
        const char* status = "normal";
    };

    bool MediaTime(unsigned long timeStamp, bool audio, unsigned long& mediaTime);
    int SaveAnotherFile(bool keyStart);
    void FinishCurrent(const char* status);
    void SaveRecordIndex();
    int SaveVideoMeta(unsigned long mediaTime);
    int StartFileTags(unsigned long mediaTime);
    int Write(bool audio, unsigned long mediaTime, const std::string& body);
    bool FileHasMedia() const;

    bool m_bStarted = false;
    std::string m_strPath, m_strIndexName, m_strUrl, m_strBackUrl, m_strDocumentInfo;
    AudioPriority m_audio;
    unsigned char m_byAudio = 0xAF;
    unsigned short m_nWidth = 0, m_nHeight = 0;
    unsigned long m_dwSegDuration = 0;  // 0: one file
    unsigned long m_dwMaxSegDuration = 0;
    unsigned long m_dwMaxDelay = 0;
    unsigned long m_dwRemoveMargin = 500000;
    unsigned long m_dwCounter = 0;
    IFileNotify* m_pNotify = nullptr;

    std::unique_ptr<CFlvWriter> m_pWriter;
    FileEntry m_current;
    unsigned long m_dwFileMediaPos = 0;
    std::deque<FileEntry> m_files;
    std::deque<FileEntry> m_removal;
    unsigned long m_dwTotalSize = 0;

    bool m_bHaveStart = false;
    unsigned long m_dwStartTime = 0;
    unsigned long m_dwReference = 0;
    unsigned long m_dwPauseTimeInterval = 0;
    unsigned long m_dwPauseTimeStamp = 0;  // tick at the pause, 0 while running
    unsigned long m_dwLastTime = 0;
    unsigned long m_dwLastVideoTime = 0;
    unsigned long m_dwLastAudioTime = 0;
    bool m_bSawAudio = false;
    bool m_bVideoMarked = false;  // the "video without audio" mark was given
    unsigned long m_dwLastNewStream = 0;
    bool m_bNewStreamPending = true;
    bool m_bForceNewFile = false;

    std::string m_strAVCConfig[MAX_STREAM_NUM];
    bool m_bHaveVideo = false;
    bool m_bVideoStopped = false;  // the video went away (audio 30 s without it)
    bool m_bAs = false, m_bVod = false;
    bool m_bAacConfigWritten = false;
    bool m_bFileStarted = false;  // the current file has its configuration tags
    std::string m_strAacConfig;   // the AAC sequence header's tag body
    bool m_bMetaPending = false;
    std::string m_strPageXml;
};
