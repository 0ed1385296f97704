// The compact cJSON writer: the wire form of a node, with no blanks anywhere.
#include <charconv>

#include "cJSON.h"

using Slot = cJSONEntries::Slot;

namespace {

// A key holding one of these is written quoted.
constexpr std::string_view KeyMarks = "{}[]:\",'\\";

bool NeedsEscape(char c) { return c == '"' || c == '\r' || c == '\n' || c == '\t' || c == '\\'; }

void AppendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (NeedsEscape(c)) {
      out.push_back('\\');
    }
    out.push_back(c);
  }
}

// True when `text` is an integer other than 0; a text that is no integer counts as 0.
bool IsNonZeroInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value != 0;
}

}  // namespace

std::string cJSON::GetText() const {
  std::string out;
  AppendText(out);
  return out;
}

void cJSON::AppendText(std::string& out) const {
  const int count = Count();
  if (count == 0) {
    return;
  }
  out.push_back(isObject ? '{' : '[');
  for (int index = 0; index < count; ++index) {
    if (index > 0) {
      out.push_back(',');
    }
    if (isObject) {
      const std::string key = entries.KeyAt(index);
      out += KeyText(key);
      out.push_back(':');
      AppendMemberValue(out, key);
    } else {
      const Slot slot = entries.SlotAt(index);
      AppendValue(out, entries.Line(slot), entries.KindOf(slot), entries.ChildOf(slot));
    }
  }
  out.push_back(isObject ? '}' : ']');
}

// A member is written with the value that a lookup by its key finds: for a line
// whose key was cut short at an "=" that may be an earlier member's.
void cJSON::AppendMemberValue(std::string& out, std::string_view key) const {
  const Slot slot = entries.Find(key);
  if (slot == cJSONEntries::NoSlot) {
    AppendValue(out, {}, JSON_NULL, nullptr);
    return;
  }
  const std::string_view value = entries.ValueOf(slot);
  AppendValue(out, value == "null" ? std::string_view{} : value, entries.KindOf(slot),
              entries.ChildOf(slot));
}

std::string cJSON::ItemText(int index) const {
  const Slot slot = entries.SlotAt(index);
  std::string out;
  if (slot != cJSONEntries::NoSlot) {
    AppendValue(out, entries.Line(slot), entries.KindOf(slot), entries.ChildOf(slot));
  }
  return out;
}

std::string cJSON::MemberText(std::string_view key) const {
  std::string out;
  AppendMemberValue(out, key);
  return out;
}

std::string cJSON::KeyText(std::string_view key) {
  const std::string escaped = Escape(key);
  return ContainsAny(escaped, KeyMarks) ? '"' + escaped + '"' : escaped;
}

std::string cJSON::FormatValue(std::string_view text, int kind, const cJSON* child) {
  std::string out;
  AppendValue(out, text, kind, child);
  return out;
}

std::string cJSON::Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

// A child writes itself straight into `out`, so nested texts are never copied.
void cJSON::AppendValue(std::string& out, std::string_view text, int kind, const cJSON* child) {
  switch (kind) {
    case JSON_NULL:
      out += "null";
      break;
    case JSON_BOOL:
      out += IsNonZeroInteger(text) ? "true" : "false";
      break;
    case JSON_NUMBER:
    case JSON_WORD:
      out += text;
      break;
    case JSON_STRING:
      out.push_back('"');
      AppendEscaped(out, text);
      out.push_back('"');
      break;
    case JSON_ARRAY:
    case JSON_OBJECT:
      if (child) {
        child->AppendText(out);
      }
      break;
    default:
      break;
  }
}
