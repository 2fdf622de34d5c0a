// CTsWriter: writes an MPEG-2 transport stream with one program: an optional
// H.264 video stream (PID 0x100) and one audio stream (PID 0x101), AAC (ADTS
// frames) or MP3. Whole frames with 90 kHz time stamps go in; each call cuts
// its frame into 188-byte packets with a PES header, inserts SDT, PAT and PMT
// and PCRs, and writes the packets to the file. Small audio frames are
// gathered into one PES of up to 2930 bytes. The file can be switched to a new
// segment between frames.
//
// One thread drives a writer. The writer owns its buffers and holds one
// reference of its file object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "basekit/ucfile.h"

// Codec identifiers of the transport stream classes.
enum CodecID : int {
    CODEC_ID_NONE = 0,
    CODEC_ID_MPEG1VIDEO = 1,
    CODEC_ID_MPEG2VIDEO = 2,
    CODEC_ID_MPEG4 = 13,
    CODEC_ID_H264 = 28,
    CODEC_ID_VC1 = 73,
    CODEC_ID_DIRAC = 116,
    CODEC_ID_PCM_BLURAY = 65557,
    CODEC_ID_MP3 = 86017,  // 0x15001
    CODEC_ID_AAC = 86018,  // 0x15002
    CODEC_ID_AC3 = 86019,
    CODEC_ID_DTS = 86020,
    CODEC_ID_TRUEHD = 86060,
    CODEC_ID_EAC3 = 86056,
    CODEC_ID_AAC_LATM = 86065,
    CODEC_ID_HDMV_PGS_SUBTITLE = 94214,
};

class CTsWriter {
public:
    enum {
        TS_PACKET_SIZE = 188,
        TS_VIDEO_PID = 0x100,
        TS_AUDIO_PID = 0x101,
        TS_PMT_PID = 0x0FFF,
        TS_SDT_PID = 0x11,
        TS_PAT_PID = 0,
        MAX_TSSTREAM_LEN = 1880000,
        AUDIO_GATHER_SIZE = 2930,
    };

    CTsWriter();
    // Calls Stop().
    ~CTsWriter();
    CTsWriter(const CTsWriter&) = delete;
    CTsWriter& operator=(const CTsWriter&) = delete;

    // Creates `path` ("wb"). bHaveVideo: a video stream is declared; mp3
    // non-zero: the audio is MP3, else AAC. audioUnitBytes/audioUnitTicks:
    // size and 90 kHz duration of one MP3 frame for time stamp smoothing
    // (0: none). plainTimestamps non-zero: time stamps are written as given;
    // otherwise they are rebased to start at 90000 (one second).
    // UC_ERR_NO_ROOM on an open writer, UC_ERR_NO_FILE without a file object; open errors pass
    // through.
    int Init(const std::string& path, int bHaveVideo, int mp3, unsigned long audioUnitBytes,
             int audioUnitTicks, int plainTimestamps);
    // Non-zero selects MP3, zero AAC.
    void SetAudioCodec(int codec);

    // One Annex B access unit (start codes). UC_ERR_BAD_DATA without video, UC_ERR_NO_ROOM
    // without a file, UC_ERR_BAD_ARGUMENT for an empty frame, UC_ERR_BAD_DATA on a failed write.
    int WriteAVCVideo(std::int64_t timeStamp, const unsigned char* data, unsigned long length,
                      int keyFrame);
    // One ADTS AAC or MP3 frame; `smoothing` asks for MP3 time stamp smoothing.
    int WriteAudio(std::int64_t timeStamp, const unsigned char* data, unsigned long length,
                   int smoothing);

    // Writes the gathered audio, closes the file and opens `path` as the next
    // segment (an empty path leaves no file open). Counters and time bases
    // carry on. UC_ERR_BAD_DATA when the gathered audio or the bytes the file object
    // still held could not be written.
    int AddNewSeg(const std::string& path);
    // The previous boundary and the file's current length (the new boundary).
    // UC_ERR_BAD_DATA without a file.
    int AddNewSeg(unsigned long& previousBoundary, unsigned long& currentBoundary);

    // Writes the gathered audio and closes the file.
    void Stop();

    // CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial 0xFFFFFFFF, no
    // reflection, no final XOR). Over a whole section including its CRC it
    // gives 0.
    static std::uint32_t Crc32(const unsigned char* data, std::size_t len);

private:
    enum { MODE_NORMAL = 0, MODE_FLUSH = 2 };

    static void InitCRCTable();

    void ApplyTimestampBase(std::int64_t timeStamp);
    int EncFrame(std::int64_t timeStamp, const unsigned char* data, unsigned long length, int codec,
                 int keyFrame, int mode);
    int FlushGatheredAudio();
    // Builds the frame's packets in the packet buffer and writes them.
    int EncPES(std::int64_t pts, const unsigned char* data, unsigned long length, int codec,
               int keyFrame);
    // Room for one more packet; writes out what the buffer holds when full.
    int ReservePacket();
    int WriteBuffered();
    void PutSection(int pid, std::uint32_t& counter, int tableId, int extension,
                    const unsigned char* body, std::size_t bodyLen);
    void PutPAT();
    void PutPMT();
    void PutSDT();

    std::uint32_t m_nSDTCounter = 0;
    std::uint32_t m_nPATCounter = 0;
    std::uint32_t m_nPMTCounter = 0;
    std::uint32_t m_nVideoCounter = 0;
    std::uint32_t m_nAudioCounter = 0;

    unsigned char* m_pBufPoint = nullptr;
    std::unique_ptr<unsigned char[]> m_szTsStreamBuf;

    std::unique_ptr<unsigned char[]> m_szAudioBuf;
    std::uint32_t m_dwAudioLen = 0;
    std::uint32_t m_dwAudioBufSize = AUDIO_GATHER_SIZE;
    std::int64_t m_nAudioFirstTimeStamp = 0;

    CUCAutoPtr<IUCFile> m_file;
    int m_bHaveVideo = 0;
    int m_nAudioCodec = CODEC_ID_AAC;

    int m_nPATPMTPackets = 200;
    int m_nSDTPackets = 200;
    int m_nPCRPackets = 2;

    std::int64_t m_nFirstTimeStamp = -1;
    std::int64_t m_nTimeStampDelay = 0;
    int m_bWaitFirstKey = 1;
    std::uint16_t m_wPCRPid = TS_AUDIO_PID;
    std::int64_t m_nLastAudioTimeStamp = 0;
    unsigned long m_dwAudioUnitBytes = 0;
    int m_nAudioUnitTicks = 0;
    std::uint32_t m_dwLastBoundary = 0;
    int m_bPlainTimestamps = 0;

    int m_nWriteResult = 0;  // of the packet writes of the current frame

    static std::uint32_t m_crc32_table[256];
    static bool m_bInitCrcTable;
};
