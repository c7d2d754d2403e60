// Shared by the config tests: reading bytes through read_config, and an
// independent Base64 for values too long to write out.
#pragma once

#include "config/settings.h"
#include "support/files.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <string_view>

namespace config_test {

struct ReadResult {
    Settings settings;
    std::string err;  // what read_config wrote to standard error
};

// Fresh settings, then read_config on exactly these bytes.
inline ReadResult read_bytes(std::string_view bytes) {
    clear_settings();
    support::StderrCapture capture;
    std::string buffer(bytes);
    buffer.push_back('\0');  // fmemopen wants a non-empty buffer; the size excludes this byte
    FILE *stream = fmemopen(buffer.data(), bytes.size(), "rb");
    EXPECT_NE(stream, nullptr);
    if (stream != nullptr) {
        read_config(stream);
        std::fclose(stream);
    }
    return {settings, capture.text()};
}

// Base64 done bit by bit, the slow obvious way.
inline std::string reference_base64(std::string_view bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bits;
    for (unsigned char c : bytes)
        for (int i = 7; i >= 0; --i)
            bits += ((c >> i) & 1) ? '1' : '0';
    while (bits.size() % 6 != 0)
        bits += '0';
    std::string out;
    for (std::size_t i = 0; i < bits.size(); i += 6)
        out += alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
    while (out.size() % 4 != 0)
        out += '=';
    return out;
}

}  // namespace config_test
