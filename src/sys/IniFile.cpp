// A read-only profile (INI) file: sections of name=value lines, read by section and key.
#include "IniFile.h"

#include <fstream>
#include <sstream>

namespace {

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// One pair of matching quotes around a value is not part of it.
std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

}  // namespace

bool IniFile::Load(const std::string& path) {
  values_.clear();
  const std::size_t slash = path.rfind('/');
  folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  Parse(text.str());
  return true;
}

void IniFile::Parse(std::string_view text) {
  values_.clear();
  std::string section;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = TrimBlanks(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      section =
          Folded(TrimBlanks(line.substr(1, close == std::string_view::npos ? close : close - 1)));
      continue;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key = section + '\n' + Folded(TrimBlanks(line.substr(0, equals)));
    values_.emplace(key, std::string(Unquoted(TrimBlanks(line.substr(equals + 1)))));
  }
}

std::string IniFile::Read(std::string_view section, std::string_view key,
                          const std::string& fallback) const {
  auto found = values_.find(Folded(section) + '\n' + Folded(key));
  return found == values_.end() ? fallback : found->second;
}

std::string IniFile::Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}
