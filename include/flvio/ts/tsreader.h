// CTSReader: reads an MPEG-2 transport stream (188-, 192- or 204-byte
// packets) and turns it into CTsTag objects: one per H.264 NAL unit (a run of
// units of the same type within one PES becomes one tag, the units separated
// by 00 00 00 01) and one per audio PES, each with its 90 kHz time stamps.
// A file that is still being written ("live") is read as far as it goes: a
// read that runs out of data returns -2 and resumes at the same place later.
//
// One thread drives a reader; the file may be appended to by another thread
// or process meanwhile. The reader holds one reference of its file object and
// owns its filters; tags are reference counted and handed out with one
// reference held by the list's smart pointer.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "basekit/ucfile.h"
#include "flvio/ts/tstag.h"

class CTSReader {
public:
    enum {
        TS_READ_OK = 0,
        TS_READ_END = -1,    // end of a finished file, or no sync byte found
        TS_READ_AGAIN = -2,  // not enough data yet (live file), try again later
    };
    enum { CODEC_KIND_VIDEO = 0, CODEC_KIND_AUDIO = 1, CODEC_KIND_OTHER = 2 };

    CTSReader();
    // Closes and releases the file.
    ~CTSReader();
    CTSReader(const CTSReader&) = delete;
    CTSReader& operator=(const CTSReader&) = delete;

    // bMemFile non-zero: `path` holds the stream's bytes. bFinished 0: the
    // file may still grow. dwFileSize non-zero (finished disk files): the
    // length the file must have (UC_ERR_BAD_DATA otherwise). UC_ERR_BAD_DATA when a finished file
    // has no readable header; open errors pass through.
    int Init(const std::string& path, int bMemFile, int bFinished, unsigned long dwFileSize);

    // Appends the tags of at least one completed PES: 0. -2 more data needed
    // (live file, or the header not readable yet); -1 at the end of a finished
    // file or when no sync byte can be found within 65536 bytes; a finished
    // file whose last packet is short gives that packet's byte count.
    int mpegts_read_packet(CTsTagList& tags);

    // The writer's side: bFinished makes the file finished, bNewName replaces
    // the path; the file is reopened at the saved position.
    void Finished(const std::string& path, int bNewName, int bFinished);

    // Frees the program list and every filter. 0.
    int Close();

    // What the reader has learned so far (for inspection tools).
    int GetPacketSize() const { return m_nPacketSize; }
    std::uint64_t GetContinuityErrors() const { return m_nContinuityErrors; }
    std::uint64_t GetPacketCount() const { return m_nPackets; }
    std::int64_t GetPosition() const { return m_nSavedPos; }
    struct StreamInfo {
        int nPid;
        int nStreamType;
        int nKind;
        int nCodec;
    };
    // The elementary streams of the PMTs seen, in PMT order.
    std::vector<StreamInfo> GetStreams() const;
    std::vector<int> GetPmtPids() const;

private:
    struct SectionFilter;
    struct PesContext;
    struct Filter;

    int ReadHeader();
    int GuessPacketSize(const unsigned char* buf, int len) const;
    int ReopenAtSavedPos();
    // The read cache: file bytes from m_nCacheStart; packets are taken at the
    // saved position.
    bool Fill(std::size_t need);
    std::size_t Available(std::size_t need);
    const unsigned char* At() const;
    // One packet into m_packet: 0, -1, -2 or a short packet's byte count.
    int ReadPacket();
    int Resync();
    void HandlePacket(const unsigned char* packet);
    void HandleSection(SectionFilter& filter, int pid, const unsigned char* data, int len,
                       bool start);
    void OnSection(int pid, const unsigned char* section, int len);
    void OnPAT(const unsigned char* section, int len);
    void OnPMT(const unsigned char* section, int len);
    void HandlePes(PesContext& pes, const unsigned char* data, int len, bool start);
    void CompletePes(PesContext& pes);
    void OutputVideo(PesContext& pes);
    void OpenSectionFilter(int pid, bool checkCrc);
    PesContext* OpenPesContext(int pid, int program);
    void ClearTagsAndRestart();

    CUCAutoPtr<IUCFile> m_file;
    std::string m_strPath;
    int m_bMemFile = 0;
    std::int64_t m_nSavedPos = 0;
    std::vector<unsigned char> m_cache;
    std::int64_t m_nCacheStart = 0;
    bool m_bCacheEof = false;
    int m_bFinished = 1;
    int m_bHeaderRead = 0;
    int m_nPacketSize = 188;
    int m_bAutoGuess = 0;
    int m_bSyncLost = 0;  // no sync byte within the resync limit: the reading is over

    std::vector<std::unique_ptr<Filter>> m_filters;  // 8192, by PID
    struct Program {
        int nNumber;
        int nPmtPid;
        std::vector<int> pids;
    };
    std::vector<Program> m_programs;
    std::vector<int> m_streamOrder;  // PES PIDs in the order the PMTs named them
    int m_bPmtSeen = 0;
    int m_bPesBeforePmt = 0;
    int m_bRestarted = 0;
    int m_bPesDone = 0;
    CTsTagList* m_pOut = nullptr;
    std::array<unsigned char, 204> m_packet{};
    std::vector<std::pair<std::size_t, std::size_t>> m_units;  // NAL units of the PES being split
    std::uint64_t m_nContinuityErrors = 0;
    std::uint64_t m_nPackets = 0;
};
