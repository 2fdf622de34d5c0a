// CLinkPacket: the link's packet layout. Byte 0 the type (0 data, 1 connect
// request, 2 connect accept, 3 disconnect), bytes 1-4 the destination window
// and 5-8 the source window (32-bit little-endian), then the data (type 0:
// one XML message, UTF-8, no terminator).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "processtalkbase.h"

struct LinkPacketHeader {
    int type = 0;
    TalkWindow destination = 0;
    TalkWindow source = 0;
};

class CLinkPacket {
public:
    enum { TYPE_DATA = 0, TYPE_CONNECT = 1, TYPE_ACCEPT = 2, TYPE_DISCONNECT = 3 };
    static constexpr std::size_t kHeaderSize = 9;
    // dwData of every packet this program sends.
    static constexpr std::uint32_t kCopyDataTag = 12;

    static std::vector<std::uint8_t> Build(int type, TalkWindow destination, TalkWindow source,
                                           std::span<const std::uint8_t> data = {});
    // Shorter than 1 byte: type 0; shorter than 5: destination 0; shorter
    // than 9: source 0.
    static LinkPacketHeader Parse(std::span<const std::uint8_t> packet);
};
