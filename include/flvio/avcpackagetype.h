// The kind of an FLV AVC packet: what the session recorders take and what
// the H.264 converters between FLV and transport stream form take and give.
#pragma once

enum AVCPackageType : unsigned char {
    AVC_PACKAGE_CONFIG = 0,  // AVC decoder configuration record
    AVC_PACKAGE_KEY = 1,     // a key frame (length-prefixed NAL units)
    AVC_PACKAGE_INTER = 2,   // any other frame
};
