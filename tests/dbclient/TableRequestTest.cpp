// Tests of the table query and the record update: the request lines and the verdicts.
#include "dbServerConnection.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataFrame.h"
#include "ScriptedServer.h"
#include "TestScripts.h"

namespace {

using Lines = std::vector<std::string>;

// Records the text of every framed request after the handshake and answers from a list.
struct RequestLog {
  std::mutex mutex;
  std::vector<Frame> frames;
};

Script Recording(std::shared_ptr<RequestLog> log, Lines answers) {
  return [log, answers](ServerPeer& peer) {
    if (!peer.AcceptHandshake()) return;
    for (const std::string& answer : answers) {
      Frame frame;
      if (!peer.ReadFrame(frame)) return;
      {
        std::lock_guard lock(log->mutex);
        log->frames.push_back(frame);
      }
      if (!peer.Answer(answer)) return;
    }
  };
}

NameValueList ListOf(const Lines& lines) {
  NameValueList list;
  for (const std::string& line : lines) list.Add(line);
  return list;
}

}  // namespace

// The login's query sends exactly three lines, the key quoted because of its space.
TEST(TableRequestTest, QuerySendsThreeLines) {
  auto log = std::make_shared<RequestLog>();
  ScriptedServer server(false);
  server.Expect(Recording(log, {"1,\"Dr Who\",x"}));
  auto connection = OpenData(server);
  NameValueList result;
  ASSERT_TRUE(connection->QueryTable("Personnel", 4, "dr who@example.org", "", result, "", ""));
  ASSERT_EQ(log->frames.size(), 1u);
  EXPECT_EQ(log->frames[0].type, FrameType::Table);
  EXPECT_EQ(log->frames[0].subtype, FrameSubtype::TableQuery);
  EXPECT_EQ(log->frames[0].text, "TableName=Personnel,List=4,\"Key=dr who@example.org\"");
  EXPECT_EQ(result.Lines(), (Lines{"1", "Dr Who", "x"}));
}

// Owner and alias texts add their lines only when they are not empty.
TEST(TableRequestTest, QueryAddsOptionalLines) {
  auto log = std::make_shared<RequestLog>();
  ScriptedServer server(false);
  server.Expect(Recording(log, {"a", "a"}));
  auto connection = OpenData(server);
  NameValueList result;
  connection->QueryTable("Cases", 0, "", "Ward7", result, "A,B", "f1");
  connection->QueryTable("Cases", -3, "", "", result, "", "f1");
  ASSERT_EQ(log->frames.size(), 2u);
  EXPECT_EQ(log->frames[0].text,
            "TableName=Cases,List=0,Owner=Ward7,\"AliasList=A,B\",AliasFields=f1");
  EXPECT_EQ(log->frames[1].text, "TableName=Cases,List=-3,AliasFields=f1");
}

// "~" and a quoted "Error:" first line are errors handed to the caller; other answers are records.
TEST(TableRequestTest, QueryVerdicts) {
  struct Case {
    const char* answer;
    bool found;
    Lines lines;
  };
  const Case cases[] = {
      {"~", false, {"~"}},
      {"\"Error: no such record\"", false, {"Error: no such record"}},
      {"Error: no record", true, {"Error:", "no", "record"}},
      {"Error:none", true, {"Error:none"}},
      {"\"Error:none\"", true, {"Error:none"}},
      {"a=1,b=2", true, {"a=1", "b=2"}},
  };
  Lines answers;
  for (const Case& c : cases) answers.emplace_back(c.answer);
  ScriptedServer server(false);
  server.Expect(HandshakeThen(answers));
  auto connection = OpenData(server);
  for (const Case& c : cases) {
    NameValueList result;
    result.Add("stale");
    EXPECT_EQ(connection->QueryTable("Personnel", 4, "k", "", result, "", ""), c.found) << c.answer;
    EXPECT_EQ(result.Lines(), c.lines) << c.answer;
  }
}

