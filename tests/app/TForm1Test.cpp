// The case list window: its layout, the refresh against scripted function servers, the
// approval against the reference servers, and closing it.
#include "TForm1.h"

#include <ostream>
#include <string>
#include <vector>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "AppTestSupport.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "ProgramState.h"
#include "ScriptedServer.h"
#include "TLoginForm.h"

namespace {

constexpr const char* kTwoCases = R"({"CaseList":{"1":{},"2":{}}})";

// Answers one request per text of `answers`, in order, then ends the connection.
Script AnswerTexts(std::vector<std::string> answers) {
  return [answers](ServerPeer& peer) {
    for (const std::string& answer : answers) {
      std::string request;
      if (!peer.ReadText(request) || !peer.Answer(answer)) return;
    }
    peer.Close();
  };
}

class TForm1Test : public ClientTest {
 protected:
  // The case list window on a function server that answers with `answers`.
  void UseFunctionServer(std::vector<std::string> answers) {
    BuildWindows();
    function_server_.Expect(AnswerTexts(std::move(answers)));
    FunctionConnection = std::make_unique<dbServerConnection>(
        "127.0.0.1", function_server_.PortText(), "", "", false, 10);
    ASSERT_TRUE(FunctionConnection->IsConnected());
    form1_->DoctorSeq = "17";
  }

  // The case keys in list order, after checking that list box and CaseObjects agree.
  std::vector<std::string> ListedKeys() const {
    std::vector<std::string> keys;
    EXPECT_EQ(form1_->CasesListBox->count(), static_cast<int>(form1_->CaseObjects.size()));
    for (int i = 0; i < form1_->CasesListBox->count(); ++i) {
      const QListWidgetItem* item = form1_->CasesListBox->item(i);
      EXPECT_EQ(item->data(Qt::UserRole).value<void*>(), form1_->CaseObjects[i].get());
      EXPECT_EQ(item->text().toStdString(), form1_->CaseObjects[i]->CaseKey);
      keys.push_back(form1_->CaseObjects[i]->CaseKey);
    }
    return keys;
  }

