// Spool files handed from their session to local delivery (see
// handed_spool_files.h).
#include "store/handed_spool_files.h"

#include <deque>
#include <mutex>
#include <utility>

namespace {

// Deliveries are taken in the order they were handed over, within moments:
// this many waiting means nobody is taking them (no worker, no server loop).
constexpr std::size_t kMaxWaiting = 256;

std::mutex g_Lock;
std::deque<std::pair<std::string, HandedSpoolFile>> g_Waiting;  // oldest first

}  // namespace

void KeepHandedSpoolFile(const std::string& path, HandedSpoolFile handed) {
  std::pair<std::string, HandedSpoolFile> dropped;
  std::lock_guard<std::mutex> guard(g_Lock);
  if (g_Waiting.size() >= kMaxWaiting) {
    dropped = std::move(g_Waiting.front());
    g_Waiting.pop_front();
  }
  g_Waiting.emplace_back(path, std::move(handed));
}

std::optional<HandedSpoolFile> TakeHandedSpoolFile(const std::string& path) {
  std::optional<HandedSpoolFile> taken;
  std::lock_guard<std::mutex> guard(g_Lock);
  for (auto it = g_Waiting.begin(); it != g_Waiting.end(); ++it) {
    if (it->first != path) continue;
    taken = std::move(it->second);
    g_Waiting.erase(it);
    break;
  }
  return taken;
}

void ReleaseHandedSpoolFiles() {
  std::deque<std::pair<std::string, HandedSpoolFile>> released;
  std::lock_guard<std::mutex> guard(g_Lock);
  released.swap(g_Waiting);
}
