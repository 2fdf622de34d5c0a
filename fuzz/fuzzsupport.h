// Helpers shared by the fuzz targets: quiet logging, a check that stops the
// run with a message (libFuzzer then keeps the input as a crash artifact),
// a cursor over the fuzzer's bytes, and a walk over decoded AMF trees that
// re-encodes every value and checks the size it announced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/logwrapper.h"

#define FUZZ_CHECK(cond, what)                                                             \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, \
                         #cond, what);                                                     \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzzsupport {

// Hostile input makes the libraries log an error line per rejected field;
// keep those out of log files and drop information lines before they are
// built. A log file the caller asked for explicitly is kept.
inline void QuietLogging() {
    ::setenv("TOLVANE_LOG_FILE", "-", 0);
    CLogWrapper::Instance()->SetLogLevel(CLogWrapper::LOG_ERROR);
}

// Creates a fresh folder "<$TMPDIR or /tmp>/<prefix>.XXXXXX" for the files of
// one fuzz process and returns it with a trailing '/'; stops the run when it
// cannot.
inline std::string MakeTempFolder(const char* prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern + "/";
}

// Takes values off the front of the input; past the end every value is 0.
class CFuzzInput {
public:
    CFuzzInput(const std::uint8_t* data, std::size_t size) : m_pData(data), m_nSize(size) {}

    std::uint8_t TakeByte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
    std::uint16_t TakeU16() {
        std::uint16_t hi = TakeByte();
        return static_cast<std::uint16_t>((hi << 8) | TakeByte());
    }
    std::uint32_t TakeU32() {
        std::uint32_t hi = TakeU16();
        return (hi << 16) | TakeU16();
    }
    const std::uint8_t* Rest() const { return m_pData + m_nPos; }
    std::size_t RestSize() const { return m_nSize - m_nPos; }

private:
    const std::uint8_t* m_pData;
    std::size_t m_nSize;
    std::size_t m_nPos = 0;
};

// Encodes `value` into a stream of exactly GetEncodeLen() bytes: the encoding
// must succeed and fill the stream completely.
inline void CheckEncodeLen(CAmfType& value, const char* what) {
    const unsigned long len = value.GetEncodeLen();
    CFlashStream out(len);
    const int rv = value.Encode(out);
    FUZZ_CHECK(rv == 0, what);
    FUZZ_CHECK(out.GetLength() == len, what);
    FUZZ_CHECK(out.GetSpace() == 0, what);
}

// Visits every value of a decoded tree through the accessors a caller would
// use and checks the encoded size of each container on the way.
inline void WalkValue(const CAmfType* value, unsigned depth);

inline void WalkEntries(const std::vector<CAmfSimpleKeyValue*>& entries, unsigned depth) {
    for (const CAmfSimpleKeyValue* entry : entries) {
        FUZZ_CHECK(entry != nullptr, "container holds a null entry");
        (void)entry->GetName().size();
        WalkValue(entry->GetValue(), depth + 1);
    }
}

inline void WalkValue(const CAmfType* value, unsigned depth) {
    if (!value) return;  // null and undefined properties carry no value
    FUZZ_CHECK(depth <= 2 * AMF_MAX_NESTING_DEPTH + 2, "decoded tree deeper than the limit");
    // The dynamic type decides, not GetType(): an object decoded with its
    // marker keeps whatever marker byte it read.
    if (const auto* number = dynamic_cast<const CAmfNumber*>(value)) {
        (void)number->GetValue();
    } else if (const auto* flag = dynamic_cast<const CAmfBoolean*>(value)) {
        (void)flag->GetValue();
    } else if (const auto* property = dynamic_cast<const CAmfSimpleKeyValue*>(value)) {
        (void)property->GetName().size();
        WalkValue(property->GetValue(), depth + 1);
    } else if (const auto* text = dynamic_cast<const CAmfString*>(value)) {
        (void)text->GetValue().size();
    } else if (const auto* object = dynamic_cast<const CAmfSimpleObject*>(value)) {
        (void)object->GetClassNameA().size();
        const auto& entries = object->GetObjects();
        WalkEntries(entries, depth);
        // The first entry of a name answers the lookup by that name.
        if (!entries.empty())
            FUZZ_CHECK(object->GetValue(entries.front()->GetName()) == entries.front()->GetValue(),
                       "lookup of the first entry by its name");
    } else if (const auto* array = dynamic_cast<const CAmfECMAArray*>(value)) {
        const auto& entries = array->GetArray();
        WalkEntries(entries, depth);
        if (!entries.empty())
            FUZZ_CHECK(array->GetValue(entries.front()->GetName()) == entries.front()->GetValue(),
                       "lookup of the first entry by its name");
        std::string name;
        CAmfType* item = nullptr;
        for (unsigned long i = 0; i < entries.size(); ++i) {
            FUZZ_CHECK(array->GetKeyValue(i, name, item) == 0, "GetKeyValue inside the array");
            FUZZ_CHECK(item == entries[i]->GetValue(), "GetKeyValue gives the entry's value");
        }
        FUZZ_CHECK(array->GetKeyValue(entries.size(), name, item) == amfcodec::RESULT_BAD_ARGUMENT,
                   "GetKeyValue past the last entry");
    } else if (const auto* date = dynamic_cast<const CAmfDate*>(value)) {
        (void)date->GetTime();
        (void)date->GetOffset();
    } else if (const auto* ref = dynamic_cast<const CAmfReference*>(value)) {
        (void)ref->GetValue();
    }
}

}  // namespace fuzzsupport
