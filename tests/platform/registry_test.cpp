// The HKEY_LOCAL_MACHINE hive: case rules, stored bytes, Windows results,
// deletion, enumeration order, limits, the file's mode and journal, writers in
// two processes at once, and a hive the process may not write.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_home.h"

namespace {

using platform::RegKey;

using Bytes = std::vector<std::uint8_t>;

class RegistryTest : public ::testing::Test {
 protected:
  TempHome home_;

  static RegKey CreateKey(const std::string& path, bool* created = nullptr) {
    RegKey key;
    EXPECT_EQ(RegKey::Create(path, platform::KEY_ALL_ACCESS, key, created), ERROR_SUCCESS) << path;
    return key;
  }
  static Bytes Data(const RegKey& key, const std::string& name, DWORD* type = nullptr) {
    DWORD stored_type = 0;
    Bytes data;
    EXPECT_EQ(key.QueryValue(name, stored_type, data), ERROR_SUCCESS) << name;
    if (type) *type = stored_type;
    return data;
  }
};

TEST_F(RegistryTest, KeyPathsCompareWithoutCaseAndKeepTheirFirstSpelling) {
  bool created = false;
  CreateKey("Software\\Orvalen\\Mail Service", &created);
  EXPECT_TRUE(created);

  struct Case {
    const char* label;
    const char* path;
    const char* stored;
  };
  const Case cases[] = {
      {"all lower", "software\\orvalen\\mail service", "Software\\Orvalen\\Mail Service"},
      {"all upper", "SOFTWARE\\ORVALEN", "Software\\Orvalen"},
      {"trailing separator", "Software\\Orvalen\\", "Software\\Orvalen"},
      {"doubled separator", "Software\\\\Orvalen", "Software\\Orvalen"},
  };
  for (const Case& c : cases) {
    RegKey key;
    ASSERT_EQ(RegKey::Open(c.path, platform::KEY_READ, key), ERROR_SUCCESS) << c.label;
    EXPECT_EQ(key.Path(), c.stored) << c.label;
    EXPECT_TRUE(RegKey::Exists(c.path)) << c.label;
  }

  // Creating with another spelling opens the existing key.
  RegKey again = CreateKey("SOFTWARE\\orvalen\\MAIL SERVICE", &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(again.Path(), "Software\\Orvalen\\Mail Service");
  std::vector<std::string> subkeys;
  ASSERT_EQ(CreateKey("software").EnumSubkeys(subkeys), ERROR_SUCCESS);
  EXPECT_EQ(subkeys, std::vector<std::string>{"Orvalen"});

  // Letters beyond ASCII fold too; other names stay apart.
  CreateKey("Software\\Ärger\\Журнал");
  EXPECT_TRUE(RegKey::Exists("software\\ärger\\журнал"));
  EXPECT_FALSE(RegKey::Exists("software\\arger"));
}

TEST_F(RegistryTest, ValueNamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
  RegKey key = CreateKey("Software\\Orvalen\\Mail Service\\Settings");
  ASSERT_EQ(key.SetDword("SmtpPort", 25), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword("SMTPPORT", 2525), ERROR_SUCCESS);

  std::vector<RegKey::Value> values;
  ASSERT_EQ(key.EnumValues(values), ERROR_SUCCESS);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "SmtpPort");
  EXPECT_EQ(values[0].data, (Bytes{0xDD, 0x09, 0, 0}));
  EXPECT_EQ(Data(key, "smtpport"), (Bytes{0xDD, 0x09, 0, 0}));
}

TEST_F(RegistryTest, ValuesAreStoredAsTheBytesWindowsStores) {
  RegKey key = CreateKey("Software\\Types");
  struct Case {
    const char* label;
    LONG (*set)(RegKey&);
    DWORD type;
    Bytes bytes;
  };
  const Case cases[] = {
      {"REG_SZ keeps its terminating zero", [](RegKey& k) { return k.SetString("v", "abc"); },
       platform::REG_SZ, {'a', 'b', 'c', 0}},
      {"empty REG_SZ is one zero", [](RegKey& k) { return k.SetString("v", ""); }, platform::REG_SZ,
       {0}},
      {"REG_EXPAND_SZ", [](RegKey& k) { return k.SetString("v", "%T%", platform::REG_EXPAND_SZ); },
       platform::REG_EXPAND_SZ, {'%', 'T', '%', 0}},
      {"REG_DWORD little-endian", [](RegKey& k) { return k.SetDword("v", 0x0000006E); },
       platform::REG_DWORD, {0x6E, 0, 0, 0}},
      {"REG_DWORD high bytes", [](RegKey& k) { return k.SetDword("v", 0xA1B2C3D4); },
       platform::REG_DWORD, {0xD4, 0xC3, 0xB2, 0xA1}},
      {"REG_BINARY with zeros",
       [](RegKey& k) {
         const std::uint8_t raw[] = {0, 1, 0, 0xFF};
         return k.SetValue("v", platform::REG_BINARY, raw, sizeof raw);
       },
       platform::REG_BINARY, {0, 1, 0, 0xFF}},
      {"empty REG_BINARY", [](RegKey& k) { return k.SetValue("v", platform::REG_BINARY, nullptr, 0); },
       platform::REG_BINARY, {}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.set(key), ERROR_SUCCESS) << c.label;
    // Read through a second connection: what is stored, not what is cached.
    RegKey reader;
    ASSERT_EQ(RegKey::Open("software\\types", platform::KEY_READ, reader), ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(Data(reader, "V", &type), c.bytes) << c.label;
    EXPECT_EQ(type, c.type) << c.label;
  }
}

TEST_F(RegistryTest, QueryValueFollowsTheBufferRulesOfWindows) {
  RegKey key = CreateKey("Software\\Buffers");
  ASSERT_EQ(key.SetString("Name", "hello"), ERROR_SUCCESS);  // 6 bytes

  struct Case {
    const char* label;
    bool with_buffer;
    bool with_size;
    DWORD size_in;
    LONG result;
    DWORD size_out;
  };
  const Case cases[] = {
      {"size only", false, true, 0, ERROR_SUCCESS, 6},
      {"buffer too small", true, true, 5, ERROR_MORE_DATA, 6},
      {"zero-size buffer", true, true, 0, ERROR_MORE_DATA, 6},
      {"exact buffer", true, true, 6, ERROR_SUCCESS, 6},
      {"larger buffer", true, true, 64, ERROR_SUCCESS, 6},
      {"buffer without size", true, false, 0, ERROR_INVALID_PARAMETER, 0},
      {"type only", false, false, 0, ERROR_SUCCESS, 0},
  };
  for (const Case& c : cases) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    DWORD size = c.size_in;
    DWORD type = 0;
    const LONG rc = key.QueryValue("name", &type, c.with_buffer ? buffer : nullptr,
                                   c.with_size ? &size : nullptr);
    EXPECT_EQ(rc, c.result) << c.label;
    if (c.with_size) {
      EXPECT_EQ(size, c.size_out) << c.label;
    }
    if (rc == ERROR_SUCCESS) {
      EXPECT_EQ(type, platform::REG_SZ) << c.label;
    }
    if (rc == ERROR_SUCCESS && c.with_buffer) {
      EXPECT_STREQ(buffer, "hello") << c.label;
    }
    if (rc == ERROR_MORE_DATA) {
      EXPECT_EQ(buffer[0], '#') << c.label << ": buffer left alone";
    }
  }
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
  RegKey key;
  // No hive yet: looking does not create the file.
  EXPECT_EQ(RegKey::Open("Software", platform::KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_FALSE(std::ifstream(home_.path() + "/registry.db").good());

  RegKey settings = CreateKey("Software\\Orvalen");
  EXPECT_EQ(RegKey::Open("Software\\Orvalen\\Missing", platform::KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegKey::Open("Missing\\Orvalen", platform::KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(RegKey::Exists("Software\\Orval"));
  DWORD size = 0;
  EXPECT_EQ(settings.QueryValue("Nothing", nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(settings.DeleteValue("Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegKey::DeleteTree("Software\\Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegKey::DeleteTree(""), ERROR_ACCESS_DENIED) << "HKLM itself";

  RegKey closed;
  EXPECT_EQ(closed.SetDword("x", 1), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, DeleteTreeRemovesTheKeyAndEverythingBelowItOnly) {
  CreateKey("Software\\A\\B\\C").SetDword("deep", 1);
  CreateKey("Software\\A").SetDword("top", 1);
  CreateKey("Software\\AB").SetDword("sibling", 1);  // shares a prefix, not a parent
  CreateKey("Software").SetDword("parent", 1);
  RegKey handle = CreateKey("Software\\A\\B");

  ASSERT_EQ(RegKey::DeleteTree("software\\a"), ERROR_SUCCESS);
  EXPECT_FALSE(RegKey::Exists("Software\\A"));
  EXPECT_FALSE(RegKey::Exists("Software\\A\\B\\C"));
  EXPECT_TRUE(RegKey::Exists("Software\\AB"));
  EXPECT_EQ(Data(CreateKey("Software\\AB"), "sibling"), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(Data(CreateKey("Software"), "parent"), (Bytes{1, 0, 0, 0}));

  // A handle to a deleted key fails instead of writing into nowhere.
  EXPECT_EQ(handle.SetDword("late", 1), platform::ERROR_KEY_DELETED);
  DWORD size = 0;
  EXPECT_EQ(handle.QueryValue("late", nullptr, nullptr, &size), platform::ERROR_KEY_DELETED);

  // A key made again under the old name starts empty.
  std::vector<RegKey::Value> values;
  ASSERT_EQ(CreateKey("Software\\A\\B\\C").EnumValues(values), ERROR_SUCCESS);
  EXPECT_TRUE(values.empty());
}

TEST_F(RegistryTest, EnumerationKeepsCreationOrderForValuesAndSortsSubkeys) {
  RegKey key = CreateKey("Software\\Order");
  key.SetDword("Zeta", 1);
  key.SetDword("alpha", 2);
  key.SetDword("Mid", 3);
  key.SetDword("ZETA", 4);  // overwrite keeps the place
  key.DeleteValue("alpha");
  key.SetDword("Alpha", 5);  // deleted and made again: last
  std::vector<RegKey::Value> values;
  ASSERT_EQ(key.EnumValues(values), ERROR_SUCCESS);
  std::vector<std::string> names;
  for (const auto& v : values) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "Mid", "Alpha"}));

  for (const char* sub : {"beta", "Alpha", "gamma", "BETA2"}) CreateKey(std::string("Software\\Order\\") + sub);
  std::vector<std::string> subkeys;
  ASSERT_EQ(key.EnumSubkeys(subkeys), ERROR_SUCCESS);
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "beta", "BETA2", "gamma"}));
}

TEST_F(RegistryTest, NamesAndDataPastTheLimitsAreRefused) {
  const std::string longest_key(platform::kMaxKeyNameChars, 'k');
  const std::string longest_value(platform::kMaxValueNameChars, 'v');
  std::string deepest;
  for (std::size_t i = 0; i < platform::kMaxKeyDepth; ++i) deepest += "d\\";
  std::string accented;  // limits count characters, not bytes
  for (std::size_t i = 0; i < platform::kMaxKeyNameChars; ++i) accented += "é";

  struct Case {
    const char* label;
    std::string key;
    LONG result;
  };
  const Case keys[] = {
      {"key name at the limit", longest_key, ERROR_SUCCESS},
      {"key name one past", longest_key + "k", ERROR_INVALID_PARAMETER},
      {"key name at the limit in two-byte characters", accented, ERROR_SUCCESS},
      {"depth at the limit", deepest, ERROR_SUCCESS},
      {"depth one past", deepest + "d", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : keys) {
    RegKey key;
    EXPECT_EQ(RegKey::Create(c.key, platform::KEY_WRITE, key), c.result) << c.label;
  }

  RegKey key = CreateKey("Software\\Limits");
  EXPECT_EQ(key.SetDword(longest_value, 1), ERROR_SUCCESS);
  EXPECT_EQ(key.SetDword(longest_value + "v", 1), ERROR_INVALID_PARAMETER);
  const Bytes big(platform::kMaxValueBytes + 1, 0);
  EXPECT_EQ(key.SetValue("big", platform::REG_BINARY, big.data(), static_cast<DWORD>(big.size())),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, HiveFileIsPrivateAndWrittenAheadLogged) {
  CreateKey("Software").SetString("Password", "secret");
  struct stat st {};
  ASSERT_EQ(::stat((home_.path() + "/registry.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // SQLite marks WAL mode in the file header: bytes 18 and 19 are 2.
  std::ifstream file(home_.path() + "/registry.db", std::ios::binary);
  char header[20] = {};
  file.read(header, sizeof header);
  EXPECT_EQ(header[18], 2);
  EXPECT_EQ(header[19], 2);
  EXPECT_TRUE(platform::HiveIsWritable());
}

// Runs `body` in a child process and returns its exit status (or -1).
template <typename Body>
int RunInChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceBothLand) {
  constexpr int kWriters = 2;
  constexpr int kValuesEach = 60;
  // Both children start together on a hive that does not exist yet, so they
  // also race to create the file, its schema and the shared key.
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char ignored;
      (void)!::read(gate[0], &ignored, 1);  // returns when the parent closes the gate
      int failures = 0;
      for (int i = 0; i < kValuesEach; ++i) {
        RegKey key;
        if (RegKey::Create("Software\\Race\\Shared", platform::KEY_WRITE, key) != ERROR_SUCCESS ||
            key.SetDword("w" + std::to_string(w) + "_" + std::to_string(i), i) != ERROR_SUCCESS) {
          ++failures;
        }
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a failure";
  }
  RegKey key;
  ASSERT_EQ(RegKey::Open("software\\race\\shared", platform::KEY_READ, key), ERROR_SUCCESS);
  std::vector<RegKey::Value> values;
  ASSERT_EQ(key.EnumValues(values), ERROR_SUCCESS);
  EXPECT_EQ(values.size(), static_cast<std::size_t>(kWriters * kValuesEach));
  for (int w = 0; w < kWriters; ++w) {
    const std::string name = "w" + std::to_string(w) + "_" + std::to_string(kValuesEach - 1);
    EXPECT_EQ(Data(key, name), (Bytes{kValuesEach - 1, 0, 0, 0})) << name;
  }
}

TEST_F(RegistryTest, AUserWhoCannotWriteTheHiveIsDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kNobody = 65534;
  CreateKey("Software\\Orvalen").SetString("Password", "secret");
  ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);  // the state root may be entered

  // The hive is 0600 root: another user may neither write nor read it.
  const int status = RunInChild([] {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return 10;
    RegKey key;
    if (RegKey::Open("Software\\Orvalen", platform::KEY_READ, key) != ERROR_ACCESS_DENIED) return 11;
    if (RegKey::Create("Software\\Other", platform::KEY_WRITE, key) != ERROR_ACCESS_DENIED) return 12;
    if (RegKey::DeleteTree("Software\\Orvalen") != ERROR_ACCESS_DENIED) return 13;
    if (platform::HiveIsWritable()) return 14;
    if (platform::HiveIsReadable()) return 15;
    return 0;
  });
  EXPECT_EQ(status, 0) << "10 setuid, 11 open, 12 create, 13 delete, 14 HiveIsWritable, 15 HiveIsReadable";
  EXPECT_TRUE(platform::HiveIsReadable()) << "its owner reads it";
  EXPECT_TRUE(RegKey::Exists("Software\\Orvalen"));
}

}  // namespace
