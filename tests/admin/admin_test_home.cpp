#include "admin_test_home.h"

#include "platform/paths.h"

void AdminTest::SetUp() {
  m_pHome = std::make_unique<TempHome>("qp-test-admin-");
  m_home = m_pHome->path();
}

void AdminTest::TearDown() { m_pHome.reset(); }

std::string AdminTest::Native(const std::string& path) { return platform::MapPath(path); }
