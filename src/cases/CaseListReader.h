// Reads the cases out of the function server's answer to "getdoctorcases".
#pragma once

#include <functional>
#include <memory>

#include "CaseObjects.h"

class cJSON;

using CaseSink = std::function<void(std::unique_ptr<ListBoxObjectClass>)>;

// What the walk leaves of each case's node in the answer once its case object is made.
enum class WalkedCases {
  Kept,
  // Dropped from the answer at once (the entry stays as a plain word), so that a big answer's
  // nodes make room for its case objects instead of being held beside them until it goes.
  Released,
};

// Whether a big answer's walk may take a second thread.
enum class WalkThreads {
  One,
  // A helper thread makes the case objects of the last cases of a big answer (three eighths)
  // while the caller's thread makes those of the others.
  Two,
};

// Hands `add` one case object per member of the answer's "CaseList", in answer order, on the
// caller's thread. "CaseList", a case, "FieldList", "NeedsList" or a need that is not an object
// counts as absent: an absent case or need is not listed, an absent list is empty.
void WalkCaseList(cJSON& answer, const CaseSink& add, WalkedCases walked = WalkedCases::Kept,
                  WalkThreads threads = WalkThreads::One);
