// Scratch files for tests: a fresh folder per test under the system's
// temporary directory, and small helpers to write and read whole files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

// Removes the scratch folders a test made once it has ended, passed or
// failed. A listener runs after the fixture is destroyed, so the files the
// test opened are closed by then (Windows refuses to delete open files).
// remove_all does not follow symbolic links, so a link a test made to a
// folder elsewhere never takes that folder's files with it.
class ScratchCleaner : public ::testing::EmptyTestEventListener {
public:
    void add(const std::string& path) { folders_.push_back(path); }

    void OnTestEnd(const ::testing::TestInfo&) override { remove_folders(); }
    void OnTestProgramEnd(const ::testing::UnitTest&) override { remove_folders(); }

private:
    std::vector<std::string> folders_;

    void remove_folders()
    {
        // QUORVEL_KEEP_SCRATCH=1 keeps them to look at after a failure.
        const char* keep = std::getenv("QUORVEL_KEEP_SCRATCH");
        for (const std::string& folder : folders_) {
            if (keep != nullptr && std::string(keep) == "1") {
                std::fprintf(stderr, "kept scratch folder %s\n", folder.c_str());
                continue;
            }
            std::error_code error;
            std::filesystem::remove_all(folder, error);
            if (error || fs_exists(folder.c_str())) {
                std::fprintf(stderr, "cannot remove scratch folder %s: %s\n", folder.c_str(),
                             error.message().c_str());
            }
        }
        folders_.clear();
    }
};

inline ScratchCleaner& scratch_cleaner()
{
    // GoogleTest owns and deletes an appended listener.
    static ScratchCleaner* cleaner = [] {
        auto* added = new ScratchCleaner;
        ::testing::UnitTest::GetInstance()->listeners().Append(added);
        return added;
    }();
    return *cleaner;
}

// A new empty folder, removed with everything in it when the current test ends.
inline std::string make_scratch_dir()
{
    static std::mt19937 rng{std::random_device{}()};
    const std::string base = ::testing::TempDir();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = base + "quorvel_test_" + std::to_string(rng());
        if (fs_make_dir(path.c_str()) == 0) {
            scratch_cleaner().add(path);
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
