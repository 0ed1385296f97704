// Tests of the name=value list: its comma text both ways, lookup and setting.
#include "NameValueList.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

NameValueList ListOf(const Lines& lines) {
  NameValueList list;
  for (const std::string& line : lines) list.Add(line);
  return list;
}

Lines Read(std::string_view text) {
  NameValueList list;
  list.Add("left over");
  list.SetCommaText(text);
  return list.Lines();
}

struct WriteCase {
  const char* name;
  Lines lines;
  std::string text;
};

struct ReadCase {
  const char* name;
  std::string text;
  Lines lines;
};

}  // namespace

// Each kind of line is written plain or quoted as the comma-text rules say.
TEST(NameValueListTest, WritesCommaText) {
  const WriteCase cases[] = {
      {"Plain", {"a=1", "b=2"}, "a=1,b=2"},
      {"SpaceQuoted", {"Error=Bad key", "ErrorCode=3"}, "\"Error=Bad key\",ErrorCode=3"},
      {"CommaQuoted", {"a,b"}, "\"a,b\""},
      {"QuoteDoubled", {"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {"LoneQuoteQuoted", {"a\"b"}, "\"a\"\"b\""},
      {"TabQuoted", {"a\tb"}, "\"a\tb\""},
      {"ControlOneQuoted",
       {std::string("a\x01") + "b"},
       "\"a\x01"
       "b\""},
      {"UnitSeparatorQuoted", {"a\x1f"}, "\"a\x1f\""},
      {"DeleteNotQuoted", {"a\x7f"}, "a\x7f"},
      {"HighByteNotQuoted", {"caf\xe9"}, "caf\xe9"},
      {"EmptyList", {}, ""},
      {"SingleEmptyLine", {""}, "\"\""},
      {"EmptyLinesAmongOthers", {"a", "", "b"}, "a,,b"},
      {"TwoEmptyLines", {"", ""}, ","},
      {"TrailingEmptyLine", {"a", ""}, "a,"},
  };
  for (const WriteCase& c : cases) {
    EXPECT_EQ(ListOf(c.lines).CommaText(), c.text) << c.name;
  }
}

// Comma texts, well-formed and awkward, are read into the lines the rules give.
TEST(NameValueListTest, ReadsCommaText) {
  const ReadCase cases[] = {
      {"Plain", "a=1,b=2", {"a=1", "b=2"}},
      {"Empty", "", {}},
      {"OnlyBlanks", " \t\r\n", {}},
      {"SpaceSplitsLines", "Error=Bad key", {"Error=Bad", "key"}},
      {"QuotedKeepsSpace", "\"Error=Bad key\",ErrorCode=3", {"Error=Bad key", "ErrorCode=3"}},
      {"DoubledQuotes", "\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"QuoteInsidePlainLine", "a\"b,c", {"a\"b", "c"}},
      {"TrailingComma", "a,", {"a", ""}},
      {"CommaThenBlanksAddsNothing", "a, ", {"a"}},
      {"BlanksAroundCommas", "  a ,\t b  ", {"a", "b"}},
      {"ControlCharactersSeparate",
       "a\x01"
       "b\x1f"
       "c",
       {"a", "b", "c"}},
      {"TwoQuotesIsOneEmptyLine", "\"\"", {""}},
      {"EmptyLinesBetweenCommas", "a,,b", {"a", "", "b"}},
      {"LeadingComma", ",a", {"", "a"}},
      {"TextAfterClosingQuoteIsNextLine", "\"ab\"cd", {"ab", "cd"}},
      {"UnterminatedQuote", "x,\"abc", {"x", "abc"}},
      {"UnterminatedAfterDoubledQuote", "\"ab\"\"", {"ab\""}},
      {"LoneQuote", "\"", {""}},
      {"StopsAtNul", std::string("a,b\0c", 5), {"a", "b"}},
      {"HighBytesArePlain", "caf\xe9,x", {"caf\xe9", "x"}},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(Read(c.text), c.lines) << c.name;
  }
}

// A deferred comma text gives the same lines and values as one read at once.
TEST(NameValueListTest, DeferredTextReadsTheSame) {
  const std::string texts[] = {
      "a=1,b=2",
      "",
      "Error=Bad key,ErrorCode=3",
      "\"Error=Bad key\",ErrorCode=3",
      "\"say \"\"hi\"\"=x\"",
      "a,",
      "\"ab\"\"",
      "x,\"abc",
      "\"\"",
      "=v,=w",
      "errorcode=5,ErrorCode=7",
      std::string("a=1\0b=2", 7),
      "\"Note=a,b\",Note=c",
      "k\x01=v,k=w",
  };
  const char* names[] = {"a", "b", "Error", "ErrorCode", "say \"hi\"", "", "Note", "k", "x"};
  for (const std::string& text : texts) {
    NameValueList eager;
    eager.SetCommaText(text);
    for (const char* name : names) {
      NameValueList deferred;
      deferred.SetCommaTextDeferred(text);
      EXPECT_EQ(deferred.Value(name), eager.Value(name)) << text << " / " << name;
      EXPECT_EQ(deferred.Lines(), eager.Lines()) << text;
    }
  }
}

