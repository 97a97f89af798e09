#include "model_test_home.h"

#include "platform/paths.h"

void AppletModelTest::SetUp() {
  m_pHome = std::make_unique<TempHome>("qp-test-applet-");
  m_home = m_pHome->path();
}

void AppletModelTest::TearDown() { m_pHome.reset(); }

std::string AppletModelTest::Native(const std::string& path) { return platform::MapPath(path); }
