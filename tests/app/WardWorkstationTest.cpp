// The client at a shared ward workstation, offscreen against the reference servers: the keys
// of section "Client", the idle lock and its unlock, the list's own refresh with its markers of
// new cases, and the case list as the accessibility layer shows it.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <QAccessible>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QTest>

#include "AppTestSupport.h"
#include "ClientSettings.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "LockPanel.h"
#include "TForm1.h"
#include "TLoginForm.h"
#include "TestFiles.h"
#include "cJSON.h"

namespace {

using std::chrono::milliseconds;

struct SettingsRow {
  const char* name;
  const char* minutes;                 // the key's value, nullptr: no key
  std::optional<std::string> seconds;  // the test variable
  long long expected_ms;
};

void PrintTo(const SettingsRow& row, std::ostream* out) { *out << row.name; }

class ClientSettingsTest : public ::testing::TestWithParam<SettingsRow> {};

// Whole minutes from 1 to a week turn a feature on; the test variable shortens only a key
// that is set. Each key reads its own variable.
TEST_P(ClientSettingsTest, ReadsWholeMinutesAndTheTestSeconds) {
  const SettingsRow& row = GetParam();
  for (const auto& [key, variable] : {std::pair{"LockAfterMinutes", "HOSP_LOCK_AFTER_SECONDS"},
                                      std::pair{"RefreshMinutes", "HOSP_REFRESH_SECONDS"}}) {
    const ScopedEnvironment lock_seconds("HOSP_LOCK_AFTER_SECONDS", std::nullopt);
    const ScopedEnvironment refresh_seconds("HOSP_REFRESH_SECONDS", std::nullopt);
    const ScopedEnvironment seconds(variable, row.seconds);
    IniFile ini;
    ini.Parse(std::string("[Client]\n") +
              (row.minutes != nullptr ? std::string(key) + "=" + row.minutes + "\n" : ""));
    const ClientSettings settings = ClientSettings::Read(ini);
    const bool lock = std::string(key) == "LockAfterMinutes";
    EXPECT_EQ((lock ? settings.LockAfter : settings.RefreshEvery).count(), row.expected_ms) << key;
    EXPECT_EQ((lock ? settings.RefreshEvery : settings.LockAfter).count(), 0) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, ClientSettingsTest,
                         ::testing::Values(SettingsRow{"NoKey", nullptr, std::nullopt, 0},
                                           SettingsRow{"FiveMinutes", "5", std::nullopt, 300000},
                                           SettingsRow{"AWeek", "10080", std::nullopt, 604800000},
                                           SettingsRow{"MoreThanAWeek", "10081", std::nullopt, 0},
                                           SettingsRow{"Zero", "0", std::nullopt, 0},
                                           SettingsRow{"Negative", "-3", std::nullopt, 0},
                                           SettingsRow{"Fraction", "1.5", std::nullopt, 0},
                                           SettingsRow{"Word", "five", std::nullopt, 0},
                                           SettingsRow{"TestSeconds", "5", "0.25", 250},
                                           SettingsRow{"TestSecondsWithoutKey", nullptr, "0.25", 0},
                                           SettingsRow{"TestSecondsUnreadable", "5", "soon",
                                                       300000}),
                         RowName());

// The accessible names of all objects below `iface`, the entries of lists included.
void CollectNames(QAccessibleInterface* iface, std::vector<std::string>& names) {
  if (iface == nullptr) return;
  names.push_back(iface->text(QAccessible::Name).toStdString());
  names.push_back(iface->text(QAccessible::Description).toStdString());
  for (int i = 0; i < iface->childCount(); ++i) CollectNames(iface->child(i), names);
}

// The list box as the accessibility layer shows it: entries named with what they draw, in
// drawing order (blank pieces left out), their position as description, "Press" first; an
// entry's interface goes with its item.
TEST(CaseListAccessibleTest, EntriesReadAsDrawnAndGoWithTheirItems) {
  AnsweredMessages messages;
  TForm1 form;
  cJSON answer(
      R"({"CaseList":{"a":{"FieldList":{"pa12":"Solo","f13":"20240131"}},)"
      R"("b":{"FieldList":{"pa10":"Doe","pa12":"Jane","ho10":"W1","f13":"01/02/2024","f22":"77"},)"
      R"("NeedsList":{"1":{"FieldList":{"pd12":"Walker"}},"2":{"FieldList":{"pc12":"Nurse"}},)"
      R"("3":{},"4":{"FieldList":{"pt11":"Kind"}}}}}})");
  form.ShowCaseAnswer(answer);
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(form.CasesListBox);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->role(), QAccessible::List);
  EXPECT_EQ(list->text(QAccessible::Name), QStringLiteral("Open cases"));
  ASSERT_EQ(list->childCount(), 2);

  const std::vector<std::string> names{
      "Solo, Discharge date: 01/31/2024, Case: a, No Needs",
      "Doe Jane, W1, Discharge date: 01/02/2024, Case: 77, The following discharge needs have "
      "all been arranged: Walker, Nurse, Kind"};
  std::vector<QAccessible::Id> ids;
  for (int i = 0; i < 2; ++i) {
    QAccessibleInterface* entry = list->child(i);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->role(), QAccessible::ListItem);
    EXPECT_EQ(entry->text(QAccessible::Name).toStdString(), names[static_cast<std::size_t>(i)]);
    EXPECT_EQ(entry->text(QAccessible::Description).toStdString(), std::to_string(i + 1) + " of 2");
    EXPECT_EQ(list->indexOfChild(entry), i);
    EXPECT_EQ(entry->parent(), list);
    ASSERT_NE(entry->actionInterface(), nullptr);
    EXPECT_EQ(entry->actionInterface()->actionNames().value(0),
              QAccessibleActionInterface::pressAction());
    EXPECT_EQ(list->child(i), entry) << "one interface per entry";
    ids.push_back(QAccessible::uniqueId(entry));
  }

