// The relay journal: its lines, the current state of each recipient, and a
// journal a crash cut short.
#include "store/relay_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;

TEST(RelayJournal, RecordsAndTheirLines) {
  const struct {
    const char* label;
    RelayJournalRecord record;
    std::string line;
  } cases[] = {
      {"a delivered recipient", {"delivered", "<bob@a.test>", {}}, "delivered\t<bob@a.test>\n"},
      {"further fields keep their order",
       {"deferred", "<bob@a.test>", {{"next", "1700000000"}, {"tries", "2"}, {"reply", "451 Try later"}}},
       "deferred\t<bob@a.test>\tnext=1700000000\ttries=2\treply=451 Try later\n"},
      {"separators and line ends inside texts are escaped",
       {"failed", "<a\tb%c@a.test>", {{"reply", "550 no\r\nway = 100%"}}},
       "failed\t<a%09b%25c@a.test>\treply=550 no%0D%0Away = 100%25\n"},
      {"an empty value", {"failed", "<bob@a.test>", {{"reply", ""}}}, "failed\t<bob@a.test>\treply=\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(FormatRelayJournalRecord(c.record), c.line);
    RelayJournalRecord parsed;
    ASSERT_TRUE(ParseRelayJournalLine(c.line.substr(0, c.line.size() - 1), parsed));
    EXPECT_EQ(parsed, c.record);
  }

  RelayJournalRecord record;
  EXPECT_FALSE(ParseRelayJournalLine(kRelayJournalHeader, record)) << "the header is no record";
  EXPECT_FALSE(ParseRelayJournalLine("", record));
  ASSERT_TRUE(ParseRelayJournalLine("delivered\t<x@a.test>\tflag\tbad=%4\tpct=%zz", record));
  EXPECT_EQ(record.fields, (std::vector<std::pair<std::string, std::string>>{
                               {"flag", ""}, {"bad", "%4"}, {"pct", "%zz"}}))
      << "a field without '=' and '%' without two hex digits stand for themselves";

  // The retry fields: a later field of a name wins; setting one replaces
  // every field of that name; a number that is none reads as 0.
  RelayJournalRecord retry{"deferred", "<x@a.test>", {{"tries", "1"}, {"next", "9x"}, {"tries", "2"}}};
  EXPECT_EQ(RelayJournalNumber(retry, kFieldTries), 2);
  EXPECT_EQ(RelayJournalNumber(retry, kFieldNextTry), 0);
  EXPECT_EQ(RelayJournalField(retry, kFieldReply), "");
  SetRelayJournalField(retry, kFieldTries, "3");
  EXPECT_EQ(retry.fields, (std::vector<std::pair<std::string, std::string>>{{"next", "9x"}, {"tries", "3"}}));
}

class RelayJournalFileTest : public ::testing::Test {
 protected:
  std::string Queue() const { return (m_root / "queue").string() + "/"; }
  fs::path Journal(const std::string& name) const { return m_root / "queue" / "journal" / name; }
  std::vector<RelayJournalRecord> Read(const std::string& name) {
    std::vector<RelayJournalRecord> records;
    EXPECT_TRUE(ReadRelayJournal(RelayJournalPath(Queue(), name), records));
    return records;
  }

  TempHome m_home{"qp-journal-test-"};
  fs::path m_root{m_home.path()};
};

TEST_F(RelayJournalFileTest, AppendedRecordsReadBackAsTheLatestStateOfEachRecipient) {
  fs::create_directories(m_root / "queue");
  EXPECT_TRUE(Read("A.eml").empty()) << "no journal yet";

  CRelayJournalWriter writer(Queue(), "A.eml");
  ASSERT_TRUE(writer.Append({"failed", "<ann@a.test>", {}}));
  ASSERT_TRUE(writer.Append({"delivered", "<bob@a.test>", {}}));
  ASSERT_TRUE(writer.Append({"delivered", "<ann@a.test>", {{"tries", "2"}}}));
  EXPECT_EQ(ReadFileBytes(Journal("A.eml")), std::string(kRelayJournalHeader) +
                                                 "\nfailed\t<ann@a.test>\ndelivered\t<bob@a.test>\n"
                                                 "delivered\t<ann@a.test>\ttries=2\n");
  EXPECT_EQ(Read("A.eml"), (std::vector<RelayJournalRecord>{{"delivered", "<ann@a.test>", {{"tries", "2"}}},
                                                            {"delivered", "<bob@a.test>", {}}}));

  // A second writer (the next start) appends to what is there.
  CRelayJournalWriter next(Queue(), "A.eml");
  ASSERT_TRUE(next.Append({"failed", "<carol@a.test>", {}}));
  EXPECT_EQ(Read("A.eml").size(), 3u);

  // Rewritten with the current records only, it reads the same and takes
  // further records.
  const std::vector<RelayJournalRecord> current = Read("A.eml");
  fs::create_directories(m_root / "tmp");
  ASSERT_TRUE(RewriteRelayJournal(Queue(), "A.eml", current, (m_root / "tmp").string()));
  EXPECT_EQ(ReadFileBytes(Journal("A.eml")), std::string(kRelayJournalHeader) +
                                                 "\ndelivered\t<ann@a.test>\ttries=2\ndelivered\t<bob@a.test>\n"
                                                 "failed\t<carol@a.test>\n");
  CRelayJournalWriter after(Queue(), "A.eml");
  ASSERT_TRUE(after.Append({"delivered", "<carol@a.test>", {}}));
  EXPECT_EQ(Read("A.eml").back(), (RelayJournalRecord{"delivered", "<carol@a.test>", {}}));
}

TEST_F(RelayJournalFileTest, LineCutShortByACrashIsIgnoredAndEndedBeforeTheNextRecord) {
  fs::create_directories(m_root / "queue" / "journal");
  WriteFileBytes(Journal("C.eml"), std::string(kRelayJournalHeader) + "\ndelivered\t<ann@a.test>\ndeliv");
  EXPECT_EQ(Read("C.eml"), (std::vector<RelayJournalRecord>{{"delivered", "<ann@a.test>", {}}}));

  CRelayJournalWriter writer(Queue(), "C.eml");
  ASSERT_TRUE(writer.Append({"delivered", "<bob@a.test>", {}}));
  EXPECT_EQ(Read("C.eml"), (std::vector<RelayJournalRecord>{{"delivered", "<ann@a.test>", {}},
                                                            {"delivered", "<bob@a.test>", {}}}));
}

TEST_F(RelayJournalFileTest, JournalThatCannotBeReadOrWrittenIsReported) {
  // A folder where the journal should be: neither a journal nor nothing.
  fs::create_directories(Journal("D.eml"));
  std::vector<RelayJournalRecord> records;
  EXPECT_FALSE(ReadRelayJournal(RelayJournalPath(Queue(), "D.eml"), records));
  EXPECT_FALSE(CRelayJournalWriter(Queue(), "D.eml").Append({"delivered", "<ann@a.test>", {}}));

  // A file where the journal folder should be.
  fs::create_directories(m_root / "other");
  WriteFileBytes(m_root / "other" / "journal", "x");
  EXPECT_FALSE(CRelayJournalWriter((m_root / "other").string(), "E.eml").Append({"delivered", "<a@a.test>", {}}));
}

}  // namespace
