// One request through RequestInFlight::Run: held input while it runs, then its outcome and
// the one report the user sees.
#include "RequestInFlight.h"

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCursor>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "MessageBox.h"
#include "RowName.h"
#include "dbServerConnection.h"

namespace {

struct RunRow {
  std::string name;
  bool succeeds;
  bool times_out;
  std::string failure;  // the text for a failure other than a time-out
  RequestOutcome outcome;
  std::vector<std::string> shown;  // the texts of the boxes, all under the caption
};

class RequestRunTest : public ::testing::TestWithParam<RunRow> {};

// The request creates its connection, as the first paint does; the report looks at the one
// it created, after the busy cursor and the input hold are gone.
TEST_P(RequestRunTest, ReportsTheOutcomeOnceTheRequestIsOver) {
  const RunRow& row = GetParam();
  std::vector<ShownMessage> shown;
  bool shown_while_held = false;
  MessageBox::SetHandler(
      [&](const std::string& text, const std::string& caption, MessageButtons buttons) {
        shown.push_back({text, caption, buttons});
        shown_while_held |= RequestInFlight::Active();
        return MessageAnswer::Ok;
      });
  std::unique_ptr<dbServerConnection> connection;
  bool held = false;
  const RequestOutcome outcome = RequestInFlight::Run(
      connection, "Caption",
      [&] {
        held = RequestInFlight::Active() && QApplication::overrideCursor() != nullptr &&
               QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        connection =
            std::make_unique<dbServerConnection>("127.0.0.1", ClosedPort(), "", "", false, 7);
        connection->TimedOut = row.times_out;
        return row.succeeds;
      },
      row.failure);
  MessageBox::SetHandler(nullptr);

  EXPECT_TRUE(held);
  EXPECT_FALSE(shown_while_held);
  EXPECT_FALSE(RequestInFlight::Active());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(outcome, row.outcome);
  std::vector<ShownMessage> expected;
  for (const std::string& text : row.shown) {
    expected.push_back({text, "Caption", MessageButtons::Ok});
  }
  EXPECT_EQ(shown, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RequestRunTest,
    ::testing::Values(
        RunRow{"SucceededDespiteAnEarlierTimeOut",
               true,
               true,
               "Failed.",
               RequestOutcome::Succeeded,
               {}},
        RunRow{"TimedOut",
               false,
               true,
               "Failed.",
               RequestOutcome::TimedOut,
               {"The function server did not answer within 7 seconds."}},
        RunRow{"FailedWithText", false, false, "Failed.", RequestOutcome::Failed, {"Failed."}},
        RunRow{"FailedLeftToTheCaller", false, false, "", RequestOutcome::Failed, {}}),
    RowName());

}  // namespace
