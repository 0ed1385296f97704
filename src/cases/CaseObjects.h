// The objects behind the case list: one ListBoxObjectClass per case, one
// StringListObjectClass per discharge need of a case.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CaseFields.h"

// One discharge need: its "FieldList" ("pd12", "pc12", "pt11").
class StringListObjectClass {
 public:
  CaseFields Fields;
};

// A need as it stands in its case: the name it has in "NeedsList", and the need itself.
struct NeedEntry {
  std::string Key;
  std::unique_ptr<StringListObjectClass> Object;
};

// One open case of the physician; owns its needs.
class ListBoxObjectClass {
 public:
  explicit ListBoxObjectClass(std::string case_key);

  // The case's name in "CaseList": its "Seq" in the data server's "Cases" table.
  std::string CaseKey;
  // The case's "FieldList"; a name occurs at most once.
  CaseFields Fields;
  // The case's needs in answer order.
  std::vector<NeedEntry> Needs;

  // The title of the case: "pa10", one blank, "pa12".
  std::string Title() const;
  // Appends a need under its key and returns it, owned by this case.
  StringListObjectClass& AddNeed(std::string need_key);
};
