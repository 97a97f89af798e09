// A tmpfs mount for the life of an object (see scoped_mount.h).
#include "support/scoped_mount.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ScopedTmpfs::ScopedTmpfs(const std::filesystem::path& folder, unsigned size_kib) : m_Folder(folder) {
  std::error_code error;
  std::filesystem::create_directories(m_Folder, error);
  if (::geteuid() != 0) {
    m_strError = "mounting a tmpfs needs root";
    return;
  }
  const std::string options = "size=" + std::to_string(size_kib) + "k,mode=0755";
  if (::mount("qp-test-tmpfs", m_Folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    m_strError = std::string("mount: ") + std::strerror(errno);
    return;
  }
  m_bMounted = true;
}

ScopedTmpfs::~ScopedTmpfs() {
  if (m_bMounted && ::umount(m_Folder.c_str()) != 0) ::umount2(m_Folder.c_str(), MNT_DETACH);
  std::error_code error;
  std::filesystem::remove(m_Folder, error);
}
