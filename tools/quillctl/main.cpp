// quillctl: the administration of the mail service on the command line (see
// ctl_cli.h for its commands).
#include <iostream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "quillctl/ctl_cli.h"

int main(int argc, char** argv) {
  // A reader that goes away (quillctl log | head) ends the output with an
  // error instead of a signal.
  platform::StartupSockets();
  quillctl::Io io{
      std::cout, std::cerr, std::cin,
      [](const std::string& prompt, std::string& secret) { return platform::ReadSecretLine(prompt, secret); },
      [](unsigned ms) {
        platform::SleepMs(ms);
        return static_cast<bool>(std::cout);
      }};
  const int result = quillctl::Run(std::vector<std::string>(argv + 1, argv + argc), io);
  std::cout.flush();
  return result;
}
