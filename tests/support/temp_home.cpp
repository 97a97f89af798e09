// Temporary state roots for tests (see temp_home.h).
#include "support/temp_home.h"

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

fs::path NewTempFolder(const std::string& prefix, const fs::path& base) {
  const fs::path parent = base.empty() ? fs::temp_directory_path() : base;
  std::random_device random;
  for (int tries = 0; tries < 100; ++tries) {
    const fs::path candidate = parent / (prefix + std::to_string(random()));
    std::error_code error;
    if (fs::create_directories(candidate, error)) return candidate;
  }
  throw std::runtime_error("cannot make a temporary folder below " + parent.string());
}

TempHome::TempHome(const std::string& prefix, const fs::path& base) {
  m_strPath = NewTempFolder(prefix, base).string();
  if (const char* previous = std::getenv("QUILLPOST_HOME")) {
    m_bHadPrevious = true;
    m_strPrevious = previous;
  }
  setenv("QUILLPOST_HOME", m_strPath.c_str(), 1);
}

TempHome::~TempHome() {
  if (m_bHadPrevious)
    setenv("QUILLPOST_HOME", m_strPrevious.c_str(), 1);
  else
    unsetenv("QUILLPOST_HOME");
  std::error_code ignored;
  fs::remove_all(m_strPath, ignored);
}
