// quillctl's two forms of output: aligned columns for people, and JSON for
// scripts (--json), built as a small tree and written in one piece.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillctl {

class Json {
 public:
  static Json Object();
  static Json Array();
  static Json String(std::string_view text);
  static Json Number(std::int64_t number);
  static Json Bool(bool value);
  static Json Null();
  static Json Strings(const std::vector<std::string>& texts);

  // Adds a member to an object (in this order) or an element to an array.
  Json& Set(std::string_view key, Json value);
  Json& Push(Json value);

  // The JSON text, indented by two blanks per level, without a final line end.
  std::string Dump() const;

 private:
  enum class Kind { Object, Array, String, Number, Bool, Null };
  explicit Json(Kind kind) : m_kind(kind) {}
  void DumpTo(std::string& out, int depth) const;

  Kind m_kind;
  std::string m_text;                                   // String
  std::int64_t m_number = 0;                            // Number, Bool
  std::vector<std::pair<std::string, Json>> m_members;  // Object
  std::vector<Json> m_elements;                         // Array
};

// A JSON string literal of a text: a byte sequence that is no UTF-8 is
// written as the characters of its bytes (Latin-1), so that any file's
// bytes make valid JSON.
std::string JsonQuote(std::string_view text);

// Rows under a header, columns two blanks apart; nothing but the header
// line when there are no rows.
void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);

// "3 s", "5 min", "2 h", "4 d": how long ago a time was.
std::string AgeText(std::int64_t seconds);

}  // namespace quillctl
