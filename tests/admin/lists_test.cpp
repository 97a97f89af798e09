// The stored lists of the list pages and quillctl: how elements map to
// columns, the duplicate rules, Remove, Move, and the size limits of loading
// and storing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin/stored_list.h"
#include "admin_test_home.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "support/hive_fault.h"

namespace admin {
namespace {

using Bytes = std::vector<std::uint8_t>;

class StoredListTest : public AdminTest {
 protected:
  static Bytes StoredBytes(const ListFormat& format) {
    Bytes data;
    ReadRegBinary(format.section, format.value, data);
    return data;
  }
  static std::vector<std::string> Stored(const ListFormat& format) {
    const Bytes data = StoredBytes(format);
    std::vector<std::string> texts;
    EXPECT_TRUE(serial_list::ReadTexts(data.data(), data.size(), texts));
    return texts;
  }
  static void Store(const ListFormat& format, const std::vector<std::string>& texts) {
    const Bytes bytes = serial_list::WriteTexts(texts);
    ASSERT_TRUE(WriteRegBinary(format.section, format.value, bytes.data(), bytes.size()));
  }
};

TEST_F(StoredListTest, ElementsSplitIntoColumnsAsEachListStoresThem) {
  struct Case {
    const char* label;
    ListFormat format;
    std::string element;
    ListRow row;
  };
  const Case cases[] = {
      {"domain", DomainsFormat(), "example.com", {"example.com"}},
      {"rule", ForwardRulesFormat(), "a@x|b@y", {"a@x", "b@y"}},
      {"rule cut at a second bar", ForwardRulesFormat(), "a|b|c", {"a", "b"}},
      {"rule without bar", ForwardRulesFormat(), "lonely", {"lonely", ""}},
      {"mx record", MxRecordsFormat(), "example.org|mx.example.net", {"example.org", "mx.example.net"}},
      {"blocked sender", BlockedSendersFormat(), "*@junk.example", {"*@junk.example"}},
      {"ip range, space", IpFilterFormat(), "10.0.0.1 10.0.0.9", {"10.0.0.1", "10.0.0.9"}},
      {"ip range, hyphen", IpFilterFormat(), "10.0.0.1-10.0.0.5", {"10.0.0.1", "10.0.0.5"}},
      {"ip range, comma", IpFilterFormat(), "10.0.0.1,10.0.0.5", {"10.0.0.1", "10.0.0.5"}},
      {"single ip", IpFilterFormat(), "192.168.0.7", {"192.168.0.7", "192.168.0.7"}},
  };
  for (const Case& c : cases) {
    Store(c.format, {c.element});
    CStoredList list(c.format);
    list.Load();
    ASSERT_EQ(list.Rows().size(), 1u) << c.label;
    EXPECT_EQ(list.Rows()[0], c.row) << c.label;
  }
}

TEST_F(StoredListTest, RowsJoinIntoTheStoredElements) {
  CStoredList rules(ForwardRulesFormat());
  rules.Add({"a@x", "b@y"});
  EXPECT_EQ(Stored(ForwardRulesFormat()), (std::vector<std::string>{"a@x|b@y"}));
  CStoredList addresses(IpFilterFormat());
  addresses.Add({"10.0.0.1", "10.0.0.1"});
  addresses.Add({"10.0.0.1", "10.0.0.9"});
  addresses.Add({"192.168.*.*", ""});
  EXPECT_EQ(Stored(IpFilterFormat()),
            (std::vector<std::string>{"10.0.0.1 10.0.0.1", "10.0.0.1 10.0.0.9", "192.168.*.*"}));
}

TEST_F(StoredListTest, DuplicatesAreFoundInEveryColumnWithoutRegardToCase) {
  struct Case {
    const char* label;
    ListFormat format;
    std::vector<ListRow> existing;
    ListRow added;
    bool stored;
  };
  const Case cases[] = {
      {"domain in other case", DomainsFormat(), {{"example.com"}}, {"EXAMPLE.com"}, false},
      {"another domain", DomainsFormat(), {{"example.com"}}, {"example.org"}, true},
      {"first empty domain", DomainsFormat(), {{"example.com"}}, {""}, true},
      {"second empty domain", DomainsFormat(), {{""}}, {""}, false},
      {"rule, same From, other To", ForwardRulesFormat(), {{"a@x", "b@y"}}, {"a@x", "c@y"}, true},
      {"rule equal in both", ForwardRulesFormat(), {{"a@x", "b@y"}}, {"A@X", "B@Y"}, false},
      {"record, same domain, other server", MxRecordsFormat(), {{"d", "mx1"}}, {"d", "mx2"}, true},
      {"record in other case", MxRecordsFormat(), {{"d", "mx1"}}, {"D", "MX1"}, false},
      {"sender in other case", BlockedSendersFormat(), {{"a@b"}}, {"A@B"}, false},
      {"same single address", IpFilterFormat(), {{"10.0.0.1", "10.0.0.1"}}, {"10.0.0.1", "10.0.0.1"}, false},
      {"same range", IpFilterFormat(), {{"10.0.0.1", "10.0.0.9"}}, {"10.0.0.1", "10.0.0.9"}, false},
      {"range from a listed address", IpFilterFormat(), {{"10.0.0.1", "10.0.0.1"}}, {"10.0.0.1", "10.0.0.9"}, true},
  };
  for (const Case& c : cases) {
    CStoredList list(c.format);
    for (const ListRow& row : c.existing) ASSERT_TRUE(list.Add(row)) << c.label;
    const Bytes before = StoredBytes(c.format);
    EXPECT_EQ(list.Add(c.added).has_value(), c.stored) << c.label;
    EXPECT_EQ(list.Rows().size(), c.existing.size() + (c.stored ? 1 : 0)) << c.label;
    if (!c.stored) {
      EXPECT_EQ(StoredBytes(c.format), before) << c.label;
    }
  }
}

TEST_F(StoredListTest, EditComparesWithTheEditedRowToo) {
  CStoredList list(DomainsFormat());
  list.Add({"example.com"});
  list.Add({"example.org"});
  EXPECT_FALSE(list.Edit(0, {"example.com"})) << "unchanged";
  EXPECT_FALSE(list.Edit(0, {"Example.COM"})) << "only re-cased";
  EXPECT_FALSE(list.Edit(0, {"EXAMPLE.ORG"})) << "equal to another row";
  EXPECT_FALSE(list.Edit(2, {"new.example"})) << "no such row";
  EXPECT_TRUE(list.Edit(1, {"example.net"}));
  EXPECT_EQ(Stored(DomainsFormat()), (std::vector<std::string>{"example.com", "example.net"}));
}

// Forward rules are tried in order: a rule moves to a position, the rows
// between shift by one, and the new order is stored.
TEST_F(StoredListTest, MoveStoresTheRowAtItsNewPosition) {
  struct Case {
    const char* label;
    int from;
    int to;
    std::vector<std::string> stored;  // nothing stored when empty
  };
  const Case cases[] = {
      {"last to first", 2, 0, {"c|3", "a|1", "b|2"}},
      {"first to last", 0, 2, {"b|2", "c|3", "a|1"}},
      {"one down", 0, 1, {"b|2", "a|1", "c|3"}},
      {"onto itself", 1, 1, {"a|1", "b|2", "c|3"}},
      {"no such row", 3, 0, {}},
      {"no such position", 0, 3, {}},
      {"negative position", 1, -1, {}},
  };
  for (const Case& c : cases) {
    Store(ForwardRulesFormat(), {"a|1", "b|2", "c|3"});
    const Bytes before = StoredBytes(ForwardRulesFormat());
    CStoredList list(ForwardRulesFormat());
    list.Load();
    EXPECT_EQ(list.Move(c.from, c.to), !c.stored.empty()) << c.label;
    if (c.stored.empty()) {
      EXPECT_EQ(StoredBytes(ForwardRulesFormat()), before) << c.label;
    } else {
      EXPECT_EQ(Stored(ForwardRulesFormat()), c.stored) << c.label;
      EXPECT_EQ(list.Elements(), c.stored) << c.label;
      EXPECT_TRUE(list.Saved()) << c.label;
    }
  }
}

TEST_F(StoredListTest, RemovingTheLastRowStoresAnEmptyList) {
  CStoredList list(DomainsFormat());
  list.Add({"example.com"});
  EXPECT_FALSE(list.Remove(1));
  EXPECT_TRUE(list.Remove(0));
  EXPECT_EQ(StoredBytes(DomainsFormat()), (Bytes{0x00, 0x00}));
}

// Every list is stored up to the 4095 bytes the service reads; a longer one
// stays on screen only, and its message names it.
TEST_F(StoredListTest, ListsAreStoredUpToWhatTheServiceReads) {
  struct Case {
    ListFormat format;
    const char* message_start;
  };
  const Case cases[] = {
      {DomainsFormat(), "The list of domains is too large for the mail service: it takes "},
      {ForwardRulesFormat(), "The list of forward rules is too large"},
      {MxRecordsFormat(), "The list of pre-defined DNS records is too large"},
      {BlockedSendersFormat(), "The list of blocked senders is too large"},
      {IpFilterFormat(), "The list of IP filter addresses is too large"},
  };
  for (const Case& c : cases) {
    const char* label = c.format.name;
    CStoredList list(c.format);
    // Every element joins its columns to 99 characters and so serialises to
    // 100 bytes, after the count of 2: 40 of them fit, 41 do not.
    const std::size_t column_chars = c.format.columns == 1 ? 99 : 49;
    for (std::size_t i = 0; i < 40; ++i) {
      const std::string text = std::to_string(i) + std::string(column_chars - std::to_string(i).size(), 'x');
      ASSERT_TRUE(list.Add(ListRow(c.format.columns, text)).has_value());
    }
    const std::size_t stored_size = StoredBytes(c.format).size();
    EXPECT_EQ(stored_size, 4002u) << label;
    EXPECT_FALSE(list.TooLargeText().has_value()) << label;
    ASSERT_TRUE(list.Add(ListRow(c.format.columns, std::string(column_chars, 'z'))).has_value());
    EXPECT_EQ(StoredBytes(c.format).size(), stored_size) << label << ": one more element is not stored";
    EXPECT_FALSE(list.Saved()) << label << ": the change says it was not stored";
    EXPECT_FALSE(list.Save()) << label;
    const std::string message = list.TooLargeText().value_or("");
    EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << label << ": " << message;
    EXPECT_NE(message.find("at most 4095 bytes"), std::string::npos) << message;
    ASSERT_TRUE(list.Remove(0));
    EXPECT_FALSE(list.TooLargeText().has_value()) << label;
    EXPECT_EQ(Stored(c.format).back(), list.Elements().back()) << label << ": the change that makes it fit stores it";
  }
}

// A stored list that cannot be read shows empty with a message naming the
// list and the reason, and no change on the page overwrites it.
TEST_F(StoredListTest, UnreadableStoredListsLoadEmptyAndStayAsStored) {
  struct Case {
    const char* label;
    ListFormat format;
    Bytes bytes;
    const char* reason;
  };
  const Bytes domains_8192 = serial_list::WriteTexts({std::string(8189, 'd')});
  const Bytes senders_4096 = serial_list::WriteTexts({std::string(4093, 's')});
  const Case cases[] = {
      {"domains above 8191 bytes", DomainsFormat(), domains_8192,
       "The list of domains cannot be read. It takes 8194 bytes, more than the 8191 bytes shown here."},
      {"senders above 4095 bytes", BlockedSendersFormat(), senders_4096,
       "The list of blocked senders cannot be read. It takes 4098 bytes"},
      {"truncated string", ForwardRulesFormat(), {0x01, 0x00, 0x05, 'a'},
       "The list of forward rules cannot be read. Its bytes are not a list"},
      {"bytes left over", IpFilterFormat(), {0x00, 0x00, 0x07}, "The list of IP filter addresses cannot be read."},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteRegBinary(c.format.section, c.format.value, c.bytes.data(), c.bytes.size()));
    CStoredList list(c.format);
    list.Load();
    EXPECT_TRUE(list.Rows().empty()) << c.label;
    const std::string problem = list.ReadProblem().value_or("");
    EXPECT_EQ(problem.rfind(c.reason, 0), 0u) << c.label << ": " << problem;
    EXPECT_FALSE(list.Add(ListRow(c.format.columns, "new")).has_value()) << c.label;
    EXPECT_FALSE(list.Save()) << c.label;
    EXPECT_EQ(StoredBytes(c.format), c.bytes) << c.label << ": the stored list stays";
  }
  CStoredList domains(DomainsFormat());
  Store(DomainsFormat(), {std::string(8000, 'd')});
  domains.Load();
  EXPECT_EQ(domains.Rows().size(), 1u) << "a domains list below 8192 bytes loads";
  EXPECT_FALSE(domains.ReadProblem().has_value());
}

// A registry read error other than "value not found" is no empty list: the
// list shows empty with the system's reason, and once the registry can be
// read again no change on the page overwrites what is stored.
TEST_F(StoredListTest, ARegistryReadErrorNeverOverwritesTheStoredList) {
  for (const ListFormat& format :
       {DomainsFormat(), ForwardRulesFormat(), MxRecordsFormat(), BlockedSendersFormat(), IpFilterFormat()}) {
    Store(format, {"kept|kept"});
    const Bytes stored = StoredBytes(format);
    CStoredList list(format);
    {
      ScopedUnreadableHive unreadable;
      list.Load();
    }
    EXPECT_TRUE(list.Rows().empty()) << format.name;
    EXPECT_EQ(list.ReadProblem().value_or(""),
              std::string("The list of ") + format.name +
                  " cannot be read. Access is denied.\n\nIt is shown empty and stays stored as it is: it cannot be "
                  "changed here until it can be read.");
    EXPECT_FALSE(list.Add(ListRow(format.columns, "new")).has_value()) << format.name;
    EXPECT_FALSE(list.Save()) << format.name;
    EXPECT_EQ(StoredBytes(format), stored) << format.name;
  }
}

TEST(BarListTest, TextsWithABarCannotBeStoredInABarList) {
  EXPECT_TRUE(IsStorableInBarList("a@example.com"));
  EXPECT_TRUE(IsStorableInBarList(""));
  EXPECT_FALSE(IsStorableInBarList("a|b"));
  EXPECT_FALSE(IsStorableInBarList("|"));
}

}  // namespace
}  // namespace admin
