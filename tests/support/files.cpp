#include "support/files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace support {

TempDir::TempDir() {
    char pattern[] = "/tmp/tarnwick-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

bool write_file(const std::string &path, std::string_view bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string read_file(const std::string &path) {
    std::string text;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

std::size_t file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_ = dup(2);
    if (file_ == nullptr || saved_ < 0 || dup2(fileno(file_), 2) < 0)
        throw std::runtime_error("can't capture standard error");
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    std::fclose(file_);
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    std::string text;
    char buffer[65536];
    ssize_t n;
    for (off_t at = 0; (n = pread(fileno(file_), buffer, sizeof buffer, at)) > 0; at += n)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

}  // namespace support
