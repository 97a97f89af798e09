// A small tmpfs mounted on a new folder for the life of an object: a folder
// on another file system than the rest of the test's files (a mailbox or the
// queue folder mounted from elsewhere). Mounting needs root; where it cannot
// be done, Mounted() is false and the test skips.
#pragma once

#include <filesystem>
#include <string>

class ScopedTmpfs {
 public:
  // Makes `folder` (and its parents) and mounts a tmpfs of `size_kib` on it.
  explicit ScopedTmpfs(const std::filesystem::path& folder, unsigned size_kib = 4096);
  // Unmounts (lazily when still busy) and removes the folder.
  ~ScopedTmpfs();
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

  bool Mounted() const { return m_bMounted; }
  // Why it could not be mounted.
  const std::string& Error() const { return m_strError; }

 private:
  std::filesystem::path m_Folder;
  bool m_bMounted = false;
  std::string m_strError;
};
