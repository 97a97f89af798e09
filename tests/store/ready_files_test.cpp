// Files made ahead of time for spool files: they come once asked for, a
// folder that cannot have them does not stop the writers (who then make
// their own), and they come again once it can.
#include "store/ready_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;

// Takes files until one is ready (the maker runs beside the test).
platform::File TakeReady(CReadyFiles& stock, std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    platform::File file = stock.Take();
    if (file.IsOpen() || std::chrono::steady_clock::now() > until) return file;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(ReadyFiles, ComeWhenTheFolderCanHaveThem) {
  TempHome home;
  const std::string m = home.path() + "/drive_c/m";
  fs::create_directories(m + "/drop");
  {
    CReadyFiles stock("c:\\m\\.tmp", "c:\\m\\drop\\", 4);
    for (int i = 0; i < 6; ++i) {
      platform::File file = TakeReady(stock, std::chrono::seconds(10));
      ASSERT_TRUE(file.IsOpen()) << "file " << i;
      platform::AtomicFileWriter writer;
      ASSERT_TRUE(writer.BeginReady(std::move(file), "c:\\m\\drop\\", std::to_string(i) + ".eml"));
      ASSERT_TRUE(writer.Write("x"));
      ASSERT_TRUE(writer.Commit(false));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(m + "/drop"), fs::directory_iterator()), 6);
  }
  // The files still waiting went with the stock: nothing was left behind.
  EXPECT_TRUE(fs::is_empty(m + "/.tmp"));

  // A mail folder that is not there yet: none, and the stock keeps trying.
  CReadyFiles later("c:\\later\\.tmp", "c:\\later\\drop\\", 4);
  EXPECT_FALSE(later.Take().IsOpen());
  fs::create_directories(home.path() + "/drive_c/later/drop");
  EXPECT_TRUE(TakeReady(later, std::chrono::seconds(10)).IsOpen());
}

}  // namespace