  ScriptedServer function_server_{false};
};

// Caption, bounds, fonts and tab order of the window; it starts hidden.
TEST_F(TForm1Test, LayoutMatchesTheDesign) {
  BuildWindows();
  TForm1& form = *form1_;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Physician Approval App"));
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.font().family(), QStringLiteral("MS Sans Serif"));
  EXPECT_EQ(form.font().pixelSize(), 11);
  EXPECT_EQ(form.DoctorNameLabel->pos(), QPoint(8, 4));
  EXPECT_EQ(form.DoctorNameLabel->font().pixelSize(), 24);
  EXPECT_EQ(form.RefreshListButton->geometry(), QRect(8, 40, 75, 25));
  EXPECT_EQ(form.RefreshListButton->text(), QStringLiteral("Refresh List"));
  EXPECT_EQ(form.Label1->pos(), QPoint(184, 52));
  EXPECT_EQ(form.Label1->text(), QStringLiteral("Double-click to approve the discharge"));
  EXPECT_EQ(form.Label1->font().pixelSize(), 13);
  EXPECT_GE(form.Label1->width(), form.Label1->sizeHint().width());
  EXPECT_EQ(form.CasesListBox->geometry(), QRect(4, 72, 600, 513));
  EXPECT_EQ(form.CasesListBox->font().pixelSize(), 13);
  EXPECT_EQ(form.CasesListBox->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_FALSE(form.CasesListBox->isSortingEnabled());
  EXPECT_EQ(TabChain(form.RefreshListButton, 2),
            (std::vector<QWidget*>{form.RefreshListButton, form.CasesListBox}));
  form.show();
  EXPECT_GE(form.width(), 604);
  EXPECT_GE(form.height(), 585);
}

struct RefreshCase {
  const char* name;
  const char* answer;
  std::vector<ShownMessage> messages;
  std::vector<std::string> keys;
};

void PrintTo(const RefreshCase& row, std::ostream* out) { *out << row.name; }

class TForm1RefreshTest : public TForm1Test, public ::testing::WithParamInterface<RefreshCase> {};

// After a refresh that listed two cases, a second refresh shows what its answer says and
// nothing of the first.
TEST_P(TForm1RefreshTest, SecondRefreshShowsOnlyItsAnswer) {
  UseFunctionServer({kTwoCases, GetParam().answer});
  form1_->RefreshListButtonClick();
  ASSERT_EQ(ListedKeys(), (std::vector<std::string>{"1", "2"}));
  form1_->RefreshListButtonClick();
  EXPECT_EQ(messages_.Shown(), GetParam().messages);
  EXPECT_EQ(ListedKeys(), GetParam().keys);
  const std::string request = "{ServerCommand:getdoctorcases,DoctorSeq:17}";
  EXPECT_EQ(function_server_.Received(0), request + '\0' + request + '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TForm1RefreshTest,
    ::testing::Values(
        RefreshCase{"Error",
                    R"({"Error":"Unknown physician"})",
                    {{"Unknown physician", "Problem getting case list", MessageButtons::Ok}},
                    {}},
        RefreshCase{"NoCases",
                    R"({"NoCases":"You have no open cases."})",
                    {{"You have no open cases.", "No Cases", MessageButtons::Ok}},
                    {}},
        RefreshCase{"ErrorBeforeNoCases",
                    R"({"NoCases":"none","Error":"down"})",
                    {{"down", "Problem getting case list", MessageButtons::Ok}},
                    {}},
        RefreshCase{"EmptyObject", "{}", {}, {}},
        RefreshCase{"EmptyCaseList", R"({"CaseList":{}})", {}, {}},
        RefreshCase{"CaseListNotAnObject", R"({"CaseList":[1,2]})", {}, {}},
        RefreshCase{
            "AnswerOrderKept", R"({"CaseList":{"30":{},"4":{},"17":{}}})", {}, {"30", "4", "17"}}),
    RowName());

// Two refreshes with the same answer show the same list, without leftovers.
TEST_F(TForm1Test, SameAnswerTwiceGivesTheSameList) {
  const std::string answer =
      R"({"CaseList":{"5":{"NeedsList":{"1":{}}},"3":{},"8":{"FieldList":{"pa10":"X"}}}})";
  UseFunctionServer({answer, answer});
  form1_->RefreshListButtonClick();
  const std::vector<std::string> first = ListedKeys();
  form1_->RefreshListButtonClick();
  EXPECT_EQ(ListedKeys(), first);
  EXPECT_EQ(first, (std::vector<std::string>{"5", "3", "8"}));
  EXPECT_TRUE(messages_.Shown().empty());
}

// A request that cannot be sent is reported, and the previous answer is not listed again.
TEST_F(TForm1Test, FailedExchangeLeavesTheListEmpty) {
  UseFunctionServer({kTwoCases});  // then the server ends the connection
  form1_->RefreshListButtonClick();
  ASSERT_EQ(ListedKeys().size(), 2u);
  ASSERT_TRUE(WaitUntil([this] { return function_server_.Received(0).size() > 0; }));
  HandleEventsFor(100);
  form1_->RefreshListButtonClick();
  ASSERT_EQ(messages_.Shown().size(), 1u);
  EXPECT_EQ(messages_.Shown()[0].caption, "Problem getting case list");
  EXPECT_EQ(messages_.Shown()[0].text, "Unable to get the case list from the function server.");
  EXPECT_TRUE(ListedKeys().empty());
}

// A double-click with nothing selected asks nothing and sends nothing.
TEST_F(TForm1Test, DoubleClickOnEmptyListDoesNothing) {
  UseFunctionServer({"{}"});
  form1_->RefreshListButtonClick();
  form1_->CasesListBoxDblClick();
  EXPECT_TRUE(messages_.Shown().empty());
}

// The question's caption is the title, a single blank when both name parts are empty;
// Cancel sends nothing and puts the focus on "Refresh List".
TEST_F(TForm1Test, CancelSendsNothing) {
  UseFunctionServer({R"({"CaseList":{"9":{},"10":{"FieldList":{"pa10":"Anna","pa12":"Weber"}}}})"});
  form1_->RefreshListButtonClick();
  form1_->show();
  form1_->CasesListBox->setFocus();
  for (int row : {0, 1}) {
    form1_->CasesListBox->setCurrentRow(row);
    messages_.AnswerNext(MessageAnswer::Cancel);
    form1_->CasesListBoxDblClick();
    EXPECT_EQ(form1_->focusWidget(), form1_->RefreshListButton);
  }
  EXPECT_EQ(messages_.Shown(),
            (std::vector<ShownMessage>{
                {"Approve this discharge?", " ", MessageButtons::OkCancel},
                {"Approve this discharge?", "Anna Weber", MessageButtons::OkCancel}}));
  EXPECT_EQ(ListedKeys(), (std::vector<std::string>{"9", "10"}));
}

// Closing the case list window closes the hidden login window, which ends the program.
TEST_F(TForm1Test, ClosingEndsTheProgram) {
  BuildWindows();
  form1_->show();
  ASSERT_FALSE(HospApplication::Terminated());
  form1_->close();
  EXPECT_TRUE(HospApplication::Terminated());
  EXPECT_FALSE(login_->isVisible());
}

// Against the reference servers, logged in as a physician with several cases.
class TForm1ApprovalTest : public TForm1Test {
 protected:
  void SetUp() override {
    TForm1Test::SetUp();
    BuildWindows();
    ASSERT_TRUE(
        ShowLoginWindow(std::to_string(hospd_.DataPort()), std::to_string(hospd_.FunctionPort())));
  }

  // Logs in and keeps only the messages that come after.
  void LogInAs(const std::string& email) {
    LogIn(email, "demo");
    ASSERT_TRUE(form1_->isVisible());
    messages_.Forget();
  }

  std::string ApprovalMark(const std::string& case_key) const {
    return SqlValue(hospd_.DatabasePath(), "SELECT f25 FROM Cases WHERE Seq = " + case_key + ";");
  }

  int Height(int index) const {
    return form1_->CasesListBox->visualItemRect(form1_->CasesListBox->item(index)).height();
  }

  HospdProcess hospd_;
};

// OK writes "f25" = "Y" into the case's record and takes the entry off; the next entry
// moves into its place with its own height.
TEST_F(TForm1ApprovalTest, OkApprovesAndRemovesTheCase) {
  ASSERT_NO_FATAL_FAILURE(LogInAs("anna.weber@hospital.example"));
  ASSERT_GE(form1_->CaseObjects.size(), 3u);
  const std::vector<std::string> before = ListedKeys();
  const std::string title = form1_->CaseObjects[1]->Title();
  const std::size_t next_needs = form1_->CaseObjects[2]->Needs.size();
  form1_->CasesListBox->setCurrentRow(1);
  ASSERT_NE(ApprovalMark(before[1]), "Y");
  form1_->CasesListBoxDblClick();

  EXPECT_EQ(
      messages_.Shown(),
      (std::vector<ShownMessage>{{"Approve this discharge?", title, MessageButtons::OkCancel}}));
  EXPECT_EQ(ApprovalMark(before[1]), "Y");
  std::vector<std::string> expected = before;
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(ListedKeys(), expected);
  EXPECT_TRUE(form1_->CasesListBox->selectedItems().isEmpty());
  HandleEventsFor(50);
  EXPECT_EQ(Height(1), 16 * std::max<int>(2, static_cast<int>(next_needs) + 1) + 60);
  // The next refresh no longer lists the approved case.
  form1_->RefreshListButtonClick();
  EXPECT_EQ(ListedKeys(), expected);
}

// Cancel leaves the record alone.
TEST_F(TForm1ApprovalTest, CancelLeavesTheRecordAlone) {
  ASSERT_NO_FATAL_FAILURE(LogInAs("anna.weber@hospital.example"));
  const std::vector<std::string> before = ListedKeys();
  const std::string mark = ApprovalMark(before[0]);
  form1_->CasesListBox->setCurrentRow(0);
  messages_.AnswerNext(MessageAnswer::Cancel);
  form1_->CasesListBoxDblClick();
  EXPECT_EQ(ApprovalMark(before[0]), mark);
  EXPECT_EQ(ListedKeys(), before);
}

// When the data server is gone, the failure is reported and the case stays, selected.
TEST_F(TForm1ApprovalTest, FailedUpdateKeepsTheCase) {
  ASSERT_NO_FATAL_FAILURE(LogInAs("anna.weber@hospital.example"));
  const std::vector<std::string> before = ListedKeys();
  form1_->CasesListBox->setCurrentRow(0);
  ASSERT_EQ(hospd_.Stop(), 0);
  form1_->CasesListBoxDblClick();
  ASSERT_EQ(messages_.Shown().size(), 2u);
  EXPECT_EQ(messages_.Shown()[1], (ShownMessage{"Could not update the case.", "Communication error",
                                                MessageButtons::Ok}));
  EXPECT_EQ(ListedKeys(), before);
  EXPECT_EQ(form1_->CasesListBox->currentRow(), 0);
  EXPECT_TRUE(form1_->CasesListBox->item(0)->isSelected());
}

// Approving every case, the last one included, empties the list without a message.
TEST_F(TForm1ApprovalTest, ApprovingTheLastCaseLeavesAnEmptyList) {
  ASSERT_NO_FATAL_FAILURE(LogInAs("lukas.brenner@hospital.example"));
  const std::vector<std::string> keys = ListedKeys();
  ASSERT_FALSE(keys.empty());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    form1_->CasesListBox->setCurrentRow(0);
    form1_->CasesListBoxDblClick();
  }
  EXPECT_TRUE(ListedKeys().empty());
  EXPECT_EQ(messages_.Shown().size(), keys.size());  // the questions only
  for (const std::string& key : keys) EXPECT_EQ(ApprovalMark(key), "Y") << "case " << key;
}

}  // namespace
