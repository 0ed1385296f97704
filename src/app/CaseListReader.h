// Reads the cases out of the function server's answer to "getdoctorcases".
#pragma once

#include <functional>
#include <memory>

#include "CaseObjects.h"

class cJSON;

using CaseSink = std::function<void(std::unique_ptr<ListBoxObjectClass>)>;

// Hands `add` one case object per member of the answer's "CaseList", in answer order.
// "CaseList", a case, "FieldList", "NeedsList" or a need that is not an object counts as
// absent: an absent case or need is not listed, an absent list is empty.
void WalkCaseList(cJSON& answer, const CaseSink& add);
