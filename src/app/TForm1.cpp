// The case list window: the physician's open cases, their drawing and their approval.
#include "TForm1.h"

#include <algorithm>
#include <utility>

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include "AppFonts.h"
#include "CaseListAccessible.h"
#include "CaseListDelegate.h"
#include "CaseListReader.h"
#include "ControlPlacement.h"
#include "FramePlacement.h"
#include "IdleWatch.h"
#include "LockPanel.h"
#include "MessageBox.h"
#include "ProgramState.h"
#include "QtText.h"
#include "RequestInFlight.h"
#include "cJSON.h"

namespace {

constexpr int kCaseRole = Qt::UserRole;  // the item's attached case object
constexpr QSize kOuterSize(616, 616);    // frame included

// Drawing constants of an entry, in pixels.
constexpr int kLine2Offset = 15;
constexpr int kLine3Offset = 20;  // below line 2
constexpr int kNeedLineStep = 15;
constexpr int kDateIndent = 80;
constexpr int kNeedsIndent = 40;
constexpr int kRightMargin = 3;
constexpr int kExtraHeight = 60;
constexpr int kMarkIndent = 4;  // the new case's marker, left of the date label

constexpr const char* kDateLabel = "Discharge date: ";
constexpr const char* kCaseLabel = "Case: ";
constexpr const char* kNeedsHeading = "The following discharge needs have all been arranged:";
constexpr const char* kNoNeeds = "No Needs";
constexpr const char* kNewMark = "New";

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kGreen(0, 128, 0);
const QColor kBlue(0, 0, 255);

// Texts on one entry: drawn at a point that is their top-left corner (left-aligned) or
// their top-right corner (right-aligned), in the list box's font, bold or regular.
class EntryCanvas {
 public:
  EntryCanvas(QPainter& painter, const QFont& font) : painter_(painter), font_(font) {}

  int Width(const std::string& text, bool bold) {
    return QFontMetrics(Font(bold)).horizontalAdvance(ToQString(text));
  }
  void Left(int x, int y, const std::string& text, bool bold) {
    painter_.setFont(Font(bold));
    painter_.drawText(QPoint(x, y + painter_.fontMetrics().ascent()), ToQString(text));
  }
  // Returns the width of the text drawn.
  int Right(int x, int y, const std::string& text, bool bold) {
    const int width = Width(text, bold);
    Left(x - width, y, text, bold);
    return width;
  }
  void Colour(const QColor& colour) { painter_.setPen(colour); }

 private:
  QFont Font(bool bold) const {
    QFont font = font_;
    font.setBold(bold);
    return font;
  }

