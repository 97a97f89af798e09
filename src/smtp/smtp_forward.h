// Wildcard matching and the forward rules of the SMTP session.
//
// A forward rule is "pattern|target", both mail addresses in which "*" and
// "?" may stand: "*@d1|*@d2" sends mail for any user of d1 to the same user
// of d2. A blocked-sender entry is one such pattern for the sender address.
// Rules and blocked senders are matched with regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// "*" matches any run of characters (also none), "?" any one character;
// other characters must be equal (ASCII case folded unless case_sensitive).
bool MatchWildcard(std::string_view text, std::string_view pattern, bool case_sensitive);
// Builds a text from a pattern: "?" and every literal character each use up
// one source character, "?" copying it; "*" copies the rest of the source
// and ends the expansion. ("*", "joe") -> "joe"; ("info", "joe") -> "info".
std::string ExpandPattern(std::string_view source, std::string_view pattern);
// The address rewritten by the target of a matching rule: user and domain
// parts expanded separately. Unchanged when either has no "@".
std::string ApplyForwardTarget(std::string_view address, std::string_view target);
// The target of the first rule whose pattern matches the address, applied;
// the address itself when no rule matches.
std::string ApplyForwardRules(std::string_view address, const std::vector<std::string>& rules);
