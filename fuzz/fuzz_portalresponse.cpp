// The screen-cast portal's answers. The input is a marshalled D-Bus message
// (what arrives from the session bus) read the way a Start response is read:
// a response code, then the results vardict whose "streams" and
// "restore_token" entries are taken. libdbus validates the marshalling; the
// reading must cope with any well-formed message of any signature.
#include <dbus/dbus.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "dbusconnection.h"
#include "fuzzsupport.h"
#include "screencastportal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* message = dbus_message_demarshal(reinterpret_cast<const char*>(data), static_cast<int>(size), &error);
    dbus_error_free(&error);
    if (!message) return 0;
    DBusMessageIter args;
    if (dbus_message_iter_init(message, &args) && dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_UINT32 &&
        dbus_message_iter_next(&args)) {
        CScreenCastPortal::Stream stream;
        std::string token;
        bool haveStream = false;
        CDBusConnection::ReadVardict(&args, [&](const std::string& key, DBusMessageIter* value) {
            haveStream |= CScreenCastPortal::ReadStartResult(key, value, stream, token);
        });
        FUZZ_CHECK(haveStream || (stream.dwNode == 0 && stream.nWidth == 0 && stream.nHeight == 0),
                   "a stream's place is only taken with its node");
    }
    dbus_message_unref(message);
    return 0;
}
