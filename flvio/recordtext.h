// CRecordText: text helpers of the session recorders: printf-style
// formatting into a string, seconds from milliseconds, UTC times of day,
// CDATA-safe text, and whole-file writes that replace a file only once the
// new version is complete.
#pragma once

#include <ctime>
#include <string>

class CRecordText {
public:
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static double Seconds(unsigned long ms) { return static_cast<double>(ms) / 1000.0; }
    // "%Y-%m-%d %H:%M:%S" in UTC.
    static std::string UtcText(std::time_t t);
    // Text for a CDATA section: a "]]>" inside is split over two sections.
    static std::string CData(const std::string& text);
    // User text for an attribute or element: bytes XML cannot hold become
    // blanks, markup characters entities.
    static std::string Escape(const std::string& text);
    // Writes `bytes` to "<path>.tmp" through the base library's file object
    // and renames it to `path`: a full disk leaves the previous version.
    static bool WriteFileAtomically(const std::string& path, const std::string& bytes);
};