  cJSON next(R"({"CaseList":{"c":{"FieldList":{"pa10":"Roe"}}}})");
  form.ClearCaseList();
  form.ShowCaseAnswer(next);
  for (QAccessible::Id id : ids) EXPECT_EQ(QAccessible::accessibleInterface(id), nullptr);
  ASSERT_EQ(list->childCount(), 1);
  EXPECT_EQ(list->child(0)->text(QAccessible::Name).toStdString(),
            "Roe, Discharge date: //, Case: c, No Needs");
}

// The cases' titles, as the entries draw them first.
std::vector<std::string> Titles(const TForm1& form) {
  std::vector<std::string> titles;
  for (const auto& item : form.CaseObjects) titles.push_back(item->Title());
  return titles;
}

void SaveWindow(QWidget& window, const std::string& name) {
  const std::filesystem::path path =
      std::filesystem::path(std::getenv("HOSP_BUILD_DIR")) / "tests" / "app" / name;
  EXPECT_TRUE(window.grab().save(QString::fromStdString(path.string()), "PNG")) << path;
}

class IdleLockTest : public ClientTest, public ::testing::WithParamInterface<bool> {
 protected:
  IdleLockTest()
      : server_(GetParam() ? std::vector<std::string>{"--server-login"}
                           : std::vector<std::string>{}) {}

  // Anna logged in with the idle lock (and the list's own refresh) at these times.
  void LogInAsAnna(milliseconds lock, milliseconds refresh, int timeout = -1) {
    BuildWindows();
    login_->SendPassword = GetParam();
    if (GetParam()) login_->Trust.DataServerIdentity.SetFingerprints(LoggedFingerprint(server_));
    login_->Client.LockAfter = lock;
    login_->Client.RefreshEvery = refresh;
    login_->FunctionServerTimeout = timeout;
    ASSERT_TRUE(ShowLoginWindow(std::to_string(server_.DataPort()),
                                std::to_string(server_.FunctionPort())));
    LogIn(kAnna, "demo");
    ASSERT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  }
  std::string Approved(const std::string& seq) {
    return SqlValue(server_.DatabasePath(), "SELECT f25 FROM Cases WHERE Seq=" + seq);
  }
  void Unlock(const std::string& password) {
    form1_->CaseLockPanel->PasswordEdit->setText(QString::fromStdString(password));
    QTest::keyClick(form1_->CaseLockPanel->PasswordEdit, Qt::Key_Return);
  }

  HospdProcess server_;
};

