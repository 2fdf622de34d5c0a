// Test helpers: a temporary folder removed at the end of the test, and an
// environment variable set for the length of a scope.
#pragma once

#include <optional>
#include <string>

class CTestFolder {
public:
    CTestFolder();
    ~CTestFolder();
    CTestFolder(const CTestFolder&) = delete;
    CTestFolder& operator=(const CTestFolder&) = delete;

    const std::string& path() const { return m_strPath; }
    std::string file(const std::string& relative) const { return m_strPath + "/" + relative; }
    // Writes a file below the folder, creating its parent folders.
    void write(const std::string& relative, const std::string& content) const;
    // The file's content; empty when it cannot be read.
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    void makeFolder(const std::string& relative) const;

private:
    std::string m_strPath;
};

class CScopedEnv {
public:
    // value nullptr unsets the variable.
    CScopedEnv(const char* name, const char* value);
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_strOld;
};
