// Room for a burst of connections made before it comes.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// How many descriptors this process's table holds now, as the system says.
long DescriptorTableSize() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("FDSize:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

long OpenDescriptors() {
  const std::filesystem::directory_iterator open("/proc/self/fd");
  return std::distance(begin(open), end(open));
}

// The table holds what was asked for (within the process's limit) at once,
// and the reservation leaves no descriptor open.
TEST(ReserveDescriptors, GrowsTheTableAndKeepsNothingOpen) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const long wanted = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, 4096));
  const long open_before = OpenDescriptors();
  platform::ReserveDescriptors(static_cast<int>(wanted));
  EXPECT_GE(DescriptorTableSize(), wanted);
  EXPECT_EQ(OpenDescriptors(), open_before);
}

}  // namespace

// A connection is left blocking for callers that wait in their sends and
// receives, non-blocking for those that poll; either way it is connected,
// and a port nobody listens on fails without leaving a descriptor open.
TEST(SocketConnect, LeavesTheModeAskedFor) {
  platform::Socket listener = platform::Socket::Listen(0, 8, "127.0.0.1");
  ASSERT_TRUE(listener.IsValid());
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  ASSERT_EQ(::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&bound), &size), 0);
  const int port = ntohs(bound.sin_port);
  using Mode = platform::Socket::Mode;
  for (const Mode mode : {Mode::kBlocking, Mode::kNonBlocking}) {
    platform::Socket client = platform::Socket::Connect("127.0.0.1", port, 2000, mode);
    ASSERT_TRUE(client.IsValid());
    const bool non_blocking = (::fcntl(client.fd(), F_GETFL) & O_NONBLOCK) != 0;
    EXPECT_EQ(non_blocking, mode == Mode::kNonBlocking);
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    EXPECT_EQ(::getpeername(client.fd(), reinterpret_cast<sockaddr*>(&peer), &peer_size), 0) << "connected";
  }
  listener.Close();
  const long open_before = OpenDescriptors();
  EXPECT_FALSE(platform::Socket::Connect("127.0.0.1", port, 2000).IsValid());
  EXPECT_EQ(OpenDescriptors(), open_before);
}
