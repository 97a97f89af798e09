// The .reg format: parsing what Windows writes (UTF-16LE, CR LF, continued
// hex lines) and what people type (UTF-8, LF), refusing broken or hostile
// input as a whole, and writing the Windows form back.
#include "quillreg/reg_file.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "quillreg/reg_text.h"

namespace {

using quillreg::ParseRegFile;
using quillreg::RegParseStatus;
using quillreg::RegScript;
using Bytes = std::vector<std::uint8_t>;

// The bytes Windows' registry editor would write for `text` (LF line ends).
std::string WindowsFile(std::string_view text) {
  std::string crlf;
  for (const char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return "\xFF\xFE" + quillreg::Utf8ToUtf16Le(crlf);
}

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

constexpr std::string_view kSample =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; settings of the mail service\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Orvalen\\Mail Service\\Settings]\n"
    "\"MailFolder\"=\"c:\\\\Mailboxes\\\\\"\n"
    "\"Greeting\"=\"say \\\"hi\\\" to Zoë\"\n"
    "\"SmtpPort\"=dword:0000006E\n"
    "@=\"default\"\n"
    "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
    "  18,19,1a\n"
    "\"Path\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\n"
    "\"Gone\"=-\n"
    "\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n"
    "  [hklm\\Software\\Short]  \n";

void ExpectSampleScript(const RegScript& script, const char* label) {
  ASSERT_EQ(script.keys.size(), 3u) << label;
  const auto& settings = script.keys[0];
  EXPECT_EQ(settings.path, "Software\\Orvalen\\Mail Service\\Settings") << label;
  EXPECT_FALSE(settings.remove) << label;
  ASSERT_EQ(settings.values.size(), 7u) << label;

  struct Expected {
    const char* name;
    DWORD type;
    Bytes data;
    bool remove;
  };
  Bytes blob;
  for (int i = 0; i <= 0x1a; ++i) blob.push_back(static_cast<std::uint8_t>(i));
  const Expected expected[] = {
      {"MailFolder", platform::REG_SZ, AsBytes(std::string_view("c:\\Mailboxes\\\0", 14)), false},
      {"Greeting", platform::REG_SZ, AsBytes(std::string_view("say \"hi\" to Zo\xC3\xAB\0", 17)), false},
      {"SmtpPort", platform::REG_DWORD, {0x6E, 0, 0, 0}, false},
      {"", platform::REG_SZ, AsBytes(std::string_view("default\0", 8)), false},
      {"Blob", platform::REG_BINARY, blob, false},
      // hex(2) holds UTF-16LE in the file; the hive keeps UTF-8.
      {"Path", platform::REG_EXPAND_SZ, AsBytes(std::string_view("%TEMP%\0", 7)), false},
      {"Gone", platform::REG_NONE, {}, true},
  };
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const auto& value = settings.values[i];
    EXPECT_EQ(value.name, expected[i].name) << label << " #" << i;
    EXPECT_EQ(value.remove, expected[i].remove) << label << " " << value.name;
    EXPECT_EQ(value.type, expected[i].type) << label << " " << value.name;
    EXPECT_EQ(value.data, expected[i].data) << label << " " << value.name;
  }
  EXPECT_EQ(settings.values[4].line, 9) << label << ": a continued value counts from its first line";
  EXPECT_TRUE(script.keys[1].remove) << label;
  EXPECT_EQ(script.keys[1].path, "Software\\Old") << label;
  EXPECT_EQ(script.keys[2].path, "Software\\Short") << label;
}

TEST(RegFileParse, ReadsTheWindowsFormAndPlainUtf8Alike) {
  struct Case {
    const char* label;
    std::string bytes;
  };
  const Case cases[] = {
      {"UTF-16LE with BOM and CR LF", WindowsFile(kSample)},
      {"UTF-8 with LF", std::string(kSample)},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + std::string(kSample)},
      {"UTF-16LE without BOM", WindowsFile(kSample).substr(2)},
  };
  for (const Case& c : cases) {
    RegScript script;
    const auto result = ParseRegFile(c.bytes, script);
    ASSERT_EQ(result.status, RegParseStatus::kOk) << c.label << ": line " << result.line << " "
                                                  << result.reason;
    ExpectSampleScript(script, c.label);
  }
}

TEST(RegFileParse, Regedit4FilesKeepTheirTextBytes) {
  RegScript script;
  const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex(2):41,42,00\n";
  ASSERT_EQ(ParseRegFile(text, script).status, RegParseStatus::kOk);
  ASSERT_EQ(script.keys.size(), 1u);
  EXPECT_EQ(script.keys[0].values.at(0).data, (Bytes{'A', 'B', 0}));
}