// The lock comes while the question is open: it is answered as Cancel, nothing is approved;
// no entry, no patient's name is left for the eye or the screen reader and nothing is fetched
// while locked. A wrong password is refused as at the login; the right one (checked as the
// login checks it, by the client or by the server) brings the list back where it was.
TEST_P(IdleLockTest, AnswersTheQuestionAndUnlocksWithThePassword) {
  LogInAsAnna(milliseconds(400), milliseconds(150));
  ASSERT_FALSE(HasFatalFailure());
  const std::vector<std::string> titles = Titles(*form1_);
  const std::string asked = form1_->CaseObjects[4]->CaseKey;
  MessageBox::SetHandler(nullptr);  // the real, modal box: the lock must close it
  form1_->CasesListBox->setCurrentRow(4);
  form1_->CasesListBoxDblClick();
  AnsweredMessages messages;
  ASSERT_TRUE(form1_->Locked());
  EXPECT_TRUE(Approved(asked).empty()) << "approved although the lock answered";
  EXPECT_TRUE(form1_->CaseObjects.empty());
  EXPECT_FALSE(form1_->CasesListBox->isVisible());
  EXPECT_FALSE(form1_->RefreshListButton->isVisible());
  EXPECT_TRUE(form1_->CaseLockPanel->isVisible());
  EXPECT_EQ(form1_->CaseLockPanel->Message->text().toStdString(),
            "Locked: enter the password of Dr. Anna Weber to continue");
  HandleEventsFor(600);  // several refresh periods
  EXPECT_TRUE(form1_->CaseObjects.empty()) << "refreshed while locked";
  std::vector<std::string> names;
  CollectNames(QAccessible::queryAccessibleInterface(form1_.get()), names);
  for (const std::string& name : names) {
    for (const std::string& title : titles) EXPECT_EQ(name.find(title), std::string::npos) << name;
  }
  SaveWindow(*form1_, "window-locked.png");

  Unlock("Demo");
  EXPECT_EQ(messages.Shown(),
            (std::vector<ShownMessage>{{"Invalid login", "Error", MessageButtons::Ok}}));
  EXPECT_TRUE(form1_->Locked());
  EXPECT_FALSE(HospApplication::Terminated());
  EXPECT_TRUE(form1_->CaseLockPanel->PasswordEdit->text().isEmpty());

  Unlock("demo");
  EXPECT_FALSE(form1_->Locked());
  EXPECT_EQ(messages.Shown().size(), 1u);
  EXPECT_TRUE(form1_->CasesListBox->isVisible());
  EXPECT_FALSE(form1_->CaseLockPanel->isVisible());
  ASSERT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  ASSERT_NE(form1_->CasesListBox->currentItem(), nullptr);
  EXPECT_EQ(form1_->CasesListBox->currentItem()->text().toStdString(), asked);
}

// A request that waits for its server holds the lock off: it comes only after the request.
TEST_P(IdleLockTest, NoLockWhileARequestWaits) {
  LogInAsAnna(milliseconds(300), milliseconds(0), 2);
  ASSERT_FALSE(HasFatalFailure());
  server_.Pause();
  form1_->RefreshListButtonClick();  // waits 2 seconds, then tells of the time-out
  server_.Resume();
  EXPECT_FALSE(form1_->Locked());
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  EXPECT_TRUE(WaitUntil([this] { return form1_->Locked(); }, 3000));
}

// "Log in as someone else" discards the list and offers the login window, empty, to the next
// physician, whose own list then shows.
TEST_P(IdleLockTest, SomeoneElseLogsIn) {
  LogInAsAnna(milliseconds(100), milliseconds(0));
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(WaitUntil([this] { return form1_->Locked(); }, 3000));
  form1_->CaseLockPanel->SomeoneElseButton->click();
  EXPECT_FALSE(form1_->isVisible());
  EXPECT_TRUE(form1_->CaseObjects.empty());
  EXPECT_TRUE(login_->isVisible());
  EXPECT_TRUE(login_->UserEdit->isVisible());
  EXPECT_TRUE(login_->UserEdit->text().isEmpty());
  EXPECT_TRUE(login_->PasswordEdit->text().isEmpty());
  EXPECT_FALSE(login_->ConnectingLabel->isVisible());

  LogIn("lukas.brenner@hospital.example", "demo");
  EXPECT_TRUE(form1_->isVisible());
  EXPECT_FALSE(form1_->Locked());
  EXPECT_EQ(form1_->CaseObjects.size(), 8u);
  EXPECT_EQ(form1_->DoctorNameLabel->text(), QStringLiteral("Dr. Lukas Brenner"));
}

INSTANTIATE_TEST_SUITE_P(Servers, IdleLockTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "ServerLogin" : "ClientCompares";
                         });

