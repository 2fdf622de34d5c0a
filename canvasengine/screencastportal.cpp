#include "screencastportal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "basekit/logwrapper.h"
#include "dbusconnection.h"

namespace {
constexpr const char* kService = "org.freedesktop.portal.Desktop";
constexpr const char* kObject = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kResponseCancelled = 1;
constexpr const char* kTokenKey = "restore_token=";

std::string SettingsFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/orvix/Tolvane";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/orvix/Tolvane";
}

void MakeFolders(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0700);
    ::mkdir(path.c_str(), 0700);
}

// A property of the ScreenCast interface as a uint32; 0 when it cannot be read.
std::uint32_t ReadProperty(CDBusConnection& bus, const char* name) {
    DBusMessagePtr call(dbus_message_new_method_call(kService, kObject, DBUS_INTERFACE_PROPERTIES, "Get"));
    dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &kScreenCast, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    std::string error;
    DBusMessagePtr reply = bus.Call(call.get(), CScreenCastPortal::kCallTimeoutMs, error);
    if (!reply) return 0;
    DBusMessageIter iter, variant;
    dbus_message_iter_init(reply.get(), &iter);
    if (dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT) return 0;
    dbus_message_iter_recurse(&iter, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_UINT32) return 0;
    dbus_uint32_t value = 0;
    dbus_message_iter_get_basic(&variant, &value);
    return value;
}

// Reads "(ii)" at iter.
bool ReadPair(DBusMessageIter* iter, int& a, int& b) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_STRUCT) return false;
    DBusMessageIter pair;
    dbus_message_iter_recurse(iter, &pair);
    dbus_int32_t values[2] = {0, 0};
    for (dbus_int32_t& value : values) {
        if (dbus_message_iter_get_arg_type(&pair) != DBUS_TYPE_INT32) return false;
        dbus_message_iter_get_basic(&pair, &value);
        dbus_message_iter_next(&pair);
    }
    a = values[0];
    b = values[1];
    return true;
}
}  // namespace

CScreenCastPortal::CScreenCastPortal() = default;

CScreenCastPortal::~CScreenCastPortal() {
    if (m_nFd >= 0) ::close(m_nFd);
    if (!m_pBus || m_strSession.empty() || m_bClosed) return;
    DBusMessagePtr call(dbus_message_new_method_call(kService, m_strSession.c_str(), kSession, "Close"));
    std::string error;
    if (!m_pBus->Call(call.get(), 2000, error))
        UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- closing the screen-cast session: " << error);
}

std::string CScreenCastPortal::NewToken() {
    return "tolvane" + std::to_string(::getpid()) + "_" + std::to_string(++m_nTokens);
}

bool CScreenCastPortal::Request(const char* method, const std::string& sessionArg, const std::string& token,
                                int timeoutMs, const std::function<void(DBusMessageIter*)>& appendOptions,
                                std::uint32_t& response,
                                const std::function<void(const std::string&, DBusMessageIter*)>& result,
                                std::string& error) {
    // The answer comes as a Response signal on a path made of our name and
    // the token; listening starts before the call, which may be overtaken by it.
    const std::string path = "/org/freedesktop/portal/desktop/request/" + m_strSender + "/" + token;
    m_pBus->AddMatch("type='signal',interface='" + std::string(kRequest) + "',member='Response',path='" + path + "'");
    DBusMessagePtr call(dbus_message_new_method_call(kService, kObject, kScreenCast, method));
    DBusMessageIter iter;
    dbus_message_iter_init_append(call.get(), &iter);
    if (!sessionArg.empty()) {
        const char* session = sessionArg.c_str();
        dbus_message_iter_append_basic(&iter, DBUS_TYPE_OBJECT_PATH, &session);
    }
    appendOptions(&iter);
    if (!m_pBus->Call(call.get(), kCallTimeoutMs, error)) {
        error = std::string(method) + ": " + error;
        return false;
    }
    bool disconnected = false;
    DBusMessagePtr signal = m_pBus->WaitFor(
        [&path](DBusMessage* m) {
            return dbus_message_is_signal(m, kRequest, "Response") && dbus_message_get_path(m) &&
                   path == dbus_message_get_path(m);
        },
        timeoutMs, disconnected);
    if (!signal) {
        error = std::string(method) + ": " + (disconnected ? "the session bus went away" : "no answer from the portal");
        return false;
    }
    DBusMessageIter args;
    dbus_message_iter_init(signal.get(), &args);
    if (dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_UINT32) {
        error = std::string(method) + ": a malformed answer";
        return false;
    }
    dbus_uint32_t code = 0;
    dbus_message_iter_get_basic(&args, &code);
    response = code;
    if (code == 0 && dbus_message_iter_next(&args)) CDBusConnection::ReadVardict(&args, result);
    return true;
}

