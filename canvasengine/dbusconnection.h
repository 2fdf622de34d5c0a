// CDBusConnection: a private connection to the session bus (libdbus-1) with
// what the screen-cast portal client needs: method calls with a time limit,
// signal matches, waiting for one signal, and a vardict (a{sv}) builder and
// reader. Used by one thread at a time; owns its connection.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

struct DBusMessageDeleter {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageDeleter>;

// One value of an a{sv} that the portal client sends.
using DBusVariantValue = std::variant<std::string, std::uint32_t, bool>;
struct DBusDictEntry {
    std::string strKey;
    DBusVariantValue value;
    bool bObjectPath = false;  // a string sent as an object path
};

class CDBusConnection {
public:
    // Null with `error` set when the session bus cannot be reached.
    static std::unique_ptr<CDBusConnection> OpenSession(std::string& error);
    ~CDBusConnection();
    CDBusConnection(const CDBusConnection&) = delete;
    CDBusConnection& operator=(const CDBusConnection&) = delete;

    // The connection's unique name (":1.42").
    std::string UniqueName() const;
    void AddMatch(const std::string& rule);

    // Sends a call and waits up to timeoutMs for its reply; null with `error`
    // set for an error reply, a time-out or a lost bus.
    DBusMessagePtr Call(DBusMessage* call, int timeoutMs, std::string& error);
    // Waits up to timeoutMs for a message that `match` accepts; other
    // messages are handed to `other` (may be empty) and dropped. Null on
    // time-out or when the bus is gone (`disconnected` set).
    DBusMessagePtr WaitFor(const std::function<bool(DBusMessage*)>& match, int timeoutMs, bool& disconnected,
                           const std::function<void(DBusMessage*)>& other = {});
    // Reads what has arrived without waiting and hands each message to
    // `handle`; false once the bus is gone.
    bool Poll(const std::function<void(DBusMessage*)>& handle);

    // Appends a{sv} to an iterator opened on a message.
    static void AppendVardict(DBusMessageIter* iter, const std::vector<DBusDictEntry>& entries);
    // Calls `entry` for each key of the a{sv} at iter, with an iterator on its
    // value (inside the variant). False when iter is not an a{sv}.
    static bool ReadVardict(DBusMessageIter* iter, const std::function<void(const std::string&, DBusMessageIter*)>& entry);

private:
    explicit CDBusConnection(DBusConnection* connection) : m_pConnection(connection) {}
    DBusConnection* m_pConnection;
};