TEST(RegFileParse, RefusesBrokenFilesWholeAndNamesTheLine) {
  constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00\n";
  const std::string key = "[HKLM\\Software\\A]\n";
  struct Case {
    const char* label;
    std::string bytes;
    RegParseStatus status;
    int line;
  };
  const Case cases[] = {
      {"empty file", "", RegParseStatus::kNotRegScript, 0},
      {"no header", key, RegParseStatus::kNotRegScript, 0},
      {"UTF-16BE", "\xFE\xFF", RegParseStatus::kNotRegScript, 0},
      {"odd UTF-16 length", WindowsFile(kHeader) + "x", RegParseStatus::kNotRegScript, 0},
      {"value before any key", std::string(kHeader) + "\"a\"=\"b\"\n", RegParseStatus::kBadLine, 2},
      {"value below a deleted key", std::string(kHeader) + "[-HKLM\\A]\n\"a\"=-\n",
       RegParseStatus::kBadLine, 3},
      {"other root", std::string(kHeader) + "[HKEY_CURRENT_USER\\A]\n", RegParseStatus::kBadLine, 2},
      {"root prefix only", std::string(kHeader) + "[HKLMX\\A]\n", RegParseStatus::kBadLine, 2},
      {"deleting HKLM", std::string(kHeader) + "[-HKEY_LOCAL_MACHINE]\n", RegParseStatus::kBadLine, 2},
      {"missing bracket", std::string(kHeader) + "[HKLM\\A\n", RegParseStatus::kBadLine, 2},
      {"text after bracket", std::string(kHeader) + "[HKLM\\A] x\n", RegParseStatus::kBadLine, 2},
      {"empty key name", std::string(kHeader) + "[HKLM\\A\\\\B]\n", RegParseStatus::kBadLine, 2},
      {"key name too long", std::string(kHeader) + "[HKLM\\" + std::string(256, 'k') + "]\n",
       RegParseStatus::kBadLine, 2},
      {"unterminated name", std::string(kHeader) + key + "\"a=\"b\n", RegParseStatus::kBadLine, 3},
      {"unterminated text", std::string(kHeader) + key + "\"a\"=\"b\n", RegParseStatus::kBadLine, 3},
      {"missing =", std::string(kHeader) + key + "\"a\" \"b\"\n", RegParseStatus::kBadLine, 3},
      {"text after string", std::string(kHeader) + key + "\"a\"=\"b\" c\n", RegParseStatus::kBadLine, 3},
      {"dword of 9 digits", std::string(kHeader) + key + "\"a\"=dword:000000001\n",
       RegParseStatus::kBadLine, 3},
      {"dword not hex", std::string(kHeader) + key + "\"a\"=dword:0000006g\n", RegParseStatus::kBadLine, 3},
      {"empty dword", std::string(kHeader) + key + "\"a\"=dword:\n", RegParseStatus::kBadLine, 3},
      {"hex byte of 3 digits", std::string(kHeader) + key + "\"a\"=hex:123\n", RegParseStatus::kBadLine, 3},
      {"hex doubled comma", std::string(kHeader) + key + "\"a\"=hex:01,,02\n", RegParseStatus::kBadLine, 3},
      {"hex type not closed", std::string(kHeader) + key + "\"a\"=hex(2:00\n", RegParseStatus::kBadLine, 3},
      {"hex type too wide", std::string(kHeader) + key + "\"a\"=hex(123456789):00\n",
       RegParseStatus::kBadLine, 3},
      {"hex without colon", std::string(kHeader) + key + "\"a\"=hex 00\n", RegParseStatus::kBadLine, 3},
      {"bad byte on continued line", std::string(kHeader) + key + "\"a\"=hex:00,\\\n  zz\n",
       RegParseStatus::kBadLine, 4},
      {"continuation at end of file", std::string(kHeader) + key + "\"a\"=hex:00,\\", RegParseStatus::kBadLine,
       3},
      {"odd UTF-16 text data", std::string(kHeader) + key + "\"a\"=hex(2):41,00,42\n",
       RegParseStatus::kBadLine, 3},
      {"unknown data", std::string(kHeader) + key + "\"a\"=qword:1\n", RegParseStatus::kBadLine, 3},
      {"stray line", std::string(kHeader) + key + "garbage\n", RegParseStatus::kBadLine, 3},
  };
  for (const Case& c : cases) {
    RegScript script;
    const auto result = ParseRegFile(c.bytes, script);
    EXPECT_EQ(result.status, c.status) << c.label;
    EXPECT_EQ(result.line, c.line) << c.label << ": " << result.reason;
    EXPECT_TRUE(script.keys.empty()) << c.label << ": nothing of a broken file is kept";
  }
}

