// Tests of dropping a read document at once: what other documents and later changes keep.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "TreeDescription.h"
#include "cJSON.h"

namespace {

// A document whose nodes hold every kind of storage: long names on the heap, a list too big
// for the regions, nested levels in them; with many members, spread over several regions.
std::string MixedText(int members) {
  std::string text = "{\"a name longer than sixteen\":{\"x\":[1,{\"y\":\"z\"}]},\"big\":{";
  for (int i = 0; i < members; ++i) {
    text +=
        (i > 0 ? ",\"" : "\"") + std::to_string(i) + "\":{\"f\":\"v" + std::to_string(i) + "\"}";
  }
  return text + "},\"tail\":[\"t\"]}";
}

struct DropCase {
  const char* label;
  std::function<void(cJSON&)> change;  // done to the first document before it goes
};

// Each way of changing a document before it goes (or none) leaves a second document read from
// the same text as it was, before and after the first goes.
TEST(cJSONDropTest, DroppingADocumentLeavesTheOthersWhole) {
  const DropCase cases[] = {
      {"unchanged", [](cJSON&) {}},
      {"member added deep",
       [](cJSON& r) { r.FindChild("big", false)->SetValue("new", "{a:[1]}"); }},
      {"child created",
       [](cJSON& r) { r.FindChild("big", false)->FindChild("7", true)->GetChild("n"); }},
      {"member removed", [](cJSON& r) { r.FindChild("big", false)->RemoveMember("5"); }},
      {"child dropped", [](cJSON& r) { r.FindChild("big", false)->DropChildAt(3); }},
      {"long name removed", [](cJSON& r) { r.RemoveMember("a name longer than sixteen"); }},
      {"inner node cleared", [](cJSON& r) { r.FindChild("big", false)->Clear(); }},
      {"inner node read again",
       [](cJSON& r) { r.FindChild("tail", false)->Parse("{\"q\":{\"r\":1}}"); }},
      {"members read into",
       [](cJSON& r) { r.FindChild("big", false)->ParseMembers("\"m\":{\"n\":2}"); }},
      {"root member added", [](cJSON& r) { r.SetValue("extra", "[{\"long name of a node\":1}]"); }},
      {"root read again", [](cJSON& r) { r.Parse("{\"other\":{\"k\":\"v\"}}"); }},
  };
  for (const int members : {300, 40000}) {
    const std::string text = MixedText(members);
    for (const DropCase& c : cases) {
      auto first = std::make_unique<cJSON>();
      first->Parse(text);
      cJSON second;
      second.Parse(text);
      const std::string expected = DescribeTree(second);
      c.change(*first);
      EXPECT_EQ(DescribeTree(second), expected) << c.label << ", " << members << " members";
      first.reset();
      EXPECT_EQ(DescribeTree(second), expected) << c.label << ", " << members << " members";
      EXPECT_EQ(second.FindChild("big", false)->FindChild("299", false)->GetValue("f"), "v299")
          << c.label << ", " << members << " members";
    }
  }
}

// A node read into twice keeps both readings until it goes, and reads as both.
TEST(cJSONDropTest, TwoReadingsIntoOneNodeGoTogether) {
  cJSON root;
  root.ParseMembers("\"a\":{\"b\":{\"c\":1}}");
  root.ParseMembers("\"d\":{\"e\":[2]}");
  EXPECT_EQ(root.GetText(), "{a:{b:{c:1}},d:{e:[2]}}");
  root.Parse("{\"f\":{\"g\":3}}");
  EXPECT_EQ(root.GetText(), "{f:{g:3}}");
}

}  // namespace
