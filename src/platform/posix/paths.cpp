// State root and Windows path mapping on Linux.
#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ascii.h"

namespace platform {
namespace {

constexpr const char* kDefaultStateRoot = "/var/lib/quillpost";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// mkdir -p with mode 0755 for the state root and run/.
void MakeFolders(const std::string& path) {
  std::string partial;
  for (std::size_t i = 0; i < path.size(); ++i) {
    partial.push_back(path[i]);
    if ((path[i] == '/' && i > 0) || i + 1 == path.size()) {
      ::mkdir(partial.c_str(), 0755);
    }
  }
}

// The entry of `folder` that matches `name` exactly, else without regard to
// case; `name` itself when there is none (a new entry keeps its spelling).
std::string ResolveComponent(const std::string& folder, const std::string& name) {
  const std::string exact = folder + "/" + name;
  struct stat st;
  if (::lstat(exact.c_str(), &st) == 0) return name;
  DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
  if (dir == nullptr) return name;
  std::string found = name;
  while (dirent* entry = ::readdir(dir)) {
    if (EqualsNoCase(entry->d_name, name)) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::string DriveFolder(char letter);

}  // namespace

std::string StateRoot() {
  // The environment is read on every call so that tests may switch machines;
  // folders are created once per distinct root.
  const char* env = std::getenv("QUILLPOST_HOME");
  std::string value = (env && *env) ? env : kDefaultStateRoot;
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  // Never destroyed, like DriveFolder's list: a connection thread that
  // outlived a stop may still map a path while the process exits.
  static std::mutex& lock = *new std::mutex;
  static std::string& made = *new std::string;
  std::lock_guard<std::mutex> guard(lock);
  if (made != value) {
    MakeFolders(value);
    MakeFolders(value + "/run");
    made = value;
  }
  return value;
}

std::string RunFolder() { return StateRoot() + "/run"; }

namespace {
// A drive always exists: its folder is made the first time it is named.
std::string DriveFolder(char letter) {
  std::string folder = StateRoot() + "/drive_" + letter;
  // Never destroyed: a connection thread that outlived a stop may still map
  // a path while the process exits and destroys its static objects.
  static std::mutex& lock = *new std::mutex;
  static std::vector<std::string>& made = *new std::vector<std::string>;
  std::lock_guard<std::mutex> guard(lock);
  for (const std::string& m : made)
    if (m == folder) return folder;
  ::mkdir(folder.c_str(), 0755);
  made.push_back(folder);
  return folder;
}
}  // namespace

namespace {

// Where a path text starts on disk: the drive's folder, the root, or the
// working folder; `pos` is set to where the text's components begin.
std::string BaseFolder(std::string_view path, std::size_t& pos) {
  pos = 0;
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    pos = 2;
    return DriveFolder(static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))));
  }
  if (!path.empty() && path[0] == '/') return "";
  // "\folder" without a drive: the current drive, which is c:.
  if (!path.empty() && path[0] == '\\') return DriveFolder('c');
  char cwd[4096];
  std::string base = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
  if (base == "/") base.clear();
  return base;
}

// The components of `path` from `pos` on, appended to `base` as spelled
// (without a trailing "/"); empty when a component is "." or "..".
std::string AppendAsSpelled(std::string base, std::string_view path, std::size_t pos) {
  std::string exact = std::move(base);
  while (pos < path.size()) {
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    if (pos >= path.size()) break;
    std::size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string_view name = path.substr(pos, end - pos);
    if (name == "." || name == "..") return std::string();
    exact.push_back('/');
    exact.append(name);
    pos = end;
  }
  return exact;
}

// A trailing separator of the text is kept as a trailing "/".
std::string KeepTrailingSeparator(std::string native, std::string_view path) {
  if (!native.empty() && !path.empty() && IsSeparator(path.back()) && native != "/") native.push_back('/');
  return native;
}

}  // namespace

std::string SpelledPath(std::string_view path) {
  std::size_t pos = 0;
  std::string base = BaseFolder(path, pos);
  return KeepTrailingSeparator(AppendAsSpelled(std::move(base), path, pos), path);
}

std::string MapPath(std::string_view path) {
  std::size_t pos = 0;
  const std::string base = BaseFolder(path, pos);

  // Most paths exist as spelled: one look at the whole path spares a look
  // at every component.
  const std::string exact = AppendAsSpelled(base, path, pos);
  struct stat st;
  if (!exact.empty() && ::lstat(exact.c_str(), &st) == 0) return KeepTrailingSeparator(exact, path);

  std::string result = base;
  bool trailing = false;
  while (pos < path.size()) {
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    if (pos >= path.size()) {
      trailing = true;
      break;
    }
    std::size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string name(path.substr(pos, end - pos));
    pos = end;
    if (name == ".") continue;
    if (name == "..") {
      const std::size_t slash = result.rfind('/');
      if (slash != std::string::npos) result.erase(slash);
      continue;
    }
    result += "/" + ResolveComponent(result, name);
    if (pos >= path.size()) break;
    // A separator follows: keep looking (a trailing one is noted above).
  }
  if (result.empty()) result = "/";
  if (trailing && result != "/") result.push_back('/');
  return result;
}

std::string ModuleFilePath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string ModuleFolder() {
  std::string path = ModuleFilePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "./";
  return path.substr(0, slash + 1);
}

std::string StripTrailingSeparators(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1])) --end;
  return std::string(path.substr(0, end));
}

std::string FileNamePart(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(path.substr(slash + 1));
}

}  // namespace platform
