// Change notification on one folder: a file created, deleted or given a new
// name directly in it (not in its subfolders). The watch is a Waitable, so a
// thread waits for it together with its other objects (WaitForAny,
// MessageQueue::WaitWithMessages).
//
// The watch behaves like a change-notification handle: once a change is
// pending it stays signalled until Rearm() takes every pending change. A
// change that happens after Rearm() signals it again, so a caller that
// re-arms before it looks at the folder never misses a file.
#pragma once

#include <string>
#include <string_view>

#include "platform/sync.h"

namespace platform {

class DirWatch : public Waitable {
 public:
  DirWatch() = default;
  ~DirWatch() override;
  DirWatch(DirWatch&& other) noexcept;
  DirWatch& operator=(DirWatch&& other) noexcept;
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Starts watching `folder` (Windows or native path text). False when it is
  // not a folder that can be watched, or the system has no watch left to
  // give; an open watch is closed first.
  bool Open(std::string_view folder);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  // Takes every pending change. False when the watch has ended (the folder
  // was removed, moved away or its file system unmounted) or cannot be read;
  // a later wait would never be signalled then.
  bool Rearm();

  // Why the last Open or Rearm failed, in words for a log line.
  const std::string& ErrorText() const { return error_; }

  int PollFd() const override { return fd_; }
  // True while a change is pending; the change stays pending (see Rearm).
  bool TryConsume() override;

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace platform
