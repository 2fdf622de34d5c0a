// CScreenCastPortal: a session of the desktop's screen-cast portal
// (org.freedesktop.portal.ScreenCast on the session bus): one monitor with
// the cursor embedded, chosen once by the user and remembered with the
// portal's restore token, then the PipeWire remote that carries its video.
//
// Opened on the thread that starts the canvas, then polled by the canvas
// thread; owns its bus connection and closes the portal session when it goes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CDBusConnection;
struct DBusMessageIter;

class CScreenCastPortal {
public:
    // What Start gave: the stream's PipeWire node and the monitor's place
    // and size on the desktop (logical pixels; 0 when the portal did not say).
    struct Stream {
        std::uint32_t dwNode = 0;
        int nX = 0;
        int nY = 0;
        int nWidth = 0;
        int nHeight = 0;
    };

    // How Open ended.
    enum Result { kOk, kRefused, kFailed };

    // Time the user has to answer the portal's dialog.
    static constexpr int kChooseTimeoutMs = 120000;
    // Time any other portal call has.
    static constexpr int kCallTimeoutMs = 10000;

    CScreenCastPortal();
    ~CScreenCastPortal();
    CScreenCastPortal(const CScreenCastPortal&) = delete;
    CScreenCastPortal& operator=(const CScreenCastPortal&) = delete;

    // Runs CreateSession, SelectSources, Start and OpenPipeWireRemote.
    // kRefused: the user cancelled or closed the dialog; kFailed: no portal,
    // no screen-cast support, an error or no answer. `error` says which.
    Result Open(std::string& error);
    const Stream& GetStream() const { return m_stream; }
    // The PipeWire remote's socket, handed over (-1 once taken).
    int TakePipeWireFd();
    // False once the portal closed the session or left the bus.
    bool Poll();

    // Reads one entry of Start's results: "streams" (the first stream's node,
    // position and size into `stream`; true when it had one) and
    // "restore_token". Anything else, or of another type, is ignored.
    static bool ReadStartResult(const std::string& key, DBusMessageIter* value, Stream& stream,
                                std::string& restoreToken);

    // Where the restore token is kept: the per-user settings folder.
    static std::string TokenPath();
    static std::string LoadToken();
    static void SaveToken(const std::string& token);

private:
    bool Request(const char* method, const std::string& sessionArg, const std::string& token, int timeoutMs,
                 const std::function<void(DBusMessageIter*)>& appendOptions, std::uint32_t& response,
                 const std::function<void(const std::string&, DBusMessageIter*)>& result,
                 std::string& error);
    std::string NewToken();

    std::unique_ptr<CDBusConnection> m_pBus;
    std::string m_strSession;  // the session's object path
    std::string m_strSender;   // our unique name in request paths
    Stream m_stream;
    int m_nFd = -1;
    int m_nTokens = 0;
    bool m_bClosed = false;
};
