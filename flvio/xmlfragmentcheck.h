// CXmlFragmentCheck: tells whether a piece of received text can be put into
// the recorders' XML files as markup without making them malformed: a
// sequence of text, elements (each closed, properly nested, attributes
// quoted and not repeated), comments, CDATA sections and processing
// instructions, with '&' only in entity and character references. Byte
// legality of the UTF-8 is not checked here (CUtilAPI::UnLegalXMLUTF82Space
// takes care of it before).
#pragma once

#include <string>

class CXmlFragmentCheck {
public:
    static bool IsWellFormed(const std::string& text);
};
