#include "dbusconnection.h"

#include <cstdlib>

#include "basekit/tickcount.h"

namespace {
struct ErrorGuard {
    DBusError error;
    ErrorGuard() { dbus_error_init(&error); }
    ~ErrorGuard() { dbus_error_free(&error); }
    std::string Text() const {
        return std::string(error.name ? error.name : "") + (error.message ? std::string(": ") + error.message : "");
    }
};
}  // namespace

std::unique_ptr<CDBusConnection> CDBusConnection::OpenSession(std::string& error) {
    ErrorGuard guard;
    // libdbus reads the session bus address once per process; the address
    // is taken from the environment at each open instead, so that a new
    // session (a test's private bus) is found.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    DBusConnection* connection = address && *address ? dbus_connection_open_private(address, &guard.error)
                                                     : dbus_bus_get_private(DBUS_BUS_SESSION, &guard.error);
    if (connection && address && *address && !dbus_bus_register(connection, &guard.error)) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
        connection = nullptr;
    }
    if (!connection) {
        error = "no session bus (" + guard.Text() + ")";
        return nullptr;
    }
    // A lost bus must not end the process.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    return std::unique_ptr<CDBusConnection>(new CDBusConnection(connection));
}

CDBusConnection::~CDBusConnection() {
    dbus_connection_close(m_pConnection);
    dbus_connection_unref(m_pConnection);
}

std::string CDBusConnection::UniqueName() const {
    const char* name = dbus_bus_get_unique_name(m_pConnection);
    return name ? name : "";
}

void CDBusConnection::AddMatch(const std::string& rule) {
    // No reply is waited for; a wrong rule shows as a signal that never comes.
    dbus_bus_add_match(m_pConnection, rule.c_str(), nullptr);
    dbus_connection_flush(m_pConnection);
}

DBusMessagePtr CDBusConnection::Call(DBusMessage* call, int timeoutMs, std::string& error) {
    ErrorGuard guard;
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(m_pConnection, call, timeoutMs, &guard.error);
    if (!reply) {
        error = guard.Text();
        return nullptr;
    }
    return DBusMessagePtr(reply);
}

DBusMessagePtr CDBusConnection::WaitFor(const std::function<bool(DBusMessage*)>& match, int timeoutMs,
                                        bool& disconnected, const std::function<void(DBusMessage*)>& other) {
    disconnected = false;
    const std::uint64_t end = GetTickMs() + static_cast<std::uint64_t>(timeoutMs);
    for (;;) {
        while (DBusMessage* raw = dbus_connection_pop_message(m_pConnection)) {
            DBusMessagePtr message(raw);
            if (match(raw)) return message;
            if (dbus_message_is_signal(raw, DBUS_INTERFACE_LOCAL, "Disconnected")) {
                disconnected = true;
                return nullptr;
            }
            if (other) other(raw);
        }
        const std::uint64_t now = GetTickMs();
        if (now >= end) return nullptr;
        if (!dbus_connection_read_write(m_pConnection, static_cast<int>(std::min<std::uint64_t>(end - now, 200)))) {
            disconnected = true;
            return nullptr;
        }
    }
}

bool CDBusConnection::Poll(const std::function<void(DBusMessage*)>& handle) {
    if (!dbus_connection_read_write(m_pConnection, 0)) return false;
    while (DBusMessage* raw = dbus_connection_pop_message(m_pConnection)) {
        DBusMessagePtr message(raw);
        if (dbus_message_is_signal(raw, DBUS_INTERFACE_LOCAL, "Disconnected")) return false;
        handle(raw);
    }
    return dbus_connection_get_is_connected(m_pConnection);
}

void CDBusConnection::AppendVardict(DBusMessageIter* iter, const std::vector<DBusDictEntry>& entries) {
    DBusMessageIter array;
    dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "{sv}", &array);
    for (const DBusDictEntry& e : entries) {
        DBusMessageIter entry, variant;
        dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        const char* key = e.strKey.c_str();
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
        if (const auto* text = std::get_if<std::string>(&e.value)) {
            const char* value = text->c_str();
            const int type = e.bObjectPath ? DBUS_TYPE_OBJECT_PATH : DBUS_TYPE_STRING;
            dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, e.bObjectPath ? "o" : "s", &variant);
            dbus_message_iter_append_basic(&variant, type, &value);
        } else if (const auto* number = std::get_if<std::uint32_t>(&e.value)) {
            const dbus_uint32_t value = *number;
            dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "u", &variant);
            dbus_message_iter_append_basic(&variant, DBUS_TYPE_UINT32, &value);
        } else {
            const dbus_bool_t value = std::get<bool>(e.value) ? TRUE : FALSE;
            dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "b", &variant);
            dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &value);
        }
        dbus_message_iter_close_container(&entry, &variant);
        dbus_message_iter_close_container(&array, &entry);
    }
    dbus_message_iter_close_container(iter, &array);
}

bool CDBusConnection::ReadVardict(DBusMessageIter* iter,
                                  const std::function<void(const std::string&, DBusMessageIter*)>& entry) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(iter) != DBUS_TYPE_DICT_ENTRY)
        return false;
    DBusMessageIter array;
    dbus_message_iter_recurse(iter, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&array)) {
        DBusMessageIter pair, variant;
        dbus_message_iter_recurse(&array, &pair);
        if (dbus_message_iter_get_arg_type(&pair) != DBUS_TYPE_STRING) continue;
        const char* key = nullptr;
        dbus_message_iter_get_basic(&pair, &key);
        if (!dbus_message_iter_next(&pair) || dbus_message_iter_get_arg_type(&pair) != DBUS_TYPE_VARIANT) continue;
        dbus_message_iter_recurse(&pair, &variant);
        entry(key, &variant);
    }
    return true;
}
