// Spool files a session of this process has committed and handed to local
// delivery, with what the delivery would otherwise read back from the disk:
// the recipients of the envelope (read from the very bytes written, as a
// reader of the file would find them) and the file itself, still open and
// holding the writer's lock. Whoever delivers the path takes them; while they
// wait, the lock keeps a scan of the drop folder (a start, a reload) from
// delivering the file a second time. At most a bounded number wait: the
// oldest goes (and its lock with it) when more come, and its delivery then
// reads the file as for any file found in the drop folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

struct HandedSpoolFile {
  std::vector<std::string> recipients;  // as ReadRecipients reads them
  platform::File file;                  // open, locked
};

// Keeps what the delivery of `path` (the path text the session hands over)
// needs.
void KeepHandedSpoolFile(const std::string& path, HandedSpoolFile handed);
// Takes what was kept for `path`, if anything (each is taken once).
std::optional<HandedSpoolFile> TakeHandedSpoolFile(const std::string& path);
// Lets every kept file go (a server that stops).
void ReleaseHandedSpoolFiles();
