// Reads the cases out of the function server's answer to "getdoctorcases".
#include "CaseListReader.h"

#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cJSON.h"

namespace {

// The member's child node when it is an object; nothing for a plain value or an array.
// Looked up once: the kind and the child are both the first matching entry's.
cJSON* ObjectMember(cJSON& node, std::string_view key) {
  const cJSONEntries& entries = node.Items();
  const cJSONEntries::Slot slot = entries.Find(key);
  return slot != cJSONEntries::NoSlot && entries.KindOf(slot) == JSON_OBJECT ? entries.ChildOf(slot)
                                                                             : nullptr;
}

// The child node of entry `index` when it is an object.
cJSON* ObjectEntry(cJSON& node, int index) {
  const cJSONEntries& entries = node.Items();
  const cJSONEntries::Slot slot = entries.SlotAt(index);
  return slot != cJSONEntries::NoSlot && entries.KindOf(slot) == JSON_OBJECT ? entries.ChildOf(slot)
                                                                             : nullptr;
}

// Where a line's name ends: its first "=". Lines are short, so a plain loop beats a library call.
std::size_t NameEnd(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '=') return i;
  }
  return std::string_view::npos;
}

// A packed list's lines, where each has a name and a value that is neither empty nor "null" and
// no two share a name, are the fields as they stand: they go into empty fields in one copy.
bool CopyPackedLines(const cJSONEntries& lines, CaseFields& fields) {
  const std::uint32_t* ends = nullptr;
  std::string_view text;
  if (fields.Count() != 0 || !lines.KeysUnique() || !lines.PackedLines(ends, text)) return false;
  std::uint32_t begin = 0;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string_view line = text.substr(begin, ends[i] - begin);
    const std::size_t equals = NameEnd(line);
    if (equals == std::string_view::npos || equals + 1 == line.size() ||
        line.substr(equals + 1) == "null") {
      return false;
    }
    begin = ends[i];
  }
  fields.AssignLines(static_cast<std::size_t>(lines.Count()), ends, text);
  return true;
}

// Each line's name is looked up again as a by-name read would, since an earlier line with
// the same name (case aside) decides the value; names and values are read in place. Where no
// two lines share a name, a line's own value is that value, and into empty fields each name
// goes as a new one.
void CopyFields(cJSON* field_list, CaseFields& fields) {
  if (field_list == nullptr) return;
  const cJSONEntries& lines = field_list->Items();
  if (CopyPackedLines(lines, fields)) return;
  std::size_t bytes = 0;
  for (int i = 0; i < lines.Count(); ++i) bytes += lines.Line(lines.SlotAt(i)).size();
  fields.Reserve(static_cast<std::size_t>(lines.Count()), bytes);
  bool unique = lines.KeysUnique();
  const bool fresh = fields.Count() == 0;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string_view line = lines.Line(lines.SlotAt(i));
    const std::size_t equals = NameEnd(line);
    // A line without a name finds another line's value and may repeat a name set before.
    unique = unique && equals != std::string_view::npos;
    const std::string_view name =
        equals == std::string_view::npos ? std::string_view{} : line.substr(0, equals);
    std::string_view value;
    if (unique) {
      value = line.substr(equals + 1);
    } else {
      const cJSONEntries::Slot found = lines.Find(name);
      value = found == cJSONEntries::NoSlot ? std::string_view{} : lines.ValueOf(found);
    }
    if (value == "null") value = {};
    if (unique && fresh) {
      fields.SetNewValue(name, value);
    } else {
      fields.SetValue(name, value);
    }
  }
}

void ReadNeeds(cJSON* needs_list, ListBoxObjectClass& item) {
  if (needs_list == nullptr) return;
  item.Needs.reserve(item.Needs.size() + static_cast<std::size_t>(needs_list->Count()));
  for (int i = 0; i < needs_list->Count(); ++i) {
    cJSON* need = ObjectEntry(*needs_list, i);
    if (need == nullptr) continue;
    StringListObjectClass& added = item.AddNeed(needs_list->Items().KeyAt(i));
    CopyFields(ObjectMember(*need, "FieldList"), added.Fields);
  }
}

// Case `index`, none when it is not an object. Reads only that case's nodes and the list's
// entry, so that two threads may read different cases at once.
std::unique_ptr<ListBoxObjectClass> ReadCase(cJSON& cases, int index) {
  cJSON* member = ObjectEntry(cases, index);
  if (member == nullptr) return nullptr;
  auto item = std::make_unique<ListBoxObjectClass>(cases.Items().KeyAt(index));
  CopyFields(ObjectMember(*member, "FieldList"), item->Fields);
  ReadNeeds(ObjectMember(*member, "NeedsList"), *item);
  return item;
}

// Fewer cases are made sooner than a helper thread starts.
constexpr int HelpedCases = 4096;

}  // namespace

// Cases are taken by position: looking each one up by its name again would make the
// walk quadratic in the number of cases.
void WalkCaseList(cJSON& answer, const CaseSink& add, WalkedCases walked, WalkThreads threads) {
  cJSON* cases = ObjectMember(answer, "CaseList");
  if (cases == nullptr) return;
  const bool release = walked == WalkedCases::Released;
  const int count = cases->Count();
  int mine = count;  // the cases this thread makes
  std::vector<std::unique_ptr<ListBoxObjectClass>> second;
  std::exception_ptr failed;
  std::jthread helper;  // joined before what it fills goes, however the walk ends
  if (threads == WalkThreads::Two && count >= HelpedCases) {
    cases->Items().SlotAt(0);  // closes any holes now, so that both threads only read the list
    // The caller's thread takes more than half: the nodes it drops leave heap memory that its
    // case objects fill at once, while the helper's objects take fresh memory.
    const int first = count / 8 * 5;
    second.resize(static_cast<std::size_t>(count - first));
    try {
      helper = std::jthread([&, first] {
        try {
          for (int i = first; i < count; ++i) {
            second[static_cast<std::size_t>(i - first)] = ReadCase(*cases, i);
            if (release) cases->DropChildAt(i);
          }
        } catch (...) {
          failed = std::current_exception();
        }
      });
      mine = first;
    } catch (const std::system_error&) {
      second.clear();  // no thread to be had: the walk goes on alone
    }
  }
  for (int i = 0; i < mine; ++i) {
    if (auto item = ReadCase(*cases, i)) add(std::move(item));
    if (release) cases->DropChildAt(i);
  }
  if (helper.joinable()) helper.join();
  if (failed) std::rethrow_exception(failed);
  for (auto& item : second) {
    if (item) add(std::move(item));
  }
}