  QPainter& painter_;
  QFont font_;
};

// The need's line: the first of "pd12", "pc12" and "pt11" that is not empty.
std::string NeedLine(const StringListObjectClass& need) {
  for (const char* name : {"pd12", "pc12", "pt11"}) {
    std::string value = need.Fields.Value(name);
    if (!value.empty()) return value;
  }
  return {};
}

// The texts an entry draws, prepared once for the drawing and for the screen reader.
struct EntryTexts {
  std::string title;
  std::string side;
  std::string date;
  std::string number;
  std::vector<std::string> needs;  // one line per need, in order
};

EntryTexts TextsOf(const ListBoxObjectClass& item) {
  EntryTexts texts{item.Title(),
                   item.Fields.Value("ho10"),
                   TForm1::FormatCaseDate(item.Fields.Value("f13")),
                   item.Fields.Value("f22"),
                   {}};
  if (texts.number.empty()) texts.number = item.CaseKey;
  for (const NeedEntry& need : item.Needs) texts.needs.push_back(NeedLine(*need.Object));
  return texts;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The pieces one after the other, as a sentence: ", " between them, a blank after a colon.
// Pieces that draw nothing are left out.
std::string Spoken(const std::vector<std::string>& pieces) {
  std::string text;
  for (const std::string& piece : pieces) {
    const std::string trimmed = Trimmed(piece);
    if (trimmed.empty()) continue;
    if (!text.empty()) text += text.back() == ':' ? " " : ", ";
    text += trimmed;
  }
  return text;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Physician Approval App"));
  setFont(AppFont(11));
  InstallCaseListAccessibility();
  BuildControls();
  idle_watch_ = new IdleWatch(this);
  refresh_timer_ = new QTimer(this);
  refresh_timer_->setSingleShot(true);
  connect(refresh_timer_, &QTimer::timeout, this, &TForm1::TimedRefresh);
  new FramePlacement(this, kOuterSize);
}

TForm1::~TForm1() { ClearCaseList(); }

void TForm1::BuildControls() {
  DoctorNameLabel = new QLabel(this);
  DoctorNameLabel->setTextFormat(Qt::PlainText);  // the name comes from the server
  DoctorNameLabel->setFont(AppFont(24));
  DoctorNameLabel->setGeometry(8, 4, 196, 29);

  RefreshListButton = new QPushButton(QStringLiteral("Refresh List"), this);
  RefreshListButton->setGeometry(8, 40, 75, 25);
  connect(RefreshListButton, &QPushButton::clicked, this, [this] { RefreshListButtonClick(); });

  Label1 = new QLabel(QStringLiteral("Double-click to approve the discharge"), this);
  Label1->setFont(AppFont(13));
  PlaceLabel(Label1, QRect(184, 52, 227, 16));

  BuildCasesListBox();
  setTabOrder(RefreshListButton, CasesListBox);
  BuildLockPanel();
}

// It covers the list box, and is shown only while the window is locked.
void TForm1::BuildLockPanel() {
  CaseLockPanel = new LockPanel(this);
  CaseLockPanel->setGeometry(CasesListBox->geometry());
  connect(CaseLockPanel->UnlockButton, &QPushButton::clicked, this, &TForm1::UnlockButtonClick);
  connect(CaseLockPanel->SomeoneElseButton, &QPushButton::clicked, this,
          &TForm1::SomeoneElseButtonClick);
}

void TForm1::BuildCasesListBox() {
  CasesListBox = new QListWidget(this);
  CasesListBox->setObjectName(QLatin1String(kCasesListBoxName));
  CasesListBox->setAccessibleName(QStringLiteral("Open cases"));
  CasesListBox->setGeometry(4, 72, 600, 513);
  CasesListBox->setFont(AppFont(13));
  CasesListBox->setSelectionMode(QAbstractItemView::SingleSelection);
  CasesListBox->setSortingEnabled(false);
  CasesListBox->setUniformItemSizes(false);
  CasesListBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  CasesListBox->setItemDelegate(new CaseListDelegate(this, CasesListBox));
  connect(CasesListBox, &QListWidget::itemClicked, this, [this] { CasesListBoxClick(); });
  connect(CasesListBox, &QListWidget::itemDoubleClicked, this, [this] { CasesListBoxDblClick(); });
  connect(CasesListBox, &QListWidget::currentItemChanged, this,
          [this](QListWidgetItem* current) { CaseSeen(current); });
  CasesListBox->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == CasesListBox && event->type() == QEvent::KeyPress &&
      CasesListBoxKeyDown(static_cast<QKeyEvent*>(event))) {
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  FormClose();
}

void TForm1::FormClose() { emit Closed(); }

void TForm1::RefreshListButtonClick() {
  if (RequestInFlight::Active()) return;  // one request at a time
  cJSON document;
  document.SetValue("ServerCommand", "getdoctorcases");
  document.SetValue("DoctorSeq", DoctorSeq);
  if (FunctionConnection != nullptr && !FunctionConnection->Session.empty()) {
    document.SetValue("Session", FunctionConnection->Session);
  }
  const RequestOutcome outcome =
      RequestInFlight::Run(FunctionConnection, "Problem getting case list", [&document] {
        return FunctionConnection != nullptr &&
               FunctionConnection->ExchangeText(document.GetText());
      });
  if (outcome == RequestOutcome::TimedOut) return;
  // Whatever follows, the old cases go; they stayed listed only while the request waited.
  // They go before a failure's box appears, which is why Run is given no text for it.
  ClearCaseList();
  // An exchange that failed leaves the previous answer behind: it must not be listed
  // again, it may hold cases that were approved since.
  if (outcome == RequestOutcome::Failed) {
    MessageBox::Show("Unable to get the case list from the function server.",
                     "Problem getting case list");
    return;
  }
  document.Parse(FunctionConnection->AnswerText);
  ShowCaseAnswer(document);
}

void TForm1::ShowCaseAnswer(cJSON& answer) {
  if (const std::string error = answer.GetValue("Error"); !error.empty()) {
    MessageBox::Show(error, "Problem getting case list");
    return;
  }
  if (const std::string none = answer.GetValue("NoCases"); !none.empty()) {
    // The list's own refresh does not say again every few minutes that there are none.
    const bool said_before = timed_refresh_ && listed_once_ && known_keys_.empty();
    if (!said_before) MessageBox::Show(none, "No Cases");
    MarkNewCases();
    return;
  }
  const int first = CasesListBox->count();
  QStringList keys;
  WalkCaseList(
      answer,
      [this, &keys](std::unique_ptr<ListBoxObjectClass> item) {
        keys.push_back(ToQString(item->CaseKey));
        AddCase(std::move(item));
      },
      WalkedCases::Released, WalkThreads::Two);
  ListAddedCases(first, keys);
  MarkNewCases();
}

// The case goes into CaseObjects, in list order; its entry follows with the others.
void TForm1::AddCase(std::unique_ptr<ListBoxObjectClass> item) {
  entry_heights_.push_back(EntryHeight(item->Needs.size()));
  CaseObjects.push_back(std::move(item));
}

// One insertion for all the cases of an answer: entry by entry, the list box would announce each
// one and plan its layout again. Each entry then gets its case attached without a notice of
// changed data, since nothing has shown or read the new entries yet.
void TForm1::ListAddedCases(int first, const QStringList& keys) {
  CasesListBox->addItems(keys);
  const QSignalBlocker quiet(CasesListBox->model());
  for (int row = first; row < CasesListBox->count(); ++row) {
    CasesListBox->item(row)->setData(
        kCaseRole,
        QVariant::fromValue(static_cast<void*>(CaseObjects[static_cast<std::size_t>(row)].get())));
  }
}

void TForm1::ClearCaseList() {
  CasesListBox->clear();  // no item may point to a released case
  CaseObjects.clear();
  entry_heights_.clear();
}

void TForm1::CasesListBoxMeasureItem(QListWidget* /*Control*/, int Index, int& Height) const {
  if (Index < 0 || Index >= static_cast<int>(entry_heights_.size())) return;
  Height = entry_heights_[static_cast<std::size_t>(Index)];
}

int TForm1::EntryHeight(std::size_t needs) {
  const int lines = static_cast<int>(std::max<std::size_t>(2, needs + 1));
  return kBaseItemHeight * lines + kExtraHeight;
}

void TForm1::CasesListBoxDrawItem(QListWidget* Control, int Index, QPainter& Canvas,
                                  const QRect& Rect, QStyle::State /*State*/) const {
  const ListBoxObjectClass* item = AttachedCase(Control, Index);
  if (item == nullptr) return;
  const EntryTexts texts = TextsOf(*item);
  const int left = Rect.left();
  const int top = Rect.top();
  const int right = Rect.left() + Rect.width();

  Canvas.save();
  Canvas.fillRect(Rect, kWhite);
  EntryCanvas entry(Canvas, Control->font());
  entry.Colour(kBlack);

  entry.Left(left, top, texts.title, true);
  entry.Right(right - kRightMargin, top, texts.side, true);

  const int line2 = top + kLine2Offset;
  const std::string label = kDateLabel;
  const int label_width = entry.Width(label, false);
  entry.Left(left + kDateIndent, line2, label, false);
  entry.Left(left + kDateIndent + label_width, line2, texts.date, true);
  const int number_width = entry.Right(right - kRightMargin, line2, texts.number, true);
  entry.Right(right - kRightMargin - number_width, line2, kCaseLabel, false);

  int line = line2 + kLine3Offset;
  if (texts.needs.empty()) {
    entry.Left(left + kNeedsIndent, line, kNoNeeds, false);
  } else {
    entry.Colour(kGreen);
    entry.Left(left + kNeedsIndent, line, kNeedsHeading, true);
    entry.Colour(kBlack);
    for (const std::string& need : texts.needs) {
      line += kNeedLineStep;
      entry.Left(left + kNeedsIndent, line, need, false);
    }
  }
  if (Control->item(Index)->data(kNewRole).toBool()) {
    entry.Colour(kBlue);
    entry.Left(left + kMarkIndent, line2, kNewMark, true);
  }
  Canvas.restore();
}

std::string TForm1::CasesListBoxEntryText(int Index) const {
  const ListBoxObjectClass* item = AttachedCase(CasesListBox, Index);
  if (item == nullptr) return {};
  const EntryTexts texts = TextsOf(*item);
  std::vector<std::string> pieces{texts.title, texts.side};
  if (IsNewCase(Index)) pieces.emplace_back(kNewMark);  // it stands left on line 2
  pieces.push_back(kDateLabel + texts.date);
  pieces.push_back(kCaseLabel + texts.number);
  if (texts.needs.empty()) {
    pieces.emplace_back(kNoNeeds);
  } else {
    pieces.emplace_back(kNeedsHeading);
    pieces.insert(pieces.end(), texts.needs.begin(), texts.needs.end());
  }
  return Spoken(pieces);
}

bool TForm1::IsNewCase(int Index) const {
  const QListWidgetItem* entry = CasesListBox->item(Index);
  return entry != nullptr && entry->data(kNewRole).toBool();
}

std::string TForm1::FormatCaseDate(const std::string& date) {
  if (date.find('/') != std::string::npos) return date;
  auto piece = [&date](std::size_t from, std::size_t count) {
    return from < date.size() ? date.substr(from, count) : std::string();
  };
  return piece(4, 2) + "/" + piece(6, 2) + "/" + piece(0, 4);
}

void TForm1::CasesListBoxClick() {}

void TForm1::CasesListBoxDblClick() {
  if (RequestInFlight::Active()) return;  // one request at a time
  const int index = SelectedIndex();
  if (index < 0) return;
  const ListBoxObjectClass* item = AttachedCase(CasesListBox, index);
  if (MessageBox::Show("Approve this discharge?", item->Title(), MessageButtons::OkCancel) !=
      MessageAnswer::Ok) {
    if (!locked_) RefreshListButton->setFocus();  // a lock answered it: the panel has the focus
    return;
  }
  NameValueList approval;
  approval.SetValue("f25", "Y");
  const RequestOutcome outcome = RequestInFlight::Run(
      DataConnection, "Communication error",
      [&] {
        return DataConnection != nullptr &&
               DataConnection->UpdateRecord("Cases", item->CaseKey, approval);
      },
      "Could not update the case.");
  if (outcome == RequestOutcome::Succeeded) RemoveCase(index);
}

bool TForm1::CasesListBoxKeyDown(QKeyEvent* key) {
  if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter && key->key() != Qt::Key_Space) {
    return false;
  }
  // A key held down repeats: only its first press may open the confirmation.
  if (key->isAutoRepeat()) return true;
  QListWidgetItem* focused = CasesListBox->currentItem();
  if (focused == nullptr) return true;
  // The focused case becomes the selected one, as under the first click of a double-click.
  CasesListBox->setCurrentItem(focused, QItemSelectionModel::ClearAndSelect);
  CasesListBoxDblClick();
  return true;
}

// The item and its case leave together, so that both lists keep the same cases in order.
void TForm1::RemoveCase(int index) {
  delete CasesListBox->takeItem(index);
  CaseObjects.erase(CaseObjects.begin() + index);
  entry_heights_.erase(entry_heights_.begin() + index);
  CasesListBox->clearSelection();
}

void TForm1::ApproveFromAction(const std::string& case_key) {
  if (locked_ || RequestInFlight::Active() || MessageBox::IsOpen()) return;
  const int row = RowOf(case_key);
  if (row < 0) return;  // gone with a refresh since the action was asked for
  CasesListBox->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
  CasesListBoxDblClick();
}

int TForm1::RowOf(const std::string& case_key) const {
  for (std::size_t i = 0; i < CaseObjects.size(); ++i) {
    if (CaseObjects[i]->CaseKey == case_key) return static_cast<int>(i);
  }
  return -1;
}

int TForm1::SelectedIndex() const {
  const QModelIndexList selected = CasesListBox->selectionModel()->selectedIndexes();
  return selected.isEmpty() ? -1 : selected.front().row();
}

ListBoxObjectClass* TForm1::AttachedCase(const QListWidget* list, int index) {
  const QListWidgetItem* entry = list->item(index);
  if (entry == nullptr) return nullptr;
  return static_cast<ListBoxObjectClass*>(entry->data(kCaseRole).value<void*>());
}
