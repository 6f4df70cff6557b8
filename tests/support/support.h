#pragma once
// Shared test helpers: captured log lines, temporary folders, small file helpers.
#include <string>
#include <utility>
#include <vector>

// Captures everything logged through log_msg while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::pair<int, std::string>> lines() const;
    // Number of lines with this priority and exactly this text.
    int count(int priority, const std::string& text) const;
    // True when some line with this priority starts with `prefix`.
    bool has_prefix(int priority, const std::string& prefix) const;
    void clear();
};

// A fresh folder under /tmp, removed with its content at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
