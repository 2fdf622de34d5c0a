// CUtilAPI: text helpers for the XML the session recorders write and read,
// and MD5.
#pragma once

#include <cstddef>
#include <string>

class CUtilAPI {
public:
    // Lower-case hexadecimal MD5 digest (32 characters) of the bytes.
    static std::string MD5(const void* data, std::size_t length);
    static std::string MD5(const std::string& data) { return MD5(data.data(), data.size()); }

    // The value of attribute `name` in the first element of `xml` (the text
    // between the quotes after name=, double or single quoted), with XML
    // entities decoded. Non-zero when found.
    static int XMLGetAttribute(const std::string& xml, const std::string& name, std::string& value);
    // The first element named `name`, as it stands in `xml`: from its "<name"
    // to the end of its "</name>" (or the whole "<name .../>"), so that the
    // caller can read its attributes (XMLGetAttribute) and its content, CDATA
    // sections included. Comments, CDATA sections and processing instructions
    // are skipped while searching; an element that is not closed is not found.
    // Non-zero when found.
    static int XMLGetElement(const std::string& xml, const std::string& name, std::string& value);
    // Escapes & < > " ' as XML entities.
    static std::string XMLSCEncode(const std::string& text);
    // Replaces every byte that is not part of a well-formed UTF-8 sequence
    // (overlong forms, surrogates and code points above U+10FFFF included),
    // every control character XML 1.0 forbids and the bytes of U+FFFE and
    // U+FFFF by a space; the length of the text stays the same.
    static std::string UnLegalXMLUTF82Space(const std::string& text);
};
