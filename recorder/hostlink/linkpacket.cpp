#include "linkpacket.h"

namespace {

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t getLe32(std::span<const std::uint8_t> bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

}  // namespace

std::vector<std::uint8_t> CLinkPacket::Build(int type, TalkWindow destination, TalkWindow source,
                                             std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> packet;
    packet.reserve(kHeaderSize + data.size());
    packet.push_back(static_cast<std::uint8_t>(type));
    putLe32(packet, destination);
    putLe32(packet, source);
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

LinkPacketHeader CLinkPacket::Parse(std::span<const std::uint8_t> packet) {
    LinkPacketHeader header;
    if (packet.size() >= 1) header.type = packet[0];
    if (packet.size() >= 5) header.destination = getLe32(packet.subspan(1, 4));
    if (packet.size() >= 9) header.source = getLe32(packet.subspan(5, 4));
    return header;
}
