// The wire form of stored message text: the table of what each kind of line
// becomes, fed whole, byte by byte and split at every place; and, for every
// short text over the bytes that matter, that no reader (cutting lines at
// LF, at CR LF, or at CR and LF) meets a line holding only "." and that only
// dots are ever added.
#include "store/wire_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string EncodeInPieces(std::string_view stored, std::size_t piece) {
  CWireFormEncoder encoder;
  std::string out;
  for (std::size_t pos = 0; pos < stored.size(); pos += piece) encoder.Feed(stored.substr(pos, piece), out);
  encoder.Finish(out);
  return out;
}

std::string Encode(std::string_view stored) { return EncodeInPieces(stored, std::max<std::size_t>(stored.size(), 1)); }

TEST(WireForm, Table) {
  struct Case {
    const char* label;
    std::string stored;
    std::string wire;
  };
  const Case cases[] = {
      {"plain lines", "a\r\nb\r\n", "a\r\nb\r\n"},
      {"empty text", "", ""},
      {"line stuffed by the client", "a\r\n..b\r\n", "a\r\n..b\r\n"},
      {"stuffed line of dots", "a\r\n...\r\n", "a\r\n...\r\n"},
      {"dot after CR LF starts a longer line", "a\r\n.b\r\n", "a\r\n.b\r\n"},
      {"dot at the start of the text", ".b\r\n", ".b\r\n"},
      {"dot in the middle of a line", "a.\r\nb.c\r\n", "a.\r\nb.c\r\n"},
      {"dot line after a bare LF", "hello\n.\nMAIL FROM:<x>\r\n", "hello\n..\nMAIL FROM:<x>\r\n"},
      {"dot text after a bare LF", "a\n.b\r\n", "a\n..b\r\n"},
      {"stuffed-looking line after a bare LF", "a\n..b\r\n", "a\n...b\r\n"},
      {"dot after a bare CR", "a\r.b\r\n", "a\r..b\r\n"},
      {"dot line after a bare CR", "a\r.\r\n", "a\r..\r\n"},
      {"lone dot after CR LF ended by a bare LF", "a\r\n.\nb\r\n", "a\r\n..\nb\r\n"},
      {"lone dot after CR LF ended by a bare CR", "a\r\n.\rb\r\n", "a\r\n..\rb\r\n"},
      {"lone dot after CR LF ended by CR LF", "a\r\n.\r\nb\r\n", "a\r\n..\r\nb\r\n"},
      {"lone dot at the start ended by a bare LF", ".\nx", "..\nx"},
      {"lone dot at the end of the text", "a\r\n.", "a\r\n.."},
      {"lone dot after a bare LF at the end", "a\n.", "a\n.."},
      {"bare CR before CR LF", "a\r\r\n.b\r\n", "a\r\r\n.b\r\n"},
      {"empty line after CR LF ended by a bare LF", "a\r\n\n.x", "a\r\n\n..x"},
      {"CR at the end", "a\r", "a\r"},
      {"NUL bytes pass", std::string("a\0\n.\0", 5), std::string("a\0\n..\0", 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Encode(c.stored), c.wire) << "whole";
    EXPECT_EQ(EncodeInPieces(c.stored, 1), c.wire) << "byte by byte";
    for (std::size_t split = 1; split < c.stored.size(); ++split) {
      CWireFormEncoder encoder;
      std::string out;
      encoder.Feed(std::string_view(c.stored).substr(0, split), out);
      encoder.Feed(std::string_view(c.stored).substr(split), out);
      encoder.Finish(out);
      EXPECT_EQ(out, c.wire) << "split after " << split;
    }
  }
}

TEST(WireForm, EncoderIsReadyForTheNextTextAfterFinish) {
  CWireFormEncoder encoder;
  std::string out;
  encoder.Feed("a\n", out);
  encoder.Finish(out);
  encoder.Feed(".b", out);  // at the start of a text: as stored
  encoder.Finish(out);
  EXPECT_EQ(out, "a\n.b");
}

// True when a reader that ends lines at any of `ends` (and drops the line
// end) meets a line holding only ".". The text is read as the readers get
// it: followed by a line end.
bool HasLoneDotLine(const std::string& wire, bool cut_at_cr, bool cut_at_lf, bool crlf_only) {
  const std::string text = wire + "\r\n";
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (crlf_only) {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        lines.push_back(line);
        line.clear();
        ++i;
        continue;
      }
    } else if ((c == '\r' && cut_at_cr) || (c == '\n' && cut_at_lf)) {
      if (c == '\n' && !cut_at_cr && !line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
      continue;
    }
    line.push_back(c);
  }
  return std::find(lines.begin(), lines.end(), ".") != lines.end();
}

TEST(WireForm, NoReaderSeesAnEarlyEndInAnyShortText) {
  const char alphabet[] = {'.', '\r', '\n', 'a'};
  std::vector<std::string> texts{""};
  for (std::size_t length = 1, first = 0; length <= 7; ++length) {
    const std::size_t last = texts.size();
    for (std::size_t i = first; i < last; ++i)
      for (char c : alphabet) texts.push_back(texts[i] + c);
    first = last;
  }
  int failures = 0;
  for (const std::string& stored : texts) {
    const std::string wire = Encode(stored);
    std::string stored_without_dots = stored;
    std::string wire_without_dots = wire;
    std::erase(stored_without_dots, '.');
    std::erase(wire_without_dots, '.');
    const bool ok = EncodeInPieces(stored, 1) == wire && wire_without_dots == stored_without_dots &&
                    !HasLoneDotLine(wire, false, true, false) && !HasLoneDotLine(wire, false, false, true) &&
                    !HasLoneDotLine(wire, true, true, false);
    if (!ok && ++failures <= 5) ADD_FAILURE() << "stored text: " << ::testing::PrintToString(stored);
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
