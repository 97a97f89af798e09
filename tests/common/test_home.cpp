// Installs the temporary state root of test_home.h as a global test
// environment, so that it is in place before anything reads QUILLPOST_HOME.
#include "common/test_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

namespace {

std::filesystem::path g_home;

class HomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      g_home = base / ("qp-test-common-" + std::to_string(random()));
      if (std::filesystem::create_directory(g_home)) break;
    }
    ASSERT_EQ(setenv("QUILLPOST_HOME", g_home.c_str(), 1), 0);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(g_home, ignored);
  }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new HomeEnvironment);

}  // namespace

const std::filesystem::path& TestHome() { return g_home; }
