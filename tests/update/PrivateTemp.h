// A TEMP of the test program's own, so that the update's marker never
// lands in the user's directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
