// The result codes of the libraries (basekit, amfcodec, flvio, the codec
// layers and everything built on them). 0 is success; every failure is one of
// the numbers below. The numbers are part of the interface: callers compare
// against them and logs written by earlier versions carry them, so a value
// never changes and a new code takes a number not used before.
//
// The engine's interface codes and the muxers' negative initialisation codes
// live in include/recengine/enginecodes.h.
#pragma once

enum UcResult : int {
    UC_OK = 0,
    UC_ERR_BAD_DATA = 10001,         // bad data, not found, or the operation failed
    UC_ERR_NOT_SUPPORTED = 10004,    // unsupported marker, format or operation
    UC_ERR_NO_FILE = 10005,          // no file object given
    UC_ERR_NO_WRITER = 10007,        // no writer object given
    UC_ERR_BAD_ARGUMENT = 10008,     // bad argument or index out of range
    UC_ERR_TIMEOUT = 10014,          // a timed wait ran out
    UC_ERR_NO_ROOM = 10015,          // no room, no data, end of data, or wrong state
    UC_ERR_TAG_UNDECODABLE = 10018,  // a tag header that does not decode in a finished file
};
