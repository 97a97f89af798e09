// File helpers of the tests (see files.h).
#include "files.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::set<std::string> EntriesBelow(const fs::path& root, bool folders) {
  std::set<std::string> names;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory() == folders) names.insert(fs::relative(it->path(), root).generic_string());
  }
  return names;
}

}  // namespace

bool MakeFifo(const fs::path& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

bool MakeNullDevice(const fs::path& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFileBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.good();
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::set<std::string> FilesBelow(const fs::path& root) { return EntriesBelow(root, false); }

std::set<std::string> FoldersBelow(const fs::path& root) { return EntriesBelow(root, true); }
