// Unnamed files made ahead of time (see ready_files.h).
#include "store/ready_files.h"

#include <system_error>

namespace {

constexpr std::chrono::seconds kPauseAfterFailure{1};

}  // namespace

CReadyFiles::CReadyFiles(std::string temp_folder, std::string target_folder, std::size_t keep)
    : m_strTempFolder(std::move(temp_folder)), m_strTargetFolder(std::move(target_folder)), m_nKeep(keep) {
  m_arrReady.reserve(keep);
  try {
    m_Maker = std::thread([this] { MakeFiles(); });
  } catch (const std::system_error&) {
    // No thread to be had: every writer makes its own file, as before.
  }
}

CReadyFiles::~CReadyFiles() {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bStopping = true;
    m_Changed.notify_all();
  }
  if (m_Maker.joinable()) m_Maker.join();
}

platform::File CReadyFiles::Take() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_bTaken = true;
  platform::File file;
  if (!m_arrReady.empty()) {
    file = std::move(m_arrReady.back());
    m_arrReady.pop_back();
  }
  // The maker is woken once half the stock is gone, not at every file: it
  // then makes them in one go, without a switch of threads per message.
  if (m_arrReady.size() <= m_nKeep / 2) m_Changed.notify_all();
  return file;
}

void CReadyFiles::MakeFiles() {
  std::unique_lock<std::mutex> lock(m_Lock);
  for (;;) {
    m_Changed.wait(lock, [this] { return m_bStopping || (m_bTaken && m_arrReady.size() <= m_nKeep / 2); });
    if (m_Changed.wait_until(lock, m_tNextTry, [this] { return m_bStopping; })) return;
    // The folders are looked up once for the files made in one go.
    std::string folder;
    while (!m_bStopping && m_arrReady.size() < m_nKeep) {
      lock.unlock();
      if (folder.empty()) folder = platform::AtomicFileWriter::UnnamedFolder(m_strTempFolder, m_strTargetFolder);
      platform::File file = platform::AtomicFileWriter::MakeUnnamedIn(folder);
      lock.lock();
      if (!file.IsOpen()) {
        m_bTaken = false;
        m_tNextTry = std::chrono::steady_clock::now() + kPauseAfterFailure;
        break;
      }
      m_arrReady.push_back(std::move(file));
    }
    if (m_bStopping) return;
  }
}
