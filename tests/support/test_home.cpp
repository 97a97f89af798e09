// The test program's own state root as a GoogleTest environment, so that it
// is in place before anything reads QUILLPOST_HOME (see temp_home.h).
#include <gtest/gtest.h>

#include <memory>

#include "support/temp_home.h"

namespace {

std::unique_ptr<TempHome> g_home;
std::filesystem::path g_path;

class HomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_home = std::make_unique<TempHome>("qp-test-");
    g_path = g_home->path();
  }
  void TearDown() override { g_home.reset(); }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new HomeEnvironment);

}  // namespace

const std::filesystem::path& TestHome() { return g_path; }
