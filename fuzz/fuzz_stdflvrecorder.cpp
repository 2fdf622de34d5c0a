// CSTDFLVRecorder driven by a byte-coded sequence of calls, recording into a
// temporary folder of this process. Byte 0: bit 0 segment mode (one-minute
// segments), bit 1 MP3 instead of AAC. Then operations, each a byte (mod 10)
// and its operands:
//   0 audio      delta/10 ms, length, ADTS flag (a valid header in front), bytes
//   1 AVC config length, bytes
//   2 video      type (mod 3), delta/10 ms, length, bytes
//   3 event      type (from the dispatch table), id, 16-bit length, bytes,
//                name length, name, width, height, thumbnail/text/url flags
//   4 pause      play flag
//   5 ClearAV    handle flag (0xFFFFFFFF or not), advance/10 ms
//   6 sharing    start (width, height, fps) or stop
//   7 video parameters  width, height, fps
//   8 page info  type flag, length, bytes
//   9 time jump  16-bit delta/10 ms (crosses segment and gap limits)
// After Stop every XML file written must be well-formed.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../flvio/xmlfragmentcheck.h"
#include "basekit/datapackage.h"
#include "flvio/aacutil.h"
#include "flvio/stdflvrecorder.h"
#include "fuzzsupport.h"

namespace {

constexpr int kMaxOps = 400;
const unsigned char kEventTypes[] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 13, 14, 18, 253, 77};

std::string g_folder;

void RemoveFolder() {
    std::error_code ec;
    if (!g_folder.empty()) std::filesystem::remove_all(g_folder, ec);
}

std::string TakeBytes(fuzzsupport::CFuzzInput& in, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n && in.RestSize() > 0; ++i) out.push_back(static_cast<char>(in.TakeByte()));
    return out;
}

int Call(CSTDFLVRecorder& rec, unsigned long ts, const std::string& bytes, int kind, int type = 0) {
    CDataPackage data(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE, bytes.size());
    if (kind == 0) return rec.RecordRawMP3(ts, data, 0);
    return rec.RecordRawAVC(ts, data, static_cast<AVCPackageType>(type));
}

// The file, without its XML declaration, must be well-formed.
void CheckXml(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    std::string text;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";
    FUZZ_CHECK(text.compare(0, decl.size(), decl) == 0, path.c_str());
    FUZZ_CHECK(CXmlFragmentCheck::IsWellFormed(text.substr(decl.size())), path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLogging();
    g_folder = fuzzsupport::MakeTempFolder("tolvane-fuzz-session");
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    fuzzsupport::CFuzzInput in(data, size);
    const std::uint8_t flags = in.TakeByte();
    const std::string folder = g_folder + "rec/";
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);

    CSTDFLVRecorder rec;
    AudioPriority audio;
    audio.format = (flags & 2) ? FLV_SOUND_MP3 : FLV_SOUND_AAC;
    FUZZ_CHECK(rec.Start("session <&>", "id\"1", folder + "record.xml", 320, 240, audio, 0, flags & 1, 0) == 0,
               "Start in a fresh folder");
    unsigned long ts = 1000;
    for (int op = 0; op < kMaxOps && in.RestSize() > 0; ++op) {
        switch (in.TakeByte() % 10) {
            case 0: {
                ts += in.TakeByte() * 10ul;
                const std::size_t len = in.TakeByte();
                std::string frame;
                if (in.TakeByte() & 1) {
                    const unsigned char config[2] = {0x12, 0x10};
                    char adts[7];
                    int adtsLen = sizeof adts;
                    GetAdtsFromDecInfo(adts, &adtsLen, config, 2, static_cast<unsigned>(len));
                    frame.assign(adts, sizeof adts);
                }
                frame += TakeBytes(in, len);
                Call(rec, ts, frame, 0);
                break;
            }
            case 1:
                Call(rec, ts, TakeBytes(in, in.TakeByte()), 1, AVC_PACKAGE_CONFIG);
                break;
            case 2: {
                const int type = in.TakeByte() % 3;
                ts += in.TakeByte() * 10ul;
                Call(rec, ts, TakeBytes(in, in.TakeByte()), 1, type);
                break;
            }
            case 3: {
                CDataInfo info;
                info.type = kEventTypes[in.TakeByte() % sizeof kEventTypes];
                info.id = in.TakeByte();
                const std::string bytes = TakeBytes(in, in.TakeU16() % 2048);
                info.name = TakeBytes(in, in.TakeByte() % 64);
                info.width = in.TakeByte();
                info.height = in.TakeByte();
                const std::uint8_t extras = in.TakeByte();
                if (extras & 1) info.thumbnail = "thumb";
                if (extras & 2) info.pageText = info.name;
                if (extras & 4) info.url = info.name + "&<\"";
                if (extras & 8) info.animation = bytes.substr(0, 32);
                info.speedup = extras & 16;
                CDataPackage package(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE, bytes.size());
                rec.RecordRawData(ts, package, (extras & 32) ? nullptr : &info);
                break;
            }
            case 4:
                rec.Pause(in.TakeByte() & 1, ts);
                break;
            case 5: {
                const unsigned long handle = (in.TakeByte() & 1) ? 0xFFFFFFFFul : 7;
                ts += in.TakeByte() * 10ul;
                rec.ClearAV(handle, 0xFFFFFFFFul, ts);
                break;
            }
            case 6:
                if (in.TakeByte() & 1) {
                    rec.AsStart(in.TakeByte(), in.TakeByte(), in.TakeByte());
                } else {
                    rec.AsStop();
                }
                break;
            case 7:
                rec.SetVideoParameters(in.TakeByte(), in.TakeByte(), in.TakeByte());
                break;
            case 8: {
                const unsigned char type = in.TakeByte() & 1;
                rec.UpdatePageInfo(0, 0, TakeBytes(in, in.TakeByte()), type);
                break;
            }
            default:
                ts += in.TakeU16() * 10ul;
                break;
        }
    }
    FUZZ_CHECK(rec.Stop() == 0, "the final index is written");
    CheckXml(rec.GetIndexFile());
    for (const char* side : {"anno.xml", "chat.xml", "livetext.xml", "anno1.xml", "chat1.xml", "anno2.xml", "chat2.xml"})
        CheckXml(folder + side);
    return 0;
}
