#include "ctl_test_support.h"

#include <sstream>

#include "common/service_names.h"
#include "platform/paths.h"
#include "quillctl/ctl_cli.h"

void CtlTest::SetUp() { FreshMachine(); }

void CtlTest::FreshMachine() {
  m_pReload.reset();
  m_pHome.reset();
  m_pHome = std::make_unique<TempHome>("qp-test-ctl-");
  m_pReload = std::make_unique<platform::NamedEvent>();
  ASSERT_TRUE(m_pReload->Create(kReloadEventName));
}

void CtlTest::TearDown() {
  m_pReload.reset();
  m_pHome.reset();
}

CtlResult CtlTest::Ctl(const std::vector<std::string>& args, const std::string& input,
                       const std::vector<std::string>& typed) {
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream in(input);
  std::size_t next_typed = 0;
  quillctl::Io io{out, err, in,
                  [&](const std::string&, std::string& secret) {
                    if (next_typed >= typed.size()) return false;
                    secret = typed[next_typed++];
                    return true;
                  },
                  [](unsigned) { return false; }};
  CtlResult result;
  result.code = quillctl::Run(args, io);
  result.out = out.str();
  result.err = err.str();
  return result;
}

bool CtlTest::ReloadSignalled() { return m_pReload->TryConsume(); }

std::string CtlTest::Native(const std::string& path) const { return platform::MapPath(path); }