// A deferred text taken in two pieces, split at every place, reads as the whole text; a NUL ends
// it.
TEST(NameValueListTest, DeferredPiecesSplitAnywhere) {
  const std::string text = "\"Error=Bad key\",errorcode=5,x=\"\"\"q\"";
  NameValueList whole;
  whole.SetCommaText(text);
  for (std::size_t split = 0; split <= text.size(); ++split) {
    NameValueList pieces;
    pieces.SetCommaTextDeferred(text.substr(0, split));
    pieces.AppendCommaTextDeferred(text.substr(split));
    EXPECT_EQ(pieces.Value("ERROR"), "Bad key") << split;
    EXPECT_EQ(pieces.Value("ErrorCode"), "5") << split;
    EXPECT_EQ(pieces.Lines(), whole.Lines()) << split;
  }
  NameValueList ended;
  ended.SetCommaTextDeferred("a=1");
  ended.AppendCommaTextDeferred(std::string(",b=2\0,c=3", 10));
  ended.AppendCommaTextDeferred(",d=4");
  EXPECT_EQ(ended.Lines(), (Lines{"a=1", "b=2"}));
}

// Changing a deferred list splits its text first, so no line is lost.
TEST(NameValueListTest, DeferredTextThenChanged) {
  NameValueList list;
  list.SetCommaTextDeferred("a=1,b=2");
  list.SetValue("c", "3");
  EXPECT_EQ(list.Lines(), (Lines{"a=1", "b=2", "c=3"}));
  list.SetCommaTextDeferred("x=1");
  list.Add("y=2");
  EXPECT_EQ(list.CommaText(), "x=1,y=2");
  list.SetCommaTextDeferred("x=1");
  list.Clear();
  EXPECT_TRUE(list.Empty());
  list.SetCommaTextDeferred("p=1,q=2");
  EXPECT_EQ(list.IndexOfName("q"), 1);
  EXPECT_EQ(list.Count(), 2);
}

// An opening quote without a closing one stops at the end of the view, not at a quote behind it.
TEST(NameValueListTest, UnterminatedQuoteStaysInsideText) {
  const std::string storage = "\"abc\"def";
  EXPECT_EQ(Read(std::string_view(storage).substr(0, 4)), Lines{"abc"});
}

// Writing a list and reading the text back gives the same lines.
TEST(NameValueListTest, RoundTripsEveryLineShape) {
  const Lines shapes[] = {
      {"TableName=Personnel", "List=4", "Key=dr who@example.org"},
      {"a,b", "c\"d", "", "e\tf", "g h"},
      {""},
      {"\"quoted\"", "=", "==", "x="},
      {"line\r\nbreak", "trailing "},
  };
  for (const Lines& lines : shapes) {
    NameValueList back;
    back.SetCommaText(ListOf(lines).CommaText());
    EXPECT_EQ(back.Lines(), lines) << ListOf(lines).CommaText();
  }
}

// Lookup ignores case, takes the first match, ignores lines without "=" and splits at the first
// "=".
TEST(NameValueListTest, LooksUpValues) {
  NameValueList list = ListOf({"Date", "errorcode=5", "ErrorCode=7", "Expr=a=b", "Empty="});
  EXPECT_EQ(list.Value("ErrorCode"), "5");
  EXPECT_EQ(list.Value("ERRORCODE"), "5");
  EXPECT_EQ(list.Value("Expr"), "a=b");
  EXPECT_EQ(list.Value("Date"), "");
  EXPECT_EQ(list.IndexOfName("Date"), -1);
  EXPECT_EQ(list.Value("Missing"), "");
  EXPECT_EQ(list.IndexOfName("Empty"), 4);
  EXPECT_EQ(list.NameAt(3), "Expr");
  EXPECT_EQ(list.ValueAt(3), "a=b");
  EXPECT_EQ(list.NameAt(0), "Date");
  EXPECT_EQ(list.ValueAt(0), "");
}

// Setting replaces the first match, appends a new name, and an empty value removes the line.
TEST(NameValueListTest, SetsValues) {
  NameValueList list = ListOf({"a=1", "B=2", "b=3"});
  list.SetValue("b", "x");
  EXPECT_EQ(list.Lines(), (Lines{"a=1", "b=x", "b=3"}));
  list.SetValue("c", "4");
  EXPECT_EQ(list.Lines(), (Lines{"a=1", "b=x", "b=3", "c=4"}));
  list.SetValue("A", "");
  EXPECT_EQ(list.Lines(), (Lines{"b=x", "b=3", "c=4"}));
  list.SetValue("Key", "");
  EXPECT_EQ(list.Lines(), (Lines{"b=x", "b=3", "c=4"}));
}

// The handshake request built by setting an empty key and then the program id is one line.
TEST(NameValueListTest, EmptyKeyAddsNoLine) {
  NameValueList request;
  request.SetValue("Key", "");
  request.SetValue("ProgramID", "Pellomarquin");
  EXPECT_EQ(request.CommaText(), "ProgramID=Pellomarquin");
}

// Case-insensitive equality covers ASCII letters only.
TEST(NameValueListTest, ComparesAsciiCaseInsensitively) {
  EXPECT_TRUE(EqualsIgnoreCase("ErrorCode", "eRRORcODE"));
  EXPECT_FALSE(EqualsIgnoreCase("Error", "ErrorCode"));
  EXPECT_FALSE(EqualsIgnoreCase("\xc9", "\xe9"));
  EXPECT_FALSE(EqualsIgnoreCase("[", "{"));
}
