// A TEMP of the test program's own, so that the update's marker never
// lands in the user's directory; and no state directory at all, for tests of
// what happens when none can be had.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

class PrivateTemp : public ::testing::Environment {
public:
    void SetUp() override {
        char dir[] = "/tmp/duxk-update-test-XXXXXX";
        if (mkdtemp(dir)) {
            dir_ = dir;
            setenv("TEMP", dir, 1);
        }
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

private:
    std::string dir_;
};

// For its life TEMP and the private directories it would give way to
// (XDG_RUNTIME_DIR, HOME) all name `path`, something that is no usable
// directory; the environment is put back afterwards.
class NoStateDirectory {
public:
    explicit NoStateDirectory(const std::string& path) {
        for (const char* name : {"TEMP", "XDG_RUNTIME_DIR", "HOME"}) {
            const char* was = std::getenv(name);
            saved_.emplace_back(name,
                                was ? std::make_pair(true, std::string(was)) : std::make_pair(false, std::string()));
            setenv(name, path.c_str(), 1);
        }
    }
    ~NoStateDirectory() {
        for (const auto& [name, value] : saved_) {
            if (value.first)
                setenv(name, value.second.c_str(), 1);
            else
                unsetenv(name);
        }
    }
    NoStateDirectory(const NoStateDirectory&) = delete;
    NoStateDirectory& operator=(const NoStateDirectory&) = delete;

private:
    std::vector<std::pair<const char*, std::pair<bool, std::string>>> saved_;
};
