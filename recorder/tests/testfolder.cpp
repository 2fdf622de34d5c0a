#include "testfolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

CTestFolder::CTestFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/recorder_test.XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_strPath = pattern;
}

CTestFolder::~CTestFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
}

void CTestFolder::write(const std::string& relative, const std::string& content) const {
    std::filesystem::path path(file(relative));
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string CTestFolder::read(const std::string& relative) const {
    std::ifstream in(file(relative), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool CTestFolder::exists(const std::string& relative) const {
    struct stat st {};
    return ::lstat(file(relative).c_str(), &st) == 0;
}

void CTestFolder::makeFolder(const std::string& relative) const {
    std::filesystem::create_directories(file(relative));
}

CScopedEnv::CScopedEnv(const char* name, const char* value) : m_strName(name) {
    if (const char* old = std::getenv(name)) m_strOld = old;
    if (value) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

CScopedEnv::~CScopedEnv() {
    if (m_strOld) {
        ::setenv(m_strName.c_str(), m_strOld->c_str(), 1);
    } else {
        ::unsetenv(m_strName.c_str());
    }
}
