#include "recordtext.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "basekit/ucfile.h"
#include "basekit/utilapi.h"

std::string CRecordText::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, args);
    va_end(args);
    return out;
}

std::string CRecordText::UtcText(std::time_t t) {
    std::tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string CRecordText::CData(const std::string& text) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t pos; (pos = text.find("]]>", from)) != std::string::npos; from = pos + 3)
        out += text.substr(from, pos - from) + "]]]]><![CDATA[>";
    return out + text.substr(from);
}

std::string CRecordText::Escape(const std::string& text) {
    return CUtilAPI::XMLSCEncode(CUtilAPI::UnLegalXMLUTF82Space(text));
}

bool CRecordText::WriteFileAtomically(const std::string& path, const std::string& bytes) {
    const std::string tmp = path + ".tmp";
    CUCAutoPtr<IUCFile> file(CUCFileFactory::CreateUCFile(CUCFileFactory::UCFILE_ORDINARY));
    if (!file || file->Open(tmp, "wb") != 0) return false;
    bool ok = bytes.empty() || file->Write(bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
    ok = file->Flush() == 0 && ok;
    ok = file->Close() == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    return false;
}
