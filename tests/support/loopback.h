// Raw loopback sockets for the fake peers of the tests: the peers stand
// outside the service, so they use the system's sockets directly rather than
// the platform layer under test.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Milliseconds of a monotonic clock.
std::uint64_t NowMs();
// A socket of `type` (SOCK_STREAM listening, or SOCK_DGRAM) bound to ip:port
// (SO_REUSEADDR); -1 on failure. A low port waits first until no test run
// of another build folder uses ip's /24.
int BindLoopback(int type, const std::string& ip, int port);
// Polls fd for reading in slices, so that `stop` ends the wait.
bool WaitReadable(int fd, int timeout_ms, const std::atomic<bool>& stop);
// Shuts a listening socket down for reading: it polls readable for good, and
// every accept on it fails (EINVAL), as when the system has no memory left.
void BreakListeningSocket(int fd);
