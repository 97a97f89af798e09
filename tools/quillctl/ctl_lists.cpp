// quillctl's list commands: local domains, forward rules, blocked senders,
// pre-defined mail servers and the IP filter, each a stored list with the
// applet's rules (an entry equal to a listed one in every column, without
// regard to case, is a duplicate; "|" cannot stand inside a two-column
// entry; the size limit of what the service reads).
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "admin/ip_filter.h"
#include "admin/stored_list.h"
#include "admin/value_parse.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "quillctl/ctl_commands.h"
#include "quillctl/ctl_output.h"

namespace quillctl {
namespace {

using admin::CStoredList;
using admin::ListFormat;
using admin::ListRow;

// How a list's columns are called in the table and in JSON.
struct ListView {
  ListFormat (*format)();
  std::vector<std::string> header;
  std::vector<std::string> keys;
  const char* entry;  // "domain", "forward rule", ...
};

const ListView kDomains{admin::DomainsFormat, {"DOMAIN"}, {"domain"}, "domain"};
const ListView kForwardRules{admin::ForwardRulesFormat, {"#", "FROM", "TO"}, {"from", "to"}, "forward rule"};
const ListView kBlockedSenders{admin::BlockedSendersFormat, {"SENDER"}, {"sender"}, "blocked sender"};
const ListView kMxRecords{admin::MxRecordsFormat, {"DOMAIN", "SERVER"}, {"domain", "server"}, "mail server"};
const ListView kIpFilter{admin::IpFilterFormat, {"START", "END"}, {"start", "end"}, "address"};

std::optional<CStoredList> ReadList(const Invocation& invocation, const ListView& view) {
  CStoredList list(view.format());
  list.Load();
  if (list.ReadProblem()) {
    invocation.Fail(*list.ReadProblem());
    return std::nullopt;
  }
  return list;
}

// After a change: success, or why the list was not stored.
int Stored(Invocation& invocation, const CStoredList& list) {
  invocation.changed = true;
  if (list.Saved()) return kExitOk;
  return invocation.Fail(list.TooLargeText().value_or("the list could not be stored in the registry"));
}

std::string Describe(const ListRow& row) {
  std::string text;
  for (const std::string& column : row) text += (text.empty() ? "" : " ") + column;
  return text;
}

Json RowsJson(const ListView& view, const CStoredList& list) {
  Json rows = Json::Array();
  for (const ListRow& row : list.Rows()) {
    Json entry = Json::Object();
    for (std::size_t column = 0; column < view.keys.size(); ++column)
      entry.Set(view.keys[column], Json::String(row[column]));
    rows.Push(std::move(entry));
  }
  return rows;
}

void PrintRows(std::ostream& out, const ListView& view, const CStoredList& list) {
  if (view.header.size() == 1) {
    for (const ListRow& row : list.Rows()) out << row[0] << "\n";
    return;
  }
  const bool numbered = view.header.size() > view.keys.size();
  std::vector<std::vector<std::string>> rows;
  for (const ListRow& row : list.Rows()) {
    std::vector<std::string> line;
    if (numbered) line.push_back(std::to_string(rows.size() + 1));
    line.insert(line.end(), row.begin(), row.end());
    rows.push_back(std::move(line));
  }
  PrintTable(out, view.header, rows);
}

int ListRows(Invocation& invocation, const ListView& view) {
  const std::optional<CStoredList> list = ReadList(invocation, view);
  if (!list) return kExitFailed;
  if (invocation.Has(kOptJson)) {
    invocation.io.out << RowsJson(view, *list).Dump() << "\n";
  } else {
    PrintRows(invocation.io.out, view, *list);
  }
  return kExitOk;
}

int AddRow(Invocation& invocation, const ListView& view, const ListRow& row) {
  std::optional<CStoredList> list = ReadList(invocation, view);
  if (!list) return kExitFailed;
  if (list->Contains(row))
    return invocation.Fail("the " + std::string(view.entry) + " '" + Describe(row) + "' is listed already");
  list->Add(row);
  return Stored(invocation, *list);
}

// One text of a one-column list, refused when blank.
int AddText(Invocation& invocation, const ListView& view) {
  const std::string& text = invocation.operands[0];
  if (text::Trim(text).empty()) return invocation.Fail("a " + std::string(view.entry) + " cannot be empty");
  return AddRow(invocation, view, {text});
}

int RemoveRow(Invocation& invocation, const ListView& view, const ListRow& row) {
  std::optional<CStoredList> list = ReadList(invocation, view);
  if (!list) return kExitFailed;
  const int index = list->Find(row);
  if (index < 0) return invocation.Fail("there is no " + std::string(view.entry) + " '" + Describe(row) + "'");
  list->Remove(index);
  return Stored(invocation, *list);
}

// Texts of a two-column entry, refused when empty or holding "|".
std::optional<ListRow> BarEntry(const Invocation& invocation, const char* bar_text) {
  for (const std::string& text : invocation.operands) {
    if (text::Trim(text).empty()) {
      invocation.Fail("an entry's texts cannot be empty");
      return std::nullopt;
    }
    if (!admin::IsStorableInBarList(text)) {
      invocation.Fail(bar_text);
      return std::nullopt;
    }
  }
  return ListRow{invocation.operands[0], invocation.operands[1]};
}

// An IP filter entry as the filter reads it: the end of one address is the
// address itself.
std::optional<ListRow> FilterEntry(const Invocation& invocation) {
  const std::string& start = invocation.operands[0];
  const std::string end = invocation.operands.size() > 1 ? invocation.operands[1] : std::string();
  if (const std::optional<std::string> refusal = admin::FilterEntryRefusal(start, end)) {
    invocation.Fail(*refusal);
    return std::nullopt;
  }
  return ListRow{start, admin::EntryEnd(start, end)};
}

// The IP filter modes by name, in the order of their numbers.
constexpr const char* kFilterModes[] = {"off", "refuse", "only"};

}  // namespace

int DomainList(Invocation& invocation) { return ListRows(invocation, kDomains); }

int DomainAdd(Invocation& invocation) { return AddText(invocation, kDomains); }

int DomainRemove(Invocation& invocation) { return RemoveRow(invocation, kDomains, {invocation.operands[0]}); }

int ForwardList(Invocation& invocation) { return ListRows(invocation, kForwardRules); }

int ForwardAdd(Invocation& invocation) {
  const std::optional<ListRow> rule = BarEntry(invocation, admin::kForwardRuleBarText);
  return rule ? AddRow(invocation, kForwardRules, *rule) : kExitFailed;
}

int ForwardRemove(Invocation& invocation) {
  return RemoveRow(invocation, kForwardRules, {invocation.operands[0], invocation.operands[1]});
}

int ForwardMove(Invocation& invocation) {
  std::optional<CStoredList> list = ReadList(invocation, kForwardRules);
  if (!list) return kExitFailed;
  const ListRow rule{invocation.operands[0], invocation.operands[1]};
  const int index = list->Find(rule);
  if (index < 0) return invocation.Fail("there is no forward rule '" + Describe(rule) + "'");
  int position = 0;
  const int count = static_cast<int>(list->Rows().size());
  if (const std::optional<std::string> refusal = admin::RefuseInt(invocation.operands[2], 1, count, position))
    return invocation.Fail(*refusal);
  list->Move(index, position - 1);
  return Stored(invocation, *list);
}

int BlockList(Invocation& invocation) { return ListRows(invocation, kBlockedSenders); }

int BlockAdd(Invocation& invocation) { return AddText(invocation, kBlockedSenders); }

int BlockRemove(Invocation& invocation) { return RemoveRow(invocation, kBlockedSenders, {invocation.operands[0]}); }

int RelayRecordList(Invocation& invocation) { return ListRows(invocation, kMxRecords); }

int RelayRecordAdd(Invocation& invocation) {
  const std::optional<ListRow> record = BarEntry(invocation, admin::kDnsRecordBarText);
  return record ? AddRow(invocation, kMxRecords, *record) : kExitFailed;
}

int RelayRecordRemove(Invocation& invocation) {
  return RemoveRow(invocation, kMxRecords, {invocation.operands[0], invocation.operands[1]});
}

int IpFilterShow(Invocation& invocation) {
  const std::optional<CStoredList> list = ReadList(invocation, kIpFilter);
  if (!list) return kExitFailed;
  const int mode = admin::ReadIpFilterMode();
  const bool known = mode >= 0 && mode < static_cast<int>(std::size(kFilterModes));
  const std::string name = known ? kFilterModes[mode] : "refuse every client";
  if (invocation.Has(kOptJson)) {
    invocation.io.out << Json::Object()
                             .Set("mode", Json::Number(mode))
                             .Set("mode_name", Json::String(name))
                             .Set("addresses", RowsJson(kIpFilter, *list))
                             .Dump()
                      << "\n";
    return kExitOk;
  }
  invocation.io.out << "Mode: " << mode << " (" << name << ")\n";
  PrintRows(invocation.io.out, kIpFilter, *list);
  return kExitOk;
}

int IpFilterMode(Invocation& invocation) {
  const std::string& wanted = invocation.operands[0];
  for (int mode = 0; mode < static_cast<int>(std::size(kFilterModes)); ++mode) {
    if (!text::EqualsNoCase(wanted, kFilterModes[mode]) && wanted != std::to_string(mode)) continue;
    admin::SaveIpFilterMode(mode);
    invocation.changed = true;
    return kExitOk;
  }
  return invocation.Fail("the mode is off (0), refuse (1) or only (2), not '" + wanted + "'");
}

int IpFilterAdd(Invocation& invocation) {
  const std::optional<ListRow> entry = FilterEntry(invocation);
  return entry ? AddRow(invocation, kIpFilter, *entry) : kExitFailed;
}

int IpFilterRemove(Invocation& invocation) {
  const std::string& start = invocation.operands[0];
  const std::string end = invocation.operands.size() > 1 ? invocation.operands[1] : std::string();
  return RemoveRow(invocation, kIpFilter, {start, admin::EntryEnd(start, end)});
}

}  // namespace quillctl
