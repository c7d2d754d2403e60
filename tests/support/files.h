// Temporary directories and whole-file reads and writes.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace support {

// A fresh directory under /tmp (mkdtemp), removed with its contents when the
// object goes away.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string file(std::string_view name) const;

private:
    std::string path_;
};

// Writes the bytes exactly (zero bytes included); false on any failure.
bool write_file(const std::string &path, std::string_view bytes);

// The whole file, or empty text when it can't be read.
std::string read_file(const std::string &path);

// The file's size, or 0 when it doesn't exist.
std::size_t file_size(const std::string &path);

// Points descriptor 2 at a temporary file for its lifetime (for code that
// writes to standard error in the test process: log_msg, perror, the config
// reader); text() is everything written so far.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    std::string text() const;

private:
    int saved_ = -1;
    std::FILE *file_ = nullptr;
};

}  // namespace support
