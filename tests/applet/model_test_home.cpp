#include "model_test_home.h"

#include <cstdlib>
#include <random>

#include "platform/paths.h"

void AppletModelTest::SetUp() {
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    m_home = base / ("qp-test-applet-" + std::to_string(random()));
    if (std::filesystem::create_directory(m_home)) break;
  }
  ASSERT_EQ(setenv("QUILLPOST_HOME", m_home.c_str(), 1), 0);
}

void AppletModelTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(m_home, ignored);
}

std::string AppletModelTest::Native(const std::string& path) { return platform::MapPath(path); }
