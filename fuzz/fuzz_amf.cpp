// AMF value decoding. The first byte picks the decoder, the rest is the
// encoded value as the caller would hand it over (containers and byte arrays
// after their marker, the way the property decoder calls them). Whatever
// decoded, even partly, is encoded again: the encoding must succeed and write
// exactly GetEncodeLen() bytes.
#include <cstddef>
#include <cstdint>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"
#include "fuzzsupport.h"

namespace {

enum Decoder : std::uint8_t {
    DECODE_PROPERTY,      // name + marker + value, the factory of all values
    DECODE_ECMA_ARRAY,    // count + entries + end marker
    DECODE_OBJECT,        // entries + end marker, no marker
    DECODE_MARKED_OBJECT, // marker (3 or 16, with a class name) + entries
    DECODE_STRING,        // marker 2 or 12 + length + bytes
    DECODE_BYTE_ARRAY,    // AMF3 marker 12 + U29 length + bytes
    DECODER_COUNT
};

template <class T>
void DecodeAndCheck(T& value, CFlashStream& stream, const char* what) {
    const unsigned long before = stream.GetLength();
    value.Decode(stream);
    FUZZ_CHECK(stream.GetLength() <= before, "decoding never adds bytes");
    fuzzsupport::WalkValue(&value, 0);
    fuzzsupport::CheckEncodeLen(value, what);
}

void DecodeProperty(CFlashStream& stream) {
    CAmfSimpleKeyValue property(0);
    property.Decode(stream);
    (void)property.GetName().size();
    fuzzsupport::WalkValue(property.GetValue(), 0);
    fuzzsupport::CheckEncodeLen(property, "property");
}

void DecodeString(CFlashStream& stream, int isLong) {
    CAmfString text(std::string(), isLong);  // with its marker
    DecodeAndCheck(text, stream, "string");
}

void DecodeByteArray(CFlashStream& stream) {
    CAmf3ByteArray bytes;
    bytes.Decode(stream);
    // An empty array has no buffer and is not encodable; anything read is.
    if (bytes.GetBuf()) fuzzsupport::CheckEncodeLen(bytes, "byte array");
    else FUZZ_CHECK(bytes.GetLength() == 0, "a byte array without buffer is empty");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t selector = data[0];
    // A package of its own (not wrapping the fuzzer's buffer), as a reader
    // would hand it over: reads past its end are caught by the sanitizer.
    CDataPackage package(size - 1, data + 1, CDataPackage::FLAG_NONE, size - 1);
    CFlashStream stream(package, 0);

    switch (selector % DECODER_COUNT) {
        case DECODE_PROPERTY:
            DecodeProperty(stream);
            break;
        case DECODE_ECMA_ARRAY: {
            CAmfECMAArray array;
            DecodeAndCheck(array, stream, "ECMA array");
            break;
        }
        case DECODE_OBJECT: {
            CAmfSimpleObject object(0, AMF_OBJECT);
            DecodeAndCheck(object, stream, "object");
            break;
        }
        case DECODE_MARKED_OBJECT: {
            CAmfSimpleObject object(1, AMF_OBJECT);
            DecodeAndCheck(object, stream, "object with marker");
            break;
        }
        case DECODE_STRING:
            DecodeString(stream, (selector / DECODER_COUNT) & 1);
            break;
        case DECODE_BYTE_ARRAY:
            DecodeByteArray(stream);
            break;
        default:
            break;
    }
    return 0;
}