// A query whose answer never comes gives the one quoted failure line.
TEST(TableRequestTest, QueryFailureLine) {
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (peer.AcceptHandshake() && peer.ReadFrame(frame)) peer.Close();
  });
  auto connection = OpenData(server);
  NameValueList result;
  EXPECT_FALSE(connection->QueryTable("Personnel", 4, "k", "", result, "", ""));
  EXPECT_EQ(result.Lines(), Lines{"\"Error: SendMessage Failed.\""});
}

// The update sends its table and "Seq=" lines, even for an empty key, and joins line breaks with
// "||".
TEST(TableRequestTest, UpdateLines) {
  auto log = std::make_shared<RequestLog>();
  ScriptedServer server(false);
  server.Expect(
      Recording(log, {"Done=1", "ErrorCode=0", "ErrorCode=7,\"Error=Locked by Ward 3\""}));
  auto connection = OpenData(server);
  EXPECT_TRUE(
      connection->UpdateRecord("Cases", "", ListOf({"f25=Y", "Note=a\r\nb\r\nc", "x=c\rd\ne"})));
  EXPECT_TRUE(connection->UpdateRecord("Cases", "42", ListOf({"f25=Y"})));
  EXPECT_FALSE(connection->UpdateRecord("Cases", "43", ListOf({"f25=Y"})));
  EXPECT_EQ(connection->Error, "Locked by Ward 3");
  ASSERT_EQ(log->frames.size(), 3u);
  EXPECT_EQ(log->frames[0].type, FrameType::Table);
  EXPECT_EQ(log->frames[0].subtype, FrameSubtype::RecordUpdate);
  EXPECT_EQ(log->frames[0].text, "TableName=Cases,Seq=,f25=Y,Note=a||b||c,\"x=c\rd\ne\"");
  EXPECT_EQ(log->frames[1].text, "TableName=Cases,Seq=42,f25=Y");
}

// An update is done only when "ErrorCode" is absent or a whole number 0; one that is there but
// is no signed 32-bit whole number is a refusal, and its "Error" text stays for the message.
TEST(TableRequestTest, UpdateVerdictByErrorCode) {
  struct Case {
    const char* answer;
    bool done;
    const char* error;
  };
  const Case cases[] = {
      {"Done=1", true, ""},
      {"ErrorCode=,Error=ignored", true, "ignored"},
      {"ErrorCode=+0", true, ""},
      {"ErrorCode=4294967296,Error=overflow", false, "overflow"},
      {"ErrorCode=-2147483649", false, ""},
      {"ErrorCode=2147483647", false, ""},
      {"ErrorCode=x,Error=letters", false, "letters"},
      {"ErrorCode=1.0", false, ""},
      {"\"ErrorCode= \"", false, ""},
  };
  Lines answers;
  for (const Case& c : cases) answers.emplace_back(c.answer);
  ScriptedServer server(false);
  server.Expect(Recording(std::make_shared<RequestLog>(), answers));
  auto connection = OpenData(server);
  for (const Case& c : cases) {
    EXPECT_EQ(connection->UpdateRecord("Cases", "42", ListOf({"f25=Y"})), c.done) << c.answer;
    EXPECT_EQ(connection->Error, c.error) << c.answer;
  }
}

// Table names lose four characters by each request's own extension rule.
TEST(TableRequestTest, ExtensionRules) {
  auto log = std::make_shared<RequestLog>();
  ScriptedServer server(false);
  server.Expect(Recording(log, {"a", "a", "ErrorCode=0", "ErrorCode=0"}));
  auto connection = OpenData(server);
  NameValueList result;
  connection->QueryTable("Cases.def", 1, "", "", result, "", "");
  connection->QueryTable("Tab.ab", 1, "", "", result, "", "");
  connection->UpdateRecord("Cases.def", "1", NameValueList());
  connection->UpdateRecord("Tab.ab", "1", NameValueList());
  ASSERT_EQ(log->frames.size(), 4u);
  EXPECT_EQ(log->frames[0].text, "TableName=Cases,List=1");
  EXPECT_EQ(log->frames[1].text, "TableName=Ta,List=1");
  EXPECT_EQ(log->frames[2].text, "TableName=Cases,Seq=1");
  EXPECT_EQ(log->frames[3].text, "TableName=Tab.ab,Seq=1");
}
