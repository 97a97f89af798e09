// MatchWildcard and ExpandPattern (smtp/smtp_forward.h) against plain
// reference versions of their documented rules, on a text and a pattern cut
// from the input at its first NUL byte (the first byte chooses the case
// rule). The matcher must agree with a dynamic-programming matcher and stay
// linear enough for long texts; a case-folded match includes every exact
// one; ApplyForwardRules gives the address itself or a rewritten address no
// longer than address and target together.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "smtp/smtp_forward.h"

namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool ReferenceMatch(std::string_view text, std::string_view pattern, bool case_sensitive) {
  // can[j]: the text read so far matches pattern[0, j).
  std::vector<char> can(pattern.size() + 1, 0);
  can[0] = 1;
  for (std::size_t j = 1; j <= pattern.size() && pattern[j - 1] == '*'; ++j) can[j] = 1;
  for (const char t : text) {
    std::vector<char> next(pattern.size() + 1, 0);
    for (std::size_t j = 1; j <= pattern.size(); ++j) {
      const char p = pattern[j - 1];
      if (p == '*') {
        next[j] = can[j] || can[j - 1] || next[j - 1];
      } else if (p == '?' || (case_sensitive ? p == t : Fold(p) == Fold(t))) {
        next[j] = can[j - 1];
      }
    }
    can.swap(next);
  }
  return can[pattern.size()] != 0;
}

// "?" and literals each use up one source character ("?" copies it, a
// literal writes itself); "*" copies the rest of the source and ends.
std::string ReferenceExpand(std::string_view source, std::string_view pattern) {
  std::string out;
  std::size_t j = 0;
  for (const char p : pattern) {
    if (p == '*') {
      if (j < source.size()) out.append(source.substr(j));
      return out;
    }
    if (p == '?') {
      if (j >= source.size()) return out;
      out.push_back(source[j]);
    } else {
      out.push_back(p);
    }
    ++j;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputCursor cursor(data, size);
  const bool case_sensitive = (cursor.Byte() & 1) != 0;
  const std::string_view rest = cursor.Rest();
  const std::size_t cut = rest.find('\0');
  const std::string_view text = rest.substr(0, cut);
  const std::string_view pattern = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);

  const bool match = MatchWildcard(text, pattern, case_sensitive);
  FUZZ_CHECK(match == ReferenceMatch(text, pattern, case_sensitive),
             "text '" + fuzz::Printable(text) + "' pattern '" + fuzz::Printable(pattern) + "'");
  if (case_sensitive && match) {
    FUZZ_CHECK(MatchWildcard(text, pattern, false), "an exact match fails when case is folded");
  }
  FUZZ_CHECK(MatchWildcard(text, "*", case_sensitive), "\"*\" does not match everything");
  FUZZ_CHECK(MatchWildcard(text, text, true) == ReferenceMatch(text, text, true), "text as its own pattern");

  const std::string expanded = ExpandPattern(text, pattern);
  FUZZ_CHECK(expanded == ReferenceExpand(text, pattern), "expand '" + fuzz::Printable(text) + "' with '" +
                                                             fuzz::Printable(pattern) + "': '" +
                                                             fuzz::Printable(expanded) + "'");

  // The text as an address and the pattern's lines as "pattern|target" rules.
  std::vector<std::string> rules;
  std::size_t start = 0;
  while (start <= pattern.size()) {
    std::size_t end = pattern.find('\n', start);
    if (end == std::string_view::npos) end = pattern.size();
    rules.emplace_back(pattern.substr(start, end - start));
    start = end + 1;
  }
  const std::string forwarded = ApplyForwardRules(text, rules);
  FUZZ_CHECK(forwarded.size() <= text.size() + pattern.size() + 1, "forwarded address grew too much");
  if (forwarded != text)
    FUZZ_CHECK(forwarded.find('@') != std::string::npos, "rewritten address without '@'");
  return 0;
}
