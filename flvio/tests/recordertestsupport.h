// Helpers of the recorder tests: a scratch folder, synthetic media as an
// encoder hands it to the recorders (ADTS-framed AAC, AVC frames), and the
// tags of a written file.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "basekit/datapackage.h"
#include "flvio/aacutil.h"
#include "flvio/flviotag.h"
#include "flvio/flvreader.h"

namespace recordertest {

class CScratch {
public:
    CScratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "recorder_test_XXXXXX").string();
        m_path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~CScratch() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    CScratch(const CScratch&) = delete;
    CScratch& operator=(const CScratch&) = delete;
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// A package holding a copy of the bytes.
inline std::unique_ptr<CDataPackage> Package(const std::string& bytes) {
    return std::make_unique<CDataPackage>(bytes.size(), bytes.data(), CDataPackage::FLAG_NONE, bytes.size());
}

// An AAC LC 44100 Hz stereo frame of `payload` bytes with its ADTS header.
inline std::string AdtsFrame(std::size_t payload, char fill = 'a') {
    const unsigned char config[2] = {0x12, 0x10};
    char header[7];
    int len = sizeof(header);
    GetAdtsFromDecInfo(header, &len, config, 2, static_cast<unsigned>(payload));
    return std::string(header, sizeof(header)) + std::string(payload, fill);
}

inline const std::string& AvcConfig() {
    static const std::string config("\x01\x42\xC0\x1E\xFF\xE1\x00\x04\x67\x42\xC0\x1E\x01\x00\x02\x68\xCE", 17);
    return config;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Tag {
    TagType type;
    std::uint32_t ts;
    std::string body;
};

// Every complete tag of a finished file.
inline std::vector<Tag> ReadTags(const std::string& path) {
    std::vector<Tag> tags;
    CFlvReader reader;
    if (reader.Init(path, 1, 0, 1) != 0) return tags;
    CFlvioHeader header;
    if (reader.ReadHeader(header) != 0) return tags;
    for (;;) {
        CFlvioTag* tag = nullptr;
        if (reader.GetNextTag(tag) != 0 || !tag) break;
        tags.push_back({tag->GetTagType(), tag->GetTimeStampAll(), tag->GetData()->FlattenPackage()});
        tag->ReleaseReference();
    }
    return tags;
}

inline std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

// One "<record .../>" entry of a live recorder's index.
struct Entry {
    std::string name;
    unsigned duration = 0;
    bool newStream = false;
    std::string status;
};

inline std::vector<Entry> IndexEntries(const std::string& index) {
    std::vector<Entry> entries;
    const std::regex record("<record name=\"([^\"]+)\" duration=\"([0-9]+)\" newstream=\"(true|false)\" "
                            "status=\"([a-z]+)\" filesize=\"[0-9]+\" />");
    for (auto it = std::sregex_iterator(index.begin(), index.end(), record); it != std::sregex_iterator(); ++it)
        entries.push_back({(*it)[1], static_cast<unsigned>(std::stoul((*it)[2])), (*it)[3] == "true", (*it)[4]});
    return entries;
}

}  // namespace recordertest
