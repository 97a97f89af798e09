// Every test of the administration rules runs on a machine of its own: a
// fresh QUILLPOST_HOME below the temporary folder, made before the test and
// removed after it, so that registry values and mailbox folders of one test
// never reach another.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/temp_home.h"

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::filesystem::path& Home() const { return m_home; }
  // The Linux path of a Windows path text on this machine.
  static std::string Native(const std::string& path);

 private:
  std::unique_ptr<TempHome> m_pHome;
  std::filesystem::path m_home;
};
