// Scratch files for tests: a fresh folder per test under the system's
// temporary directory, and small helpers to write and read whole files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "platform/platform.h"

inline std::string make_scratch_dir()
{
    static std::mt19937 rng{std::random_device{}()};
    const std::string base = ::testing::TempDir();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = base + "quorvel_test_" + std::to_string(rng());
        if (fs_make_dir(path.c_str()) == 0) {
            return path;
        }
    }
    ADD_FAILURE() << "cannot create a scratch folder under " << base;
    return base;
}

inline void write_file(const std::string& path, const std::string& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

inline std::string read_file(const std::string& path)
{
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return "<missing>";
    }
    char block[4096];
    std::size_t n = 0;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
        bytes.append(block, n);
    }
    std::fclose(f);
    return bytes;
}
