// The case fields' text block against a plain name=value list over random changes.
#include "CaseFields.h"

#include <random>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "NameValueList.h"

namespace {

// Every line and every lookup agree with NameValueList after each random set, replace or
// removal, names differing only in case and names holding "=" included, with room made ahead and
// the fields copied now and then.
TEST(CaseFieldsTest, MatchesANameValueListUnderRandomChanges) {
  const char* const names[] = {"pa10", "PA10", "f13", "a=b", "a", "", "=", "pt11"};
  const char* const values[] = {"",    "x",   "Meier", "a longer value than the short string room",
                                "b=c", "null"};
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    CaseFields fields;
    NameValueList model;
    for (int step = 0; step < 40; ++step) {
      const std::string name = names[random() % std::size(names)];
      const std::string value = values[random() % std::size(values)];
      if (step % 7 == 6) {
        fields.Reserve(random() % 3, random() % 40);  // room made, nothing else changes
      } else if (step % 11 == 10) {
        CaseFields copy(fields);
        fields = std::move(copy);
      }
      fields.SetValue(name, value);
      model.SetValue(name, value);
      ASSERT_EQ(fields.Count(), model.Count());
      for (int i = 0; i < model.Count(); ++i)
        EXPECT_EQ(fields[i], model[i]) << round << ":" << step;
      for (const char* probe : names) EXPECT_EQ(fields.Value(probe), model.Value(probe)) << probe;
    }
    // A value taken from the fields themselves survives the block growing under it.
    if (fields.Count() > 0) {
      const std::string_view line = fields[0];
      fields.SetValue("copied", line);
      model.SetValue("copied", model[0]);
      EXPECT_EQ(fields.Value("copied"), model.Value("copied"));
    }
  }
}

}  // namespace
