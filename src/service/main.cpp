// quillpost: the mail service program. Prints the banner, builds the one
// server object and lets its command-line dispatch choose what the process
// does (install, remove, start, stop, debug in a console, or run as the
// service); that operation's result is the exit code.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/sockets.h"
#include "service/mail_server.h"

namespace {

constexpr int kBannerWidth = 44;
constexpr const char* kVersionText = "             Version 3.3              ";

// The service name centred in a line framed by asterisks (the odd blank goes
// to the right, as in the version line).
void PrintBanner() {
  const char* name = kServiceName;
  const int inner = kBannerWidth - 2;
  const int length = static_cast<int>(std::strlen(name));
  const int left = length < inner ? (inner - length) / 2 : 0;
  const int right = length < inner ? inner - length - left : 0;
  std::printf("%s\n", std::string(kBannerWidth, '*').c_str());
  std::printf("*%*s%s%*s*\n", left, "", name, right, "");
  std::printf("*  %s  *\n", kVersionText);
  std::printf("%s\n", std::string(kBannerWidth, '*').c_str());
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  platform::StartupSockets();
  PrintBanner();
  int result = 0;
  {
    CMailServer server;
    result = server.DispatchCommandLine(argc, argv);
  }
  std::fflush(stdout);
  return result;
}
