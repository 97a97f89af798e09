// A state root of its own for a test: QUILLPOST_HOME points at a fresh
// temporary folder while the object lives.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempHome {
 public:
  TempHome() {
    char pattern[] = "/tmp/qp-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
    ::setenv("QUILLPOST_HOME", path_.c_str(), 1);
  }
  ~TempHome() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
