// CRecOptions: the command line of tolvane-rec.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CRecOptions {
public:
    // What --mic and --speaker name: the default endpoint, none, or one
    // endpoint by ID or friendly name.
    enum DeviceChoice { kDefault, kNone, kNamed };

    // False with `error` set for a wrong command line.
    bool Parse(int argc, char** argv, std::string& error);

    bool m_bHelp = false;
    bool m_bListDevices = false;
    std::string m_strOutput;        // empty: DefaultOutputPath()
    int m_nSeconds = -1;            // -1: until SIGINT / SIGTERM
    DeviceChoice m_nMic = kDefault;
    std::string m_strMic;           // with kNamed
    DeviceChoice m_nSpeaker = kDefault;
    std::string m_strSpeaker;
    int m_nWidth = 1280;            // multiples of 16 (rounded down, as the recorder does)
    int m_nHeight = 720;
    bool m_bSizeRounded = false;    // --size was not a multiple of 16
    bool m_bSizeGiven = false;      // --size was given
    bool m_bDumpAudio = false;
    std::string m_strSource;           // "test" or "screen"; empty: not given
    std::string m_strBackend;          // --backend: "x11", "portal", empty: chosen by the capture component
    bool m_bScreenRect = false;        // --source screen:X,Y,W,H
    int m_nScreenX = 0;                // the rectangle, physical pixels
    int m_nScreenY = 0;
    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    std::vector<std::uint32_t> m_FlashAtMs;  // flash instants, ms after the first picture

    // Without --source: the screen where there is a display and no
    // --flash-at (which needs the test pattern), else the test pattern.
    void ChooseDefaultSource(bool bDisplay);

    // The documents folder: `xdg-user-dir DOCUMENTS`, else $HOME/Documents,
    // else $HOME (else the current folder).
    static std::string DocumentsFolder();
    // folder + "/" + "%04d%02d%02d%02d%02d%02d.flv" of the local time `when`.
    static std::string DefaultOutputPath(const std::string& folder, std::time_t when);
    // The dump path beside an FLV path: ".flv" replaced by ".AAC" (appended
    // when the path does not end in ".flv").
    static std::string DumpPathFor(const std::string& flvPath);

    // The picture size of --source screen without --size: 1280x720 for the
    // full screen (as the recorder's full-screen mode), else the rectangle's
    // size rounded down to multiples of 16; false for a rectangle below 16x16.
    static bool ScreenPictureSize(bool bRect, int rectWidth, int rectHeight, int& width, int& height);

private:
    bool ParseSource(const std::string& value, std::string& error);
    static bool ParseDevice(const std::string& value, DeviceChoice& choice, std::string& name);
    bool ParseSize(const std::string& value, std::string& error);
    bool ParseFlashList(const std::string& value, std::string& error);
};
