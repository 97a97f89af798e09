// Room for a burst of connections made before it comes.
#include "platform/sockets.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

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
