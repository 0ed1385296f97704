// libFuzzer target: any comma text reads into lines that write and read back unchanged, and
// every lookup (on the lines, or in place on a deferred text fed in pieces) finds the same value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "NameValueList.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The value of the first line named `name`, by a plain scan of the lines.
bool ScanValue(const std::vector<std::string>& lines, std::string_view name, std::string& value) {
  for (const std::string& line : lines) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos &&
        EqualsIgnoreCase(std::string_view(line).substr(0, equals), name)) {
      value = line.substr(equals + 1);
      return true;
    }
  }
  return false;
}

// The names worth looking up: those of the lines, a few of their case-changed and cut forms,
// and one that no line is likely to have.
std::vector<std::string> NamesToLookUp(const std::vector<std::string>& lines) {
  std::vector<std::string> names{"Error", "ErrorCode", "zz"};
  for (const std::string& line : lines) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = line.substr(0, equals);
    names.push_back(name);
    for (char& c : name) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    names.push_back(name);
    if (!name.empty()) names.push_back(name.substr(1));
    if (names.size() > 64) break;
  }
  return names;
}

// The text split at `cut` and fed in two pieces must read as the whole text does.
void CheckDeferred(std::string_view text, std::size_t cut, const NameValueList& whole,
                   const std::vector<std::string>& names) {
  NameValueList deferred;
  deferred.SetCommaTextDeferred(text.substr(0, cut));
  deferred.AppendCommaTextDeferred(text.substr(cut));
  for (const std::string& name : names) Check(deferred.Value(name) == whole.Value(name));
  Check(deferred.Lines() == whole.Lines());
}

// Writing the lines and reading them back gives the same lines (none can hold a NUL).
void CheckRoundTrip(const NameValueList& list) {
  NameValueList again;
  again.SetCommaText(list.CommaText());
  Check(again.Lines() == list.Lines());
}

// Setting a value is seen by the lookup, and an empty value removes exactly that line.
void CheckSetValue(NameValueList list, std::string_view name, std::string_view value) {
  const int before = list.Count();
  const bool had = list.IndexOfName(name) >= 0;
  list.SetValue(name, value);
  if (value.empty()) {
    Check(list.Count() == before - (had ? 1 : 0));
  } else {
    Check(list.Value(name) == value);
    Check(list.Count() == before + (had ? 0 : 1));
  }
  CheckRoundTrip(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NameValueList list;
  list.SetCommaText(text);
  const std::vector<std::string> lines = list.Lines();
  for (const std::string& line : lines) Check(line.find('\0') == std::string::npos);

  const std::vector<std::string> names = NamesToLookUp(lines);
  for (const std::string& name : names) {
    std::string expected;
    const bool found = ScanValue(lines, name, expected);
    Check(list.Value(name) == expected);
    Check((list.IndexOfName(name) >= 0) == found);
  }
  CheckDeferred(text, size == 0 ? 0 : data[0] % (size + 1), list, names);
  CheckRoundTrip(list);

  // A name and a value taken from the input itself, so that quotes, commas and blanks appear.
  const std::size_t half = size / 2;
  const std::string_view name = text.substr(0, std::min<std::size_t>(half, 8));
  const std::string_view value = text.substr(half, std::min<std::size_t>(size - half, 16));
  if (name.find('=') == std::string_view::npos && name.find('\0') == std::string_view::npos &&
      value.find('\0') == std::string_view::npos) {
    CheckSetValue(list, name, value);
  }
  return 0;
}