class TimedRefreshTest : public DemoServerTest {
 protected:
  // Entry `index` as it is painted.
  QImage Render(int index) {
    int height = TForm1::kBaseItemHeight;
    form1_->CasesListBoxMeasureItem(form1_->CasesListBox, index, height);
    QImage image(580, height, QImage::Format_RGB32);
    QPainter painter(&image);
    form1_->CasesListBoxDrawItem(form1_->CasesListBox, index, painter, image.rect(),
                                 QStyle::State_None);
    return image;
  }
  int Row(const std::string& key) {
    for (std::size_t i = 0; i < form1_->CaseObjects.size(); ++i) {
      if (form1_->CaseObjects[i]->CaseKey == key) return static_cast<int>(i);
    }
    return -1;
  }
  // A new open case of Anna's, discharged before all others, so that it is listed first.
  void PublishCase() {
    WriteSql(
        "INSERT INTO Cases (Seq, DoctorSeq, pa10, pa12, ho10, f13, f22) VALUES (6001, 1001, "
        "'Neumann', 'Greta', '3B-14', '20000101', '25009999');");
  }
  void WriteSql(const std::string& statement) {
    RunProgram("sqlite3", {server_.DatabasePath(), statement});
  }
};

// The list's own refresh keeps the focused case and the entry at the top of the view; the
// case that came with it, and only that one, carries the marker, which leaves the drawing of
// every other entry as it was and goes once the case has had the focus.
TEST_F(TimedRefreshTest, KeepsThePlaceAndMarksOnlyTheNewCase) {
  Start();
  ASSERT_FALSE(HasFatalFailure());
  login_->Client.RefreshEvery = std::chrono::minutes(1);
  LogIn(kAnna, "demo");
  ASSERT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  QListWidget* list = form1_->CasesListBox;
  list->setCurrentRow(6);
  list->scrollToItem(list->item(3), QAbstractItemView::PositionAtTop);
  const std::string current = form1_->CaseObjects[6]->CaseKey;
  const std::string top = form1_->CaseObjects[list->indexAt(QPoint(1, 1)).row()]->CaseKey;
  const std::string gone = form1_->CaseObjects[8]->CaseKey;
  std::vector<std::pair<std::string, QImage>> before;
  for (std::size_t i = 0; i < kAnnasCases; ++i) {
    before.emplace_back(form1_->CaseObjects[i]->CaseKey, Render(static_cast<int>(i)));
  }

  PublishCase();
  WriteSql("UPDATE Cases SET f25='Y' WHERE Seq=" + gone + ";");
  form1_->TimedRefresh();
  ASSERT_TRUE(messages_.Shown().empty());
  ASSERT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  ASSERT_EQ(Row("6001"), 0);
  for (int i = 0; i < static_cast<int>(kAnnasCases); ++i) {
    EXPECT_EQ(form1_->IsNewCase(i), i == 0) << i;
  }
  ASSERT_NE(list->currentItem(), nullptr);
  EXPECT_EQ(list->currentItem()->text().toStdString(), current);
  EXPECT_EQ(form1_->CaseObjects[list->indexAt(QPoint(1, 1)).row()]->CaseKey, top);
  for (const auto& [key, image] : before) {
    if (key == gone) continue;
    EXPECT_EQ(Render(Row(key)), image) << "entry " << key << " drawn otherwise";
  }
  EXPECT_NE(form1_->CasesListBoxEntryText(0).find("Greta, 3B-14, New, Discharge"),
            std::string::npos);
  list->scrollToTop();
  SaveWindow(*form1_, "window-new-case.png");

  const QImage marked = Render(0);
  list->setCurrentRow(0);
  EXPECT_FALSE(form1_->IsNewCase(0));
  const QImage seen = Render(0);
  QRect changed;
  for (int y = 0; y < seen.height(); ++y) {
    for (int x = 0; x < seen.width(); ++x) {
      if (seen.pixel(x, y) != marked.pixel(x, y)) changed |= QRect(x, y, 1, 1);
    }
  }
  EXPECT_FALSE(changed.isEmpty());
  EXPECT_TRUE(QRect(4, 15, 76, 20).contains(changed)) << "the marker reaches beyond its place";
  form1_->TimedRefresh();
  EXPECT_FALSE(form1_->IsNewCase(Row("6001"))) << "marked again once seen";
}

// Without RefreshMinutes a refresh marks nothing.
TEST_F(TimedRefreshTest, WithoutTheKeyNothingIsMarked) {
  LogInAsAnna();
  ASSERT_FALSE(HasFatalFailure());
  PublishCase();
  form1_->RefreshListButtonClick();
  ASSERT_EQ(Row("6001"), 0);
  for (int i = 0; i < form1_->CasesListBox->count(); ++i) EXPECT_FALSE(form1_->IsNewCase(i));
}

}  // namespace
