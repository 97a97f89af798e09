// A machine of its own for tests: QUILLPOST_HOME (the state root with the
// registry hive, run/ and the drives) points at a fresh temporary folder.
//
//   TempHome    for the life of an object (one test, or one fixture);
//   TestHome()  for the whole test program, made before its first test and
//               removed after its last (test_home.cpp, GoogleTest programs).
#pragma once

#include <filesystem>
#include <string>

// A new folder below `base` (the temporary folder when empty) whose name is
// `prefix` and a random number.
std::filesystem::path NewTempFolder(const std::string& prefix, const std::filesystem::path& base = {});

class TempHome {
 public:
  // The folder is made below `base` (the temporary folder when empty); the
  // previous QUILLPOST_HOME comes back when the object goes.
  explicit TempHome(const std::string& prefix = "qp-test-", const std::filesystem::path& base = {});
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return m_strPath; }

 private:
  std::string m_strPath;
  std::string m_strPrevious;
  bool m_bHadPrevious = false;
};

// The test program's state root (see above); empty before the first test.
const std::filesystem::path& TestHome();
