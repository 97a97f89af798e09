// What a program started by the Linux service manager tells it, and how its
// log reaches the journal. With NOTIFY_SOCKET in the environment the manager
// waits for the program's state as datagrams of newline-separated
// assignments ("READY=1", "RELOADING=1", "STOPPING=1") on that socket (a
// path, or an abstract name written with a leading "@"). With JOURNAL_STREAM
// ("device:inode") naming the program's standard error, that stream is the
// journal, which takes a "<N>" syslog priority at the start of each line.
#pragma once

#include <string_view>

namespace platform::notify {

// True when the service manager waits for our state (NOTIFY_SOCKET is set).
bool Watched();
// Sends `state` as one datagram; false when nobody watches or it fails.
bool Send(std::string_view state);
// "RELOADING=1" with the monotonic clock's time, which the manager needs to
// tell this reload from an earlier one.
bool SendReloading();
// True when standard error is the stream JOURNAL_STREAM names.
bool StderrIsJournal();

}  // namespace platform::notify
