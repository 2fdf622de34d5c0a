// The raw byte sequence payload of an H.264 NAL unit and back: a NAL unit
// never holds 00 00 followed by 00, 01, 02 or 03, so an encoder puts an
// emulation prevention byte 03 after every 00 00 that would start one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The payload with its emulation prevention bytes taken out.
std::vector<std::uint8_t> RbspOf(const std::uint8_t* data, std::size_t len);
// Appends the payload to out with emulation prevention bytes put in.
void AppendEscaped(const std::vector<std::uint8_t>& rbsp, std::vector<std::uint8_t>& out);
