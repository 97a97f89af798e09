// The shown text of a message file, RETR's trimmed end and TOP's line
// selection, fed in every way a file may be read: whole, one byte at a time,
// and in uneven pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3/pop3_message_text.h"

namespace {

using std::string_literals::operator""s;

// Piece sizes to cut the input into (0: the whole input at once).
const std::size_t kPieceSizes[] = {0, 1, 2, 3, 7};

std::vector<std::string_view> Pieces(std::string_view input, std::size_t size) {
  std::vector<std::string_view> pieces;
  if (size == 0) {
    pieces.push_back(input);
    return pieces;
  }
  for (std::size_t i = 0; i < input.size(); i += size) pieces.push_back(input.substr(i, size));
  return pieces;
}

// A recipient sees the sender, not who else the message went to (Bcc
// included); header lines of the message itself stay as they are.
TEST(MessageFileText, LeavesOutTheRecipientsOfTheEnvelopeAndEndsAtNul) {
  const std::string received = "Received: from c\r\n\tdate\r\n";
  struct Case {
    const char* label;
    std::string file;
    std::string shown;
  };
  const Case cases[] = {
      {"spool file", "x-sender: <a@b>\r\nx-receiver: <joe@d1>\r\nx-receiver: <bcc@d2>\r\n" + received + "S: x\r\n\r\nb\r\n",
       "x-sender: <a@b>\r\n" + received + "S: x\r\n\r\nb\r\n"},
      {"either case, LF line ends", "X-Receiver: <j>\nX-SENDER: <a>\nx-receiver: <k>\n\nbody\n",
       "X-SENDER: <a>\n\nbody\n"},
      {"header lines of the message stay", "x-sender: <a>\r\n" + received + "x-receiver: <h>\r\n\r\n",
       "x-sender: <a>\r\n" + received + "x-receiver: <h>\r\n\r\n"},
      {"last envelope line without line end", "x-sender: <a>\r\nx-receiver: <j>", "x-sender: <a>\r\n"},
      {"overlong line ends the envelope", "x-receiver: " + std::string(9000, 'r') + "\r\nx\r\n",
       "x-receiver: " + std::string(9000, 'r') + "\r\nx\r\n"},
      {"NUL ends the text", "abc\0def"s, "abc"},
      {"NUL inside a recipient line", "x-sender: <a>\r\nx-receiver: <j\0k>\r\nmore"s, "x-sender: <a>\r\n"},
      {"NUL first", "\0abc"s, ""},
      {"empty file", "", ""},
  };
  for (const Case& c : cases) {
    for (const std::size_t size : kPieceSizes) {
      pop3::MessageFileText text;
      std::string out;
      bool more = true;
      for (std::string_view piece : Pieces(c.file, size)) more = more && text.Feed(piece, out);
      text.Finish(out);
      EXPECT_EQ(out, c.shown) << c.label << ", pieces of " << size;
      EXPECT_EQ(more, c.file.find('\0') == std::string::npos) << c.label << ": false once a NUL ended the text";
    }
  }
}

TEST(MessageTextEnd, TrimsWhiteSpaceThenDots) {
  struct Case {
    const char* label;
    std::string input;
    std::uint64_t end;
  };
  const Case cases[] = {
      {"empty", "", 0},
      {"no trailing blanks", "abc", 3},
      {"trailing CR LF", "abc\r\n", 3},
      {"all blanks", " \t\r\n\v\f", 0},
      {"dot line", "abc\r\n.\r\n", 5},
      {"dots only", "....", 0},
      {"dot then blank then dot", "a. .", 3},
      {"blank after dot removal stays", "a \r\n...", 4},
      {"dots before blanks stay", "a.. \r\n", 1},
      {"leading blanks kept", "  a", 3},
      {"high bytes are text", "\xe9\xa0 ", 2},
  };
  for (const Case& c : cases) {
    for (const std::size_t size : kPieceSizes) {
      pop3::MessageTextEnd end;
      for (std::string_view piece : Pieces(c.input, size)) end.Feed(piece);
      EXPECT_EQ(end.End(), c.end) << c.label << ", pieces of " << size;
    }
  }
}

TEST(TopLineFilter, KeepsHeadAndCountedBodyLines) {
  struct Case {
    const char* label;
    std::string input;
    int lines;
    std::string output;
  };
  const std::string message = "\r\n  \r\n  Subject: a\r\nFrom: b\r\n\r\nl1\r\nl2\r\nl3\r\n";
  const Case cases[] = {
      {"head only", message, 0, "Subject: a\r\nFrom: b\r\n\r\n"},
      {"negative count", message, -1, "Subject: a\r\nFrom: b\r\n\r\n"},
      {"two lines", message, 2, "Subject: a\r\nFrom: b\r\n\r\nl1\r\nl2\r\n"},
      {"more lines than there are", message, 9, "Subject: a\r\nFrom: b\r\n\r\nl1\r\nl2\r\nl3\r\n"},
      {"no empty line", "A: 1\r\nB: 2", 5, "A: 1\r\nB: 2\r\n"},
      {"LF line ends", "A: 1\nB: 2\n\nbody\nmore\n", 1, "A: 1\r\nB: 2\r\n\r\nbody\r\n"},
      {"last body line without line end", "A\r\n\r\nx\r\ny", 5, "A\r\n\r\nx\r\ny\r\n"},
      {"lone CR is a character", "A: x\ry\r\n\r\n", 0, "A: x\ry\r\n\r\n"},
      {"CR CR LF keeps one CR", "A\r\r\n\r\n", 0, "A\r\r\n\r\n"},
      {"CR at the end of the file", "A\r", 0, "A\r\r\n"},
      {"blank-only line is no end of head", "A: 1\r\n \r\nB\r\n", 0, "A: 1\r\n \r\nB\r\n"},
      {"blank CR before the first line", "\r \r\nA\r\n", 0, "A\r\n"},
      {"dot after removed blanks gets another", " \t.A\r\n\r\n", 0, "..A\r\n\r\n"},
      {"dot after a removed bare CR was stuffed before", "\r..A\r\n\r\n", 0, "..A\r\n\r\n"},
      {"blank then bare CR then dot", " \r..A\r\n\r\n", 0, "..A\r\n\r\n"},
      {"empty file", "", 3, ""},
      {"blank file", " \r\n\t\r\n", 3, ""},
      {"dot lines untouched", "A\r\n\r\n.\r\n..x\r\n", 2, "A\r\n\r\n.\r\n..x\r\n"},
  };
  for (const Case& c : cases) {
    for (const std::size_t size : kPieceSizes) {
      pop3::TopLineFilter filter(c.lines);
      std::string out;
      for (std::string_view piece : Pieces(c.input, size)) {
        if (!filter.Feed(piece, out)) break;
      }
      filter.Finish(out);
      EXPECT_EQ(out, c.output) << c.label << ", pieces of " << size;
    }
  }
}

TEST(TopLineFilter, StopsAskingForInputAfterTheLastWantedLine) {
  pop3::TopLineFilter filter(1);
  std::string out;
  EXPECT_TRUE(filter.Feed("A\r\n\r\n", out));
  EXPECT_FALSE(filter.Feed("one\r\ntwo\r\n", out));
  filter.Finish(out);
  EXPECT_EQ(out, "A\r\n\r\none\r\n");
}

}  // namespace
