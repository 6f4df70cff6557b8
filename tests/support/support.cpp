#include "support.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <cstdlib>

#include "sys/log.h"

namespace {
std::mutex g_mutex;
std::vector<std::pair<int, std::string>> g_lines;

void capture(int priority, const char* message) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.emplace_back(priority, message);
}
} // namespace

LogCapture::LogCapture() {
    clear();
    log_set_sink(capture);
}

LogCapture::~LogCapture() {
    log_set_sink(nullptr);
}

std::vector<std::pair<int, std::string>> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int LogCapture::count(int priority, const std::string& text) const {
    int n = 0;
    for (const auto& [p, line] : lines())
        if (p == priority && line == text)
            ++n;
    return n;
}

bool LogCapture::has_prefix(int priority, const std::string& prefix) const {
    for (const auto& [p, line] : lines())
        if (p == priority && line.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

TempDir::TempDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/kovex4-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed in " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}
