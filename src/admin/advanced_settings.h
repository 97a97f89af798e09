// The Advanced page's settings: connection limit, session time-out (stored
// as typed; the service reads it as seconds), the two authentication rules,
// and the catch-all account, which the page stores at once when the user
// picks another entry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/settings_table.h"

namespace admin {

// The up-down controls of the two numbers stop at these values; a larger
// number typed into the edit is stored as typed.
inline constexpr int kAdvancedSpinMin = 0;
inline constexpr int kAdvancedSpinMax = 9999;

// The number an up-down control shows after one step from the text of its
// edit: a text that is no number counts as the lowest value; the result stays
// within the range.
int UpDownStep(const std::string& text, int delta, int low = kAdvancedSpinMin, int high = kAdvancedSpinMax);

struct CAdvancedSettings {
  int m_nConnectionsLimit = settings::kConnectionsLimit.number_default;
  int m_bAuthRemote = settings::kAuthRemote.number_default;
  int m_nTimeout = settings::kTimeout.number_default;
  int m_bAuthLocal = settings::kAuthLocal.number_default;

  // Reads ConnectionsLimit, Timeout, AuthLocal and AuthRemote in this order.
  void Load();
  // Writes them in the same order.
  void Save() const;
};

// The entries of the catch-all combo and the one to select, or nothing when
// the combo must stay as it is (the accounts list cannot be read: a
// registry error other than "value not found", too large, malformed).
struct CatchAllChoices {
  std::vector<std::string> names;
  int selected = -1;
};
// No accounts value ("value not found"): only "admin". Otherwise every user
// name in stored order, with the entry equal to CatchAllAccount (any case)
// selected, else the first.
std::optional<CatchAllChoices> ReadCatchAllChoices();
void SaveCatchAllAccount(const std::string& user);

}  // namespace admin