CScreenCastPortal::Result CScreenCastPortal::Open(std::string& error) {
    m_pBus = CDBusConnection::OpenSession(error);
    if (!m_pBus) return kFailed;
    m_strSender = m_pBus->UniqueName();
    if (!m_strSender.empty() && m_strSender[0] == ':') m_strSender.erase(0, 1);
    for (char& c : m_strSender)
        if (c == '.') c = '_';

    const std::uint32_t sources = ReadProperty(*m_pBus, "AvailableSourceTypes");
    if ((sources & kSourceMonitor) == 0) {
        error = "the desktop offers no screen-cast portal for monitors";
        return kFailed;
    }
    const std::uint32_t cursors = ReadProperty(*m_pBus, "AvailableCursorModes");
    const std::uint32_t version = ReadProperty(*m_pBus, "version");
    m_pBus->AddMatch("type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
                     std::string(kService) + "'");

    auto refusedOrFailed = [&error](const char* step, std::uint32_t code) {
        error = code == kResponseCancelled ? std::string("the screen-cast request was refused (") + step + ")"
                                           : std::string("the screen-cast portal failed (") + step + ")";
        return code == kResponseCancelled ? kRefused : kFailed;
    };

    std::uint32_t code = 0;
    const std::string sessionToken = NewToken();
    std::string token = NewToken();
    if (!Request("CreateSession", "", token, kCallTimeoutMs,
                 [&](DBusMessageIter* iter) {
                     CDBusConnection::AppendVardict(iter, {{"handle_token", token}, {"session_handle_token", sessionToken}});
                 },
                 code,
                 [this](const std::string& key, DBusMessageIter* value) {
                     const int type = dbus_message_iter_get_arg_type(value);
                     if (key != "session_handle" || (type != DBUS_TYPE_STRING && type != DBUS_TYPE_OBJECT_PATH)) return;
                     const char* text = nullptr;
                     dbus_message_iter_get_basic(value, &text);
                     m_strSession = text;
                 },
                 error))
        return kFailed;
    if (code != 0) return refusedOrFailed("CreateSession", code);
    if (m_strSession.empty()) {
        error = "CreateSession: no session in the answer";
        return kFailed;
    }
    m_pBus->AddMatch("type='signal',interface='" + std::string(kSession) + "',member='Closed',path='" + m_strSession + "'");

    token = NewToken();
    std::vector<DBusDictEntry> options{{"handle_token", token},
                                       {"types", kSourceMonitor},
                                       {"multiple", false},
                                       {"cursor_mode", (cursors & kCursorEmbedded) ? kCursorEmbedded : kCursorHidden}};
    const std::string restore = version >= 4 ? LoadToken() : std::string();
    if (version >= 4) options.push_back({"persist_mode", kPersistUntilRevoked});
    if (!restore.empty()) options.push_back({"restore_token", restore});
    if (!Request("SelectSources", m_strSession, token, kCallTimeoutMs,
                 [&](DBusMessageIter* iter) { CDBusConnection::AppendVardict(iter, options); }, code,
                 [](const std::string&, DBusMessageIter*) {}, error))
        return kFailed;
    if (code != 0) return refusedOrFailed("SelectSources", code);

    token = NewToken();
    std::string newRestore;
    bool haveStream = false;
    if (!Request("Start", m_strSession, token, kChooseTimeoutMs,
                 [&](DBusMessageIter* iter) {
                     const char* parent = "";
                     dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &parent);
                     CDBusConnection::AppendVardict(iter, {{"handle_token", token}});
                 },
                 code,
                 [&](const std::string& key, DBusMessageIter* value) {
                     haveStream |= ReadStartResult(key, value, m_stream, newRestore);
                 },
                 error))
        return kFailed;
    if (code != 0) return refusedOrFailed("Start", code);
    if (!haveStream) {
        error = "Start: the portal gave no stream";
        return kFailed;
    }
    if (!newRestore.empty() && newRestore != restore) SaveToken(newRestore);

    DBusMessagePtr call(dbus_message_new_method_call(kService, kObject, kScreenCast, "OpenPipeWireRemote"));
    DBusMessageIter iter;
    dbus_message_iter_init_append(call.get(), &iter);
    const char* session = m_strSession.c_str();
    dbus_message_iter_append_basic(&iter, DBUS_TYPE_OBJECT_PATH, &session);
    CDBusConnection::AppendVardict(&iter, {});
    DBusMessagePtr reply = m_pBus->Call(call.get(), kCallTimeoutMs, error);
    if (!reply) {
        error = "OpenPipeWireRemote: " + error;
        return kFailed;
    }
    int fd = -1;
    if (!dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID) || fd < 0) {
        error = "OpenPipeWireRemote: no PipeWire socket in the answer";
        return kFailed;
    }
    m_nFd = fd;
    UC_LOG_THIS(CLogWrapper::LOG_INFO, "screen-cast session " << m_strSession << ": node " << m_stream.dwNode << ", "
                                                             << m_stream.nWidth << "x" << m_stream.nHeight << " at "
                                                             << m_stream.nX << "," << m_stream.nY);
    return kOk;
}

