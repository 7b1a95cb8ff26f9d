// Independent end-to-end scenarios run side by side: each returns its
// failures as text (empty: passed) and they are reported together.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using Scenario = std::function<std::string()>;

// Runs every scenario on its own thread and checks that none failed. The
// scenarios' directories (TempDir()/<test>_<pid>) are kept for a look when
// one did, and removed otherwise.
inline void RunScenariosSideBySide(const std::vector<std::pair<const char*, Scenario>>& scenarios,
                                   const std::string& test) {
    std::vector<std::future<std::string>> results;
    for (const auto& s : scenarios) results.push_back(std::async(std::launch::async, s.second));
    for (size_t i = 0; i < scenarios.size(); ++i) {
        const std::string failures = results[i].get();
        EXPECT_TRUE(failures.empty()) << scenarios[i].first << ":\n" << failures;
    }
    if (!::testing::Test::HasFailure())
        std::filesystem::remove_all(::testing::TempDir() + test + "_" + std::to_string(getpid()));
}

}  // namespace e2e
