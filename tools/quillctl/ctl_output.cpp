#include "quillctl/ctl_output.h"

#include <algorithm>
#include <ostream>

#include "common/text.h"
#include "platform/utf8.h"

namespace quillctl {

Json Json::Object() { return Json(Kind::Object); }
Json Json::Array() { return Json(Kind::Array); }
Json Json::Null() { return Json(Kind::Null); }

Json Json::String(std::string_view text) {
  Json json(Kind::String);
  json.m_text = std::string(text);
  return json;
}

Json Json::Number(std::int64_t number) {
  Json json(Kind::Number);
  json.m_number = number;
  return json;
}

Json Json::Bool(bool value) {
  Json json(Kind::Bool);
  json.m_number = value ? 1 : 0;
  return json;
}

Json Json::Strings(const std::vector<std::string>& texts) {
  Json array = Array();
  for (const std::string& text : texts) array.Push(String(text));
  return array;
}

Json& Json::Set(std::string_view key, Json value) {
  m_members.emplace_back(std::string(key), std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  m_elements.push_back(std::move(value));
  return *this;
}

std::string Json::Dump() const {
  std::string out;
  DumpTo(out, 0);
  return out;
}

void Json::DumpTo(std::string& out, int depth) const {
  const std::string indent(static_cast<std::size_t>(depth + 1) * 2, ' ');
  const std::string closing(static_cast<std::size_t>(depth) * 2, ' ');
  switch (m_kind) {
    case Kind::String:
      out += JsonQuote(m_text);
      return;
    case Kind::Number:
      out += std::to_string(m_number);
      return;
    case Kind::Bool:
      out += m_number ? "true" : "false";
      return;
    case Kind::Null:
      out += "null";
      return;
    case Kind::Object:
    case Kind::Array:
      break;
  }
  const bool object = m_kind == Kind::Object;
  const std::size_t count = object ? m_members.size() : m_elements.size();
  out += object ? '{' : '[';
  for (std::size_t i = 0; i < count; ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += indent;
    if (object) {
      out += JsonQuote(m_members[i].first) + ": ";
      m_members[i].second.DumpTo(out, depth + 1);
    } else {
      m_elements[i].DumpTo(out, depth + 1);
    }
  }
  if (count > 0) out += "\n" + closing;
  out += object ? '}' : ']';
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    char32_t code_point = 0;
    const std::size_t length = byte < 0x80 ? 1 : platform::DecodeUtf8(text, i, code_point);
    if (length == 0) {
      platform::AppendUtf8(byte, out);  // not UTF-8: the byte as a Latin-1 character
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
    } else if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte < 0x20 || byte == 0x7F) {
      switch (byte) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          out += text::Format("\\u%04x", byte);
          break;
      }
    } else {
      out += static_cast<char>(byte);
    }
    i += length;
  }
  return out + "\"";
}

void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(header.size(), 0);
  const auto measure = [&](const std::vector<std::string>& row) {
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  };
  measure(header);
  for (const auto& row : rows) measure(row);
  const auto print = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out << text::TrimRight(line) << "\n";
  };
  print(header);
  for (const auto& row : rows) print(row);
}

std::string AgeText(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  constexpr std::int64_t kMinute = 60, kHour = 60 * kMinute, kDay = 24 * kHour;
  if (seconds < kMinute) return text::Format("%lld s", static_cast<long long>(seconds));
  if (seconds < kHour) return text::Format("%lld min", static_cast<long long>(seconds / kMinute));
  if (seconds < kDay) return text::Format("%lld h", static_cast<long long>(seconds / kHour));
  return text::Format("%lld d", static_cast<long long>(seconds / kDay));
}

}  // namespace quillctl
