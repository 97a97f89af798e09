// quillctl run in-process on a machine of its own: each test gets a fresh
// QUILLPOST_HOME, and Ctl() runs one command line with the text given on
// standard input (and the passwords "typed" on the terminal), returning the
// exit code and what went to standard output and error.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "support/temp_home.h"

struct CtlResult {
  int code = -1;
  std::string out;
  std::string err;
};

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // `typed`: the lines typed on the terminal, one per password asked for;
  // none means there is no terminal.
  static CtlResult Ctl(const std::vector<std::string>& args, const std::string& input = "",
                       const std::vector<std::string>& typed = {});
  // A new empty machine, for the next case of a table.
  void FreshMachine();
  // Whether the service's reload event was signalled since the last call.
  bool ReloadSignalled();
  std::string Native(const std::string& path) const;

 private:
  std::unique_ptr<TempHome> m_pHome;
  std::unique_ptr<platform::NamedEvent> m_pReload;
};
