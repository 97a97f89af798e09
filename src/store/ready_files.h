// Empty files without names, made ahead of time by a thread of their own for
// the writers of one folder (see AtomicFileWriter::MakeUnnamed): a session
// that takes one does not wait for the file system to find a free inode,
// which on a busy ext4 without a journal costs about a millisecond, more
// than the rest of a small message's write. An unnamed file leaves nothing
// behind when the process ends or crashes before it got a name.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"

class CReadyFiles {
 public:
  // Files for writes into `target_folder` whose temporary files go to
  // `temp_folder`; at most `keep` wait at once.
  CReadyFiles(std::string temp_folder, std::string target_folder, std::size_t keep);
  ~CReadyFiles();
  CReadyFiles(const CReadyFiles&) = delete;
  CReadyFiles& operator=(const CReadyFiles&) = delete;

  // A file for AtomicFileWriter::BeginReady, or a closed File when none is
  // ready (the caller makes its own, as it would without this).
  platform::File Take();

 private:
  void MakeFiles();

  const std::string m_strTempFolder;
  const std::string m_strTargetFolder;
  const std::size_t m_nKeep;
  std::mutex m_Lock;
  std::condition_variable m_Changed;
  std::vector<platform::File> m_arrReady;
  // After a failure (a missing folder, no inodes, no unnamed files on this
  // file system) the next try waits for a Take and a pause, so that a
  // folder that cannot have them costs a try a second at most.
  std::chrono::steady_clock::time_point m_tNextTry{};
  bool m_bTaken = false;
  bool m_bStopping = false;
  std::thread m_Maker;
};
