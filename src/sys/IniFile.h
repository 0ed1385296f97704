// A read-only profile (INI) file: sections of name=value lines, read by section and key.
#pragma once

#include <map>
#include <string>
#include <string_view>

// Section and key names compare without regard to ASCII case; the first occurrence of
// a key in a section wins, as the lookup of the name=value list does.
class IniFile {
 public:
  // Reads the file; false (and no values) when it cannot be read.
  bool Load(const std::string& path);
  // Takes the values from a text already in memory.
  void Parse(std::string_view text);

  // The folder of the file Load read (without a closing separator; "." for a bare file
  // name), against which relative paths in its values are taken. Empty until a Load.
  const std::string& Folder() const { return folder_; }

  // The value with blanks around it dropped, or `fallback` when the key is missing.
  std::string Read(std::string_view section, std::string_view key,
                   const std::string& fallback = std::string()) const;

 private:
  static std::string Folded(std::string_view name);

  std::map<std::string, std::string> values_;  // "section\nkey", both folded to lower case
  std::string folder_;
};
