// Wildcard matching, pattern expansion and forward rules (see smtp_forward.h).
#include "smtp/smtp_forward.h"

#include "common/text.h"

namespace {

char FoldUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameChar(char a, char b, bool case_sensitive) {
  return case_sensitive ? a == b : FoldUpper(a) == FoldUpper(b);
}

}  // namespace

bool MatchWildcard(std::string_view text, std::string_view pattern, bool case_sensitive) {
  // Greedy scan with one back-tracking point: the last "*" seen and the
  // text position it is currently taken to end at.
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t star = std::string_view::npos;
  std::size_t star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      if (p + 1 == pattern.size()) return true;  // a final "*" takes the rest
      star = ++p;
      star_text = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || SameChar(text[t], pattern[p], case_sensitive))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string ExpandPattern(std::string_view source, std::string_view pattern) {
  std::string result;
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    const bool source_done = j >= source.size();
    if (source_done && (i >= pattern.size() || pattern[i] == '*' || pattern[i] == '?')) break;
    if (i >= pattern.size()) break;
    if (pattern[i] == '*') {
      result.push_back(source[j]);
      ++j;
    } else if (pattern[i] == '?') {
      result.push_back(source[j]);
      ++i;
      ++j;
    } else {
      // A literal character also uses up one source character (if any is left).
      result.push_back(pattern[i]);
      ++i;
      ++j;
    }
  }
  return result;
}

std::string ApplyForwardTarget(std::string_view address, std::string_view target) {
  const std::size_t address_at = address.find('@');
  const std::size_t target_at = target.find('@');
  if (address_at == std::string_view::npos || target_at == std::string_view::npos) {
    return std::string(address);
  }
  return ExpandPattern(address.substr(0, address_at), target.substr(0, target_at)) + "@" +
         ExpandPattern(address.substr(address_at + 1), target.substr(target_at + 1));
}

std::string ApplyForwardRules(std::string_view address, const std::vector<std::string>& rules) {
  for (const std::string& rule : rules) {
    const std::string pattern = text::ExtractField(rule, 0, '|');
    if (MatchWildcard(address, pattern, true)) {
      return ApplyForwardTarget(address, text::ExtractField(rule, 1, '|'));
    }
  }
  return std::string(address);
}
