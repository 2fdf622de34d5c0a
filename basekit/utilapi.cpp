#include "basekit/utilapi.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// ---- MD5 (RFC 1321) ----

constexpr std::array<std::uint32_t, 64> kMd5Sine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr std::array<unsigned, 64> kMd5Shift = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21,
    6, 10, 15, 21, 6, 10, 15, 21,
};

std::uint32_t RotateLeft(std::uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

void Md5Block(std::array<std::uint32_t, 4>& state, const unsigned char* block) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = static_cast<std::uint32_t>(block[i * 4]) | static_cast<std::uint32_t>(block[i * 4 + 1]) << 8 |
               static_cast<std::uint32_t>(block[i * 4 + 2]) << 16 | static_cast<std::uint32_t>(block[i * 4 + 3]) << 24;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        std::uint32_t f;
        unsigned g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        std::uint32_t next = b + RotateLeft(a + f + kMd5Sine[i] + m[g], kMd5Shift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

std::string Md5Hex(const unsigned char* data, std::size_t length) {
    std::array<std::uint32_t, 4> state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::size_t whole = length - length % 64;
    for (std::size_t off = 0; off < whole; off += 64) Md5Block(state, data + off);

    // Padding: 0x80, zeros up to 56 mod 64, then the bit length little-endian.
    unsigned char tail[128] = {};
    std::size_t rest = length - whole;
    if (rest) std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    std::size_t tailLen = rest < 56 ? 64 : 128;
    std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i) tail[tailLen - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t off = 0; off < tailLen; off += 64) Md5Block(state, tail + off);

    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (std::uint32_t word : state) {
        for (int i = 0; i < 4; ++i) {
            unsigned byte = (word >> (8 * i)) & 0xff;
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xf]);
        }
    }
    return out;
}

// ---- XML scanning ----

bool IsXmlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsNameEnd(char c) {
    return IsXmlBlank(c) || c == '>' || c == '/' || c == '=';
}

// The position behind `terminator` at or after `from`; npos when missing.
std::size_t SkipPast(const std::string& xml, std::size_t from, const char* terminator) {
    auto pos = xml.find(terminator, from);
    return pos == std::string::npos ? pos : pos + std::strlen(terminator);
}

// The end of the start tag opened at `lt` (the position behind its '>'),
// skipping '>' inside quoted attribute values; npos when the tag is cut off.
std::size_t StartTagEnd(const std::string& xml, std::size_t lt) {
    char quote = 0;
    for (std::size_t i = lt + 1; i < xml.size(); ++i) {
        char c = xml[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i + 1;
        }
    }
    return std::string::npos;
}

enum class Markup { Start, End, Other };

// Classifies the markup at `lt` (a '<') and returns the position behind it,
// npos when it is cut off. Comments, CDATA sections, processing instructions
// and declarations are "Other".
std::size_t ScanMarkup(const std::string& xml, std::size_t lt, Markup& kind) {
    kind = Markup::Other;
    if (xml.compare(lt, 4, "<!--") == 0) return SkipPast(xml, lt + 4, "-->");
    if (xml.compare(lt, 9, "<![CDATA[") == 0) return SkipPast(xml, lt + 9, "]]>");
    if (xml.compare(lt, 2, "<?") == 0) return SkipPast(xml, lt + 2, "?>");
    if (xml.compare(lt, 2, "<!") == 0) return SkipPast(xml, lt + 2, ">");
    if (xml.compare(lt, 2, "</") == 0) {
        kind = Markup::End;
        return SkipPast(xml, lt + 2, ">");
    }
    kind = Markup::Start;
    return StartTagEnd(xml, lt);
}

// The element name of a start or end tag at `lt`.
std::string TagName(const std::string& xml, std::size_t lt) {
    std::size_t begin = lt + (xml.compare(lt, 2, "</") == 0 ? 2 : 1);
    std::size_t end = begin;
    while (end < xml.size() && !IsNameEnd(xml[end])) ++end;
    return xml.substr(begin, end - begin);
}

bool IsSelfClosing(const std::string& xml, std::size_t tagEnd) {
    return tagEnd >= 2 && xml[tagEnd - 2] == '/';
}

// The next start tag at or after `from`: its '<' in `lt`, its end in `end`.
bool NextStartTag(const std::string& xml, std::size_t from, std::size_t& lt, std::size_t& end) {
    for (std::size_t pos = xml.find('<', from); pos != std::string::npos; pos = xml.find('<', end)) {
        Markup kind;
        end = ScanMarkup(xml, pos, kind);
        if (end == std::string::npos) return false;
        if (kind == Markup::Start) {
            lt = pos;
            return true;
        }
    }
    return false;
}

