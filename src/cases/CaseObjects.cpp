// The objects behind the case list: cases and their discharge needs.
#include "CaseObjects.h"

#include <utility>

ListBoxObjectClass::ListBoxObjectClass(std::string case_key) : CaseKey(std::move(case_key)) {}

std::string ListBoxObjectClass::Title() const {
  return Fields.Value("pa10") + " " + Fields.Value("pa12");
}

StringListObjectClass& ListBoxObjectClass::AddNeed(std::string need_key) {
  Needs.push_back({std::move(need_key), std::make_unique<StringListObjectClass>()});
  return *Needs.back().Object;
}
