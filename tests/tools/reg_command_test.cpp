// quillreg commands against a hive of their own: the output, messages and
// exit codes of query, add, delete, import and export.
#include "quillreg/reg_command.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/temp_home.h"
#include "quillreg/reg_file.h"

namespace {

using platform::RegKey;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char* kSuccess = "The operation completed successfully.\n";

struct Result {
  int code;
  std::string out;
  std::string err;
};

Result Quillreg(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  const int code = quillreg::RunRegCommand(args, in, out, err);
  return {code, out.str(), err.str()};
}

Bytes Stored(const std::string& key_path, const std::string& name, DWORD* type = nullptr) {
  RegKey key;
  if (RegKey::Open(key_path, platform::KEY_READ, key) != ERROR_SUCCESS) return {};
  DWORD stored_type = 0;
  Bytes data;
  if (key.QueryValue(name, stored_type, data) != ERROR_SUCCESS) return {};
  if (type) *type = stored_type;
  return data;
}

bool HasValue(const std::string& key_path, const std::string& name) {
  RegKey key;
  DWORD size = 0;
  return RegKey::Open(key_path, platform::KEY_READ, key) == ERROR_SUCCESS &&
         key.QueryValue(name, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class RegCommandTest : public ::testing::Test {
 protected:
  TempHome home_;

  // The service's settings key as the applet would leave it.
  static void MakeSettings() {
    RegKey key;
    ASSERT_EQ(RegKey::Create("Software\\Orvalen\\Mail Service\\Settings", platform::KEY_WRITE, key),
              ERROR_SUCCESS);
    key.SetDword("SmtpPort", 0x6E);
    key.SetString("MailFolder", "c:\\Mailboxes\\");
    const std::uint8_t blob[] = {0x01, 0xAB, 0x00};
    key.SetValue("Blob", platform::REG_BINARY, blob, sizeof blob);
    key.SetString("Temp", "%TEMP%\\x", platform::REG_EXPAND_SZ);
    key.SetString("", "dflt");
    RegKey sub;
    RegKey::Create("Software\\Orvalen\\Mail Service\\Settings\\Relay", platform::KEY_WRITE, sub);
    RegKey::Create("Software\\Orvalen\\Mail Service\\Settings\\accounts\\x", platform::KEY_WRITE, sub);
    sub.SetDword("n", 1);
  }
};

TEST_F(RegCommandTest, QueryShowsValuesThenSubkeysAsRegDoes) {
  MakeSettings();
  const Result r = Quillreg({"query", "HKLM\\software\\orvalen\\mail service\\settings"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\software\\orvalen\\mail service\\settings\n"
            "    SmtpPort    REG_DWORD    0x6e\n"
            "    MailFolder    REG_SZ    c:\\Mailboxes\\\n"
            "    Blob    REG_BINARY    01AB00\n"
            "    Temp    REG_EXPAND_SZ    %TEMP%\\x\n"
            "    (Default)    REG_SZ    dflt\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\software\\orvalen\\mail service\\settings\\accounts\n"
            "HKEY_LOCAL_MACHINE\\software\\orvalen\\mail service\\settings\\Relay\n"
            "\n");
}

TEST_F(RegCommandTest, QueryOfOneValueAndOfATree) {
  MakeSettings();
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Orvalen\\Mail Service\\Settings";
  struct Case {
    const char* label;
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {"one value, any case", {"QUERY", key, "/V", "smtpPORT"},
       "\n" + key + "\n    smtpPORT    REG_DWORD    0x6e\n\n"},
      {"default value", {"query", key, "/ve"}, "\n" + key + "\n    (Default)    REG_SZ    dflt\n\n"},
      {"unset default value", {"query", key + "\\Relay", "/ve"},
       "\n" + key + "\\Relay\n    (Default)    REG_SZ    (value not set)\n\n"},
      {"value searched below", {"query", key, "/v", "n", "/s"},
       "\n" + key + "\\accounts\\x\n    n    REG_DWORD    0x1\n\n" + "End of search: 1 match(es) found.\n"},
      {"whole tree", {"query", key + "\\accounts", "/s"},
       "\n" + key + "\\accounts\n" + key + "\\accounts\\x\n    n    REG_DWORD    0x1\n\n"},
  };
  for (const Case& c : cases) {
    const Result r = Quillreg(c.args);
    EXPECT_EQ(r.code, 0) << c.label << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.label;
  }
}

TEST_F(RegCommandTest, FailuresPrintRegMessagesAndExitWithOne) {
  MakeSettings();
  const std::string settings = "HKLM\\Software\\Orvalen\\Mail Service\\Settings";
  struct Case {
    const char* label;
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {"missing key", {"query", "HKLM\\Software\\Nothing"}, kNotFound},
      {"missing value", {"query", settings, "/v", "Nothing"}, kNotFound},
      {"delete missing value", {"delete", settings, "/v", "Nothing", "/f"}, kNotFound},
      {"delete missing key", {"delete", "HKLM\\Software\\Nothing", "/f"}, kNotFound},
      {"export missing key", {"export", "HKLM\\Software\\Nothing", home_.path() + "/x.reg"}, kNotFound},
      {"other root", {"query", "HKCU\\Software"}, "ERROR: Invalid key name.\nType \"QUILLREG QUERY /?\" for usage.\n"},
      {"deleting HKLM", {"delete", "HKLM", "/f"}, "ERROR: Invalid key name.\nType \"QUILLREG DELETE /?\" for usage.\n"},
      {"no operation", {}, "ERROR: Invalid syntax.\nType \"QUILLREG /?\" for usage.\n"},
      {"unknown operation", {"copy", settings}, "ERROR: Invalid syntax.\nType \"QUILLREG /?\" for usage.\n"},
      {"/v without a name", {"query", settings, "/v"}, "ERROR: Invalid syntax.\nType \"QUILLREG QUERY /?\" for usage.\n"},
      {"/v with /ve", {"query", settings, "/v", "a", "/ve"}, "ERROR: Invalid syntax.\nType \"QUILLREG QUERY /?\" for usage.\n"},
      {"option twice", {"add", settings, "/f", "/f"}, "ERROR: Invalid syntax.\nType \"QUILLREG ADD /?\" for usage.\n"},
      {"unknown option", {"query", settings, "/x"}, "ERROR: Invalid syntax.\nType \"QUILLREG QUERY /?\" for usage.\n"},
      {"two keys", {"query", settings, settings}, "ERROR: Invalid syntax.\nType \"QUILLREG QUERY /?\" for usage.\n"},
      {"unknown type", {"add", settings, "/v", "a", "/t", "REG_FOO"}, "ERROR: Invalid syntax.\nType \"QUILLREG ADD /?\" for usage.\n"},
      {"import missing file", {"import", home_.path() + "/none.reg"},
       "ERROR: Error opening the file. There may be a disk or file system error.\n"},
  };
  for (const Case& c : cases) {
    const Result r = Quillreg(c.args);
    EXPECT_EQ(r.code, 1) << c.label;
    EXPECT_EQ(r.err, c.err) << c.label;
    EXPECT_EQ(r.out, "") << c.label;
  }
}

TEST_F(RegCommandTest, AddStoresEachTypeAsWindowsDoes) {
  const std::string key = "HKLM\\Software\\Add";
  struct Case {
    const char* label;
    std::vector<std::string> options;
    int code;
    DWORD type;
    Bytes data;
  };
  const Case cases[] = {
      {"text is the default type", {"/d", "abc"}, 0, platform::REG_SZ, {'a', 'b', 'c', 0}},
      {"no data is an empty text", {}, 0, platform::REG_SZ, {0}},
      {"expand text", {"/t", "reg_expand_sz", "/d", "%T%"}, 0, platform::REG_EXPAND_SZ, {'%', 'T', '%', 0}},
      {"decimal dword", {"/t", "REG_DWORD", "/d", "110"}, 0, platform::REG_DWORD, {0x6E, 0, 0, 0}},
      {"hex dword", {"/t", "REG_DWORD", "/d", "0xFFFFFFFF"}, 0, platform::REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"dword without data", {"/t", "REG_DWORD"}, 0, platform::REG_DWORD, {0, 0, 0, 0}},
      {"dword past 32 bits", {"/t", "REG_DWORD", "/d", "4294967296"}, 1, 0, {}},
      {"negative dword", {"/t", "REG_DWORD", "/d", "-1"}, 1, 0, {}},
      {"dword with letters", {"/t", "REG_DWORD", "/d", "12a"}, 1, 0, {}},
      {"binary", {"/t", "REG_BINARY", "/d", "00ff10"}, 0, platform::REG_BINARY, {0x00, 0xFF, 0x10}},
      {"binary of odd length", {"/t", "REG_BINARY", "/d", "0ff"}, 1, 0, {}},
      {"binary not hex", {"/t", "REG_BINARY", "/d", "zz"}, 1, 0, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "v" + std::to_string(n++);
    std::vector<std::string> args = {"add", key, "/v", name};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Result r = Quillreg(args);
    EXPECT_EQ(r.code, c.code) << c.label << ": " << r.err;
    if (c.code != 0) {
      EXPECT_FALSE(HasValue("Software\\Add", name)) << c.label << ": nothing stored";
      continue;
    }
    EXPECT_EQ(r.out, kSuccess) << c.label;
    DWORD type = 0;
    EXPECT_EQ(Stored("Software\\Add", name, &type), c.data) << c.label;
    EXPECT_EQ(type, c.type) << c.label;
  }
}

TEST_F(RegCommandTest, OverwritingAndDeletingAskUnlessForced) {
  const std::string key = "HKLM\\Software\\Ask";
  ASSERT_EQ(Quillreg({"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "25"}).code, 0);

  Result r = Quillreg({"add", key, "/v", "PORT", "/t", "REG_DWORD", "/d", "26"}, "n\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "Value PORT exists, overwrite(Yes/No)? The registry operation was cancelled.\n");
  EXPECT_EQ(Stored("Software\\Ask", "Port"), (Bytes{25, 0, 0, 0}));

  r = Quillreg({"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "27"}, "");  // no answer at all
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(Stored("Software\\Ask", "Port"), (Bytes{25, 0, 0, 0}));

  r = Quillreg({"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "28"}, "maybe\nyes\n");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Stored("Software\\Ask", "Port"), (Bytes{28, 0, 0, 0}));

  r = Quillreg({"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "29", "/f"});
  EXPECT_EQ(r.out, kSuccess);
  EXPECT_EQ(Stored("Software\\Ask", "Port"), (Bytes{29, 0, 0, 0}));

  r = Quillreg({"delete", key, "/v", "port"}, "n\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "Delete the registry value port (Yes/No)? The registry operation was cancelled.\n");
  r = Quillreg({"delete", key, "/v", "port"}, "y\n");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Stored("Software\\Ask", "Port"), Bytes{});

  ASSERT_EQ(Quillreg({"add", key + "\\Sub", "/v", "a", "/d", "1"}).code, 0);
  ASSERT_EQ(Quillreg({"add", key, "/v", "b", "/d", "2"}).code, 0);
  ASSERT_EQ(Quillreg({"add", key, "/v", "c", "/d", "3"}).code, 0);
  r = Quillreg({"delete", key, "/va", "/f"});
  EXPECT_EQ(r.code, 0);
  std::vector<RegKey::Value> values;
  RegKey opened;
  ASSERT_EQ(RegKey::Open("Software\\Ask", platform::KEY_READ, opened), ERROR_SUCCESS);
  ASSERT_EQ(opened.EnumValues(values), ERROR_SUCCESS);
  EXPECT_TRUE(values.empty());
  EXPECT_TRUE(RegKey::Exists("Software\\Ask\\Sub")) << "/va leaves subkeys";

  r = Quillreg({"delete", key}, "y\n");
  EXPECT_EQ(r.out, "Permanently delete the registry key HKEY_LOCAL_MACHINE\\Software\\Ask (Yes/No)? " +
                       std::string(kSuccess));
  EXPECT_FALSE(RegKey::Exists("Software\\Ask"));
}

TEST_F(RegCommandTest, ExportThenImportIntoAFreshMachineGivesTheSameTree) {
  MakeSettings();
  RegKey odd;
  ASSERT_EQ(RegKey::Create("Software\\Orvalen\\Ünïcode", platform::KEY_WRITE, odd), ERROR_SUCCESS);
  odd.SetString("Zoë", "naïve €");
  odd.SetString("Multi", "line1\r\nline2");
  const std::string file = home_.path() + "/export.reg";  // outlives the second machine

  Result r = Quillreg({"export", "hklm\\software\\orvalen", file});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kSuccess);
  std::vector<quillreg::RegExportKey> before;
  ASSERT_EQ(quillreg::CollectExportKeys("Software\\Orvalen", before), ERROR_SUCCESS);

  // A second export to the same file asks first.
  r = Quillreg({"export", "hklm\\software\\orvalen", file}, "n\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "File " + file + " already exists. Overwrite (Yes/No)? The registry operation was cancelled.\n");

  TempHome fresh;
  r = Quillreg({"import", file});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, kSuccess);
  std::vector<quillreg::RegExportKey> after;
  ASSERT_EQ(quillreg::CollectExportKeys("software\\orvalen", after), ERROR_SUCCESS);
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].path, before[i].path) << "keys keep their spelling";
    ASSERT_EQ(after[i].values.size(), before[i].values.size()) << before[i].path;
    for (const auto& value : before[i].values) {
      DWORD type = 0;
      EXPECT_EQ(Stored(after[i].path, value.name, &type), value.data) << before[i].path << " " << value.name;
      EXPECT_EQ(type, value.type) << value.name;
    }
  }
}

TEST_F(RegCommandTest, ImportTakesHandWrittenUtf8AndRefusesBrokenFilesWhole) {
  const std::string good = home_.path() + "/good.reg";
  WriteFile(good,
            "Windows Registry Editor Version 5.00\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Hand]\n"
            "\"Port\"=dword:00000019\n"
            "\"List\"=hex:01,02,\\\n"
            "   03,04\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Hand\\Old]\n"
            "[-HKEY_LOCAL_MACHINE\\Software\\Hand\\Old]\n");
  Result r = Quillreg({"import", good});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Stored("Software\\Hand", "port"), (Bytes{0x19, 0, 0, 0}));
  EXPECT_EQ(Stored("Software\\Hand", "List"), (Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(RegKey::Exists("Software\\Hand\\Old"));

  const std::string broken = home_.path() + "/broken.reg";
  WriteFile(broken,
            "Windows Registry Editor Version 5.00\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Half]\n"
            "\"a\"=dword:1\n"
            "\"b\"=dword:xyz\n");
  r = Quillreg({"import", broken});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            "ERROR: Line 4 of the registry script: dword data must be 1 to 8 hexadecimal digits.\n");
  EXPECT_FALSE(RegKey::Exists("Software\\Half")) << "nothing of a broken file is applied";

  const std::string text = home_.path() + "/notes.txt";
  WriteFile(text, "just some notes\n");
  r = Quillreg({"import", text});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            "ERROR: The specified file is not a registry script. You can only import binary "
            "registry files from within the registry editor.\n");
}

}  // namespace