TEST(RegFileParse, ValuesAndFilesPastTheLimitsAreRefused) {
  RegScript script;
  std::string huge(quillreg::kMaxRegFileBytes + 1, ' ');
  EXPECT_EQ(ParseRegFile(huge, script).status, RegParseStatus::kTooLarge);

  // One byte more than a value may hold, spread over continued lines.
  std::string text = "Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"a\"=hex:";
  std::string line;
  for (int i = 0; i < 256; ++i) line += "00,";
  line += "\\\n";
  for (std::size_t i = 0; i < platform::kMaxValueBytes / 256; ++i) text += line;
  text += "00\n";
  const auto result = ParseRegFile(text, script);
  EXPECT_EQ(result.status, RegParseStatus::kBadLine);
  EXPECT_EQ(result.reason, "value data too large");
}

TEST(RegFileParse, TruncatedAndDamagedFilesNeverYieldAPartialScript) {
  const std::string file = WindowsFile(kSample);
  // Every prefix: either a complete parse of what is there, or nothing.
  for (std::size_t size = 0; size <= file.size(); ++size) {
    RegScript script;
    const auto result = ParseRegFile(std::string_view(file).substr(0, size), script);
    if (result.status != RegParseStatus::kOk) {
      EXPECT_TRUE(script.keys.empty()) << "prefix " << size;
    }
  }
  // Random damage, with a fixed seed so that a failure repeats.
  std::mt19937 random(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = round % 2 ? file : std::string(kSample);
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
    }
    RegScript script;
    const auto result = ParseRegFile(damaged, script);
    if (result.status != RegParseStatus::kOk) {
      EXPECT_TRUE(script.keys.empty()) << "round " << round;
    }
  }
}

std::vector<quillreg::RegExportKey> SampleExport() {
  using Value = platform::RegKey::Value;
  Bytes long_binary;
  for (int i = 0; i < 40; ++i) long_binary.push_back(static_cast<std::uint8_t>(i * 7));
  return {
      {"Software\\Orvalen", {}},
      {"Software\\Orvalen\\Mail Service\\Settings",
       {
           Value{"SmtpPort", platform::REG_DWORD, {0x6E, 0, 0, 0}},
           Value{"MailFolder", platform::REG_SZ, AsBytes(std::string_view("c:\\Mail \"box\"\0", 14))},
           Value{"", platform::REG_SZ, AsBytes(std::string_view("dflt\0", 5))},
           Value{"Temp", platform::REG_EXPAND_SZ, AsBytes(std::string_view("%T%\0", 4))},
           Value{"Lines", platform::REG_SZ, AsBytes(std::string_view("a\r\nb\0", 5))},
           Value{"Users", platform::REG_BINARY, long_binary},
           Value{"Empty", platform::REG_BINARY, {}},
           Value{"Ärger", platform::REG_SZ, AsBytes(std::string_view("€\0", 4))},
       }},
  };
}

TEST(RegFileEmit, WritesTheWindowsForm) {
  const std::string text = quillreg::EmitRegText(SampleExport());
  const std::string expected =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Orvalen]\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Orvalen\\Mail Service\\Settings]\r\n"
      "@=\"dflt\"\r\n"
      "\"SmtpPort\"=dword:0000006e\r\n"
      "\"MailFolder\"=\"c:\\\\Mail \\\"box\\\"\"\r\n"
      "\"Temp\"=hex(2):25,00,54,00,25,00,00,00\r\n"
      "\"Lines\"=hex(1):61,00,0d,00,0a,00,62,00,00,00\r\n"
      "\"Users\"=hex:00,07,0e,15,1c,23,2a,31,38,3f,46,4d,54,5b,62,69,70,77,7e,85,8c,93,\\\r\n"
      "  9a,a1,a8,af,b6,bd,c4,cb,d2,d9,e0,e7,ee,f5,fc,03,0a,11\r\n"
      "\"Empty\"=hex:\r\n"
      "\"Ärger\"=\"€\"\r\n"
      "\r\n";
  EXPECT_EQ(text, expected);

  const std::string file = quillreg::EmitRegFile(SampleExport());
  ASSERT_GE(file.size(), 2u);
  EXPECT_EQ(file.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(quillreg::Utf16LeToUtf8(file.substr(2)), expected);
}

TEST(RegFileEmit, WhatIsWrittenParsesBackToTheSameValues) {
  const auto keys = SampleExport();
  RegScript script;
  const auto result = ParseRegFile(quillreg::EmitRegFile(keys), script);
  ASSERT_EQ(result.status, RegParseStatus::kOk) << result.line << " " << result.reason;
  ASSERT_EQ(script.keys.size(), keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k) {
    EXPECT_EQ(script.keys[k].path, keys[k].path);
    ASSERT_EQ(script.keys[k].values.size(), keys[k].values.size());
    for (const auto& original : keys[k].values) {
      bool found = false;
      for (const auto& parsed : script.keys[k].values) {
        if (parsed.name != original.name) continue;
        found = true;
        EXPECT_EQ(parsed.type, original.type) << original.name;
        EXPECT_EQ(parsed.data, original.data) << original.name;
      }
      EXPECT_TRUE(found) << original.name;
    }
  }
}

}  // namespace