// The end (behind '>') of the element whose start tag ends at `contentBegin`,
// counting nested elements of the same name; npos when it is not closed.
std::size_t ElementEnd(const std::string& xml, const std::string& name, std::size_t contentBegin) {
    int depth = 1;
    std::size_t end = contentBegin;
    for (std::size_t pos = xml.find('<', contentBegin); pos != std::string::npos; pos = xml.find('<', end)) {
        Markup kind;
        end = ScanMarkup(xml, pos, kind);
        if (end == std::string::npos) return end;
        if (kind == Markup::Other || TagName(xml, pos) != name) continue;
        if (kind == Markup::End) {
            if (--depth == 0) return end;
        } else if (!IsSelfClosing(xml, end)) {
            ++depth;
        }
    }
    return std::string::npos;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes a numeric reference body ("#65", "#x41"); false when it is not a
// character XML allows.
bool DecodeCharRef(const std::string& body, std::uint32_t& cp) {
    bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    std::size_t i = hex ? 2 : 1;
    if (i >= body.size() || body.size() - i > 8) return false;
    cp = 0;
    for (; i < body.size(); ++i) {
        char c = body[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
    }
    bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                   (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
    return allowed;
}

// Replaces the predefined entities and character references; anything else
// that starts with '&' is kept as it stands.
std::string DecodeEntities(const std::string& text) {
    static const struct {
        const char* name;
        char ch;
    } kEntities[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto semi = text[i] == '&' ? text.find(';', i + 1) : std::string::npos;
        if (semi == std::string::npos || semi - i > 12) {
            out.push_back(text[i]);
            continue;
        }
        std::string body = text.substr(i + 1, semi - i - 1);
        bool done = false;
        std::uint32_t cp = 0;
        if (!body.empty() && body[0] == '#') {
            if (DecodeCharRef(body, cp)) {
                AppendUtf8(out, cp);
                done = true;
            }
        } else {
            for (const auto& e : kEntities) {
                if (body == e.name) {
                    out.push_back(e.ch);
                    done = true;
                    break;
                }
            }
        }
        if (done) {
            i = semi;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Finds attribute `name` in the start tag [lt, end) and copies its quoted value.
bool FindAttribute(const std::string& xml, std::size_t lt, std::size_t end, const std::string& name,
                   std::string& raw) {
    std::size_t i = lt + 1;
    while (i < end && !IsNameEnd(xml[i])) ++i;  // the element name
    for (;;) {
        while (i < end && (IsXmlBlank(xml[i]) || xml[i] == '/')) ++i;
        if (i >= end || xml[i] == '>') return false;
        std::size_t nameBegin = i;
        while (i < end && !IsNameEnd(xml[i])) ++i;
        std::string attr = xml.substr(nameBegin, i - nameBegin);
        while (i < end && IsXmlBlank(xml[i])) ++i;
        if (i >= end || xml[i] != '=') continue;  // an attribute without a value
        ++i;
        while (i < end && IsXmlBlank(xml[i])) ++i;
        if (i < end && (xml[i] == '"' || xml[i] == '\'')) {
            auto close = xml.find(xml[i], i + 1);
            if (close == std::string::npos || close >= end) return false;
            if (attr == name) {
                raw = xml.substr(i + 1, close - i - 1);
                return true;
            }
            i = close + 1;
        } else {
            while (i < end && !IsXmlBlank(xml[i]) && xml[i] != '>') ++i;  // an unquoted value: skipped
        }
    }
}

// Length of the well-formed UTF-8 sequence at `i` that XML 1.0 allows, 0 when
// the byte there does not start one.
std::size_t LegalXmlSequence(const std::string& s, std::size_t i) {
    auto byte = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        unsigned b = byte(k);
        return k < s.size() && b >= lo && b <= hi;
    };
    unsigned b0 = byte(i);
    if (b0 < 0x80) return (b0 >= 0x20 || b0 == 0x09 || b0 == 0x0A || b0 == 0x0D) ? 1 : 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(i + 1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        unsigned hi = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
        if (!cont(i + 1, lo, hi) || !cont(i + 2)) return 0;
        bool nonChar = b0 == 0xEF && byte(i + 1) == 0xBF && byte(i + 2) >= 0xBE;  // U+FFFE, U+FFFF
        return nonChar ? 0 : 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;  // no overlong forms
        unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
        return cont(i + 1, lo, hi) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

}  // namespace

std::string CUtilAPI::MD5(const void* data, std::size_t length) {
    if (!data) length = 0;
    return Md5Hex(static_cast<const unsigned char*>(data), length);
}

int CUtilAPI::XMLGetAttribute(const std::string& xml, const std::string& name, std::string& value) {
    std::size_t lt = 0, end = 0;
    if (name.empty() || !NextStartTag(xml, 0, lt, end)) return 0;
    std::string raw;
    if (!FindAttribute(xml, lt, end, name, raw)) return 0;
    value = DecodeEntities(raw);
    return 1;
}

int CUtilAPI::XMLGetElement(const std::string& xml, const std::string& name, std::string& value) {
    if (name.empty()) return 0;
    std::size_t lt = 0, end = 0;
    for (std::size_t from = 0; NextStartTag(xml, from, lt, end); from = end) {
        if (TagName(xml, lt) != name) continue;
        std::size_t elementEnd = IsSelfClosing(xml, end) ? end : ElementEnd(xml, name, end);
        if (elementEnd == std::string::npos) return 0;
        value = xml.substr(lt, elementEnd - lt);
        return 1;
    }
    return 0;
}

std::string CUtilAPI::XMLSCEncode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out.push_back(c); break;
        }
    }
    return out;
}

std::string CUtilAPI::UnLegalXMLUTF82Space(const std::string& text) {
    std::string out = text;
    for (std::size_t i = 0; i < out.size();) {
        std::size_t n = LegalXmlSequence(text, i);
        if (n == 0) {
            out[i] = ' ';  // the following bytes are looked at on their own
            n = 1;
        }
        i += n;
    }
    return out;
}
