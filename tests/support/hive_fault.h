// A registry hive that cannot be read, for the tests of what the applet does
// then: as for a user without the right to open it, the hive file of the
// current QUILLPOST_HOME is moved aside and a folder takes its name, so that
// every read and write fails with "Access is denied.".
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class ScopedUnreadableHive {
 public:
  ScopedUnreadableHive() : m_hive(std::filesystem::path(std::getenv("QUILLPOST_HOME")) / "registry.db") {
    m_aside = m_hive;
    m_aside += ".aside";
    std::filesystem::rename(m_hive, m_aside);
    std::filesystem::create_directory(m_hive);
  }
  ~ScopedUnreadableHive() { Restore(); }
  ScopedUnreadableHive(const ScopedUnreadableHive&) = delete;
  ScopedUnreadableHive& operator=(const ScopedUnreadableHive&) = delete;

  // Makes the hive readable again.
  void Restore() {
    if (m_restored) return;
    m_restored = true;
    std::filesystem::remove(m_hive);
    std::filesystem::rename(m_aside, m_hive);
  }

 private:
  std::filesystem::path m_hive;
  std::filesystem::path m_aside;
  bool m_restored = false;
};