bool CScreenCastPortal::ReadStartResult(const std::string& key, DBusMessageIter* value, Stream& stream,
                                        std::string& restoreToken) {
    if (key == "restore_token" && dbus_message_iter_get_arg_type(value) == DBUS_TYPE_STRING) {
        const char* text = nullptr;
        dbus_message_iter_get_basic(value, &text);
        restoreToken = text;
    }
    if (key != "streams" || dbus_message_iter_get_arg_type(value) != DBUS_TYPE_ARRAY) return false;
    DBusMessageIter streams, first;
    dbus_message_iter_recurse(value, &streams);
    if (dbus_message_iter_get_arg_type(&streams) != DBUS_TYPE_STRUCT) return false;
    dbus_message_iter_recurse(&streams, &first);  // the first stream: one monitor was asked for
    if (dbus_message_iter_get_arg_type(&first) != DBUS_TYPE_UINT32) return false;
    dbus_uint32_t node = 0;
    dbus_message_iter_get_basic(&first, &node);
    stream.dwNode = node;
    if (dbus_message_iter_next(&first))
        CDBusConnection::ReadVardict(&first, [&stream](const std::string& k, DBusMessageIter* v) {
            if (k == "position") ReadPair(v, stream.nX, stream.nY);
            if (k == "size") ReadPair(v, stream.nWidth, stream.nHeight);
        });
    return true;
}

int CScreenCastPortal::TakePipeWireFd() {
    const int fd = m_nFd;
    m_nFd = -1;
    return fd;
}

bool CScreenCastPortal::Poll() {
    if (m_bClosed || !m_pBus) return false;
    const bool connected = m_pBus->Poll([this](DBusMessage* m) {
        if (dbus_message_is_signal(m, kSession, "Closed")) m_bClosed = true;
        if (dbus_message_is_signal(m, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
            const char *name = nullptr, *from = nullptr, *to = nullptr;
            if (dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &from, DBUS_TYPE_STRING,
                                      &to, DBUS_TYPE_INVALID) &&
                to && !*to)
                m_bClosed = true;  // the portal left the bus: its session went with it
        }
    });
    if (!connected) m_bClosed = true;
    if (m_bClosed) UC_LOG_THIS(CLogWrapper::LOG_WARNING, " --- the screen-cast session ended");
    return !m_bClosed;
}

std::string CScreenCastPortal::TokenPath() { return SettingsFolder() + "/screencast.ini"; }

std::string CScreenCastPortal::LoadToken() {
    std::ifstream in(TokenPath());
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(kTokenKey, 0) == 0) return line.substr(std::char_traits<char>::length(kTokenKey));
    return {};
}

void CScreenCastPortal::SaveToken(const std::string& token) {
    const std::string path = TokenPath();
    MakeFolders(SettingsFolder());
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "[ScreenCast]\n" << kTokenKey << token << "\n";
        if (!out.flush()) {
            UC_LOG(CLogWrapper::LOG_WARNING, " --- cannot write " << temp);
            return;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) UC_LOG(CLogWrapper::LOG_WARNING, " --- cannot write " << path);
}
