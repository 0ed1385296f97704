// The case list's entries measured and painted: heights, positions, colours and styles,
// checked on the pixels of entries rendered into images.
#include <string>

#include <QAbstractItemDelegate>
#include <QFontMetrics>
#include <QImage>
#include <QListWidget>
#include <QPainter>
#include <QStyleOptionViewItem>

#include "AppTestSupport.h"
#include "TForm1.h"
#include "cJSON.h"

namespace {

constexpr int kWidth = 580;
constexpr int kRight = kWidth - 3;  // right-aligned texts end here
const QRgb kMagenta = qRgb(255, 0, 255);

bool IsWhite(QRgb pixel) { return pixel == qRgb(255, 255, 255); }
bool IsGreenish(QRgb pixel) {
  return qGreen(pixel) > qRed(pixel) + 60 && qGreen(pixel) > qBlue(pixel) + 60;
}

// The smallest rectangle holding every pixel that is not white in rows [top, bottom)
// and columns [left, right); empty when there is none.
QRect InkBounds(const QImage& image, int top, int bottom, int left = 0, int right = kWidth) {
  QRect bounds;
  for (int y = top; y < bottom && y < image.height(); ++y) {
    for (int x = left; x < right; ++x) {
      if (!IsWhite(image.pixel(x, y))) bounds |= QRect(x, y, 1, 1);
    }
  }
  return bounds;
}

int CountPixels(const QImage& image, int top, int bottom, const std::function<bool(QRgb)>& match) {
  int count = 0;
  for (int y = top; y < bottom && y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += match(image.pixel(x, y)) ? 1 : 0;
  }
  return count;
}

class CaseListDrawingTest : public ::testing::Test {
 protected:
  // Lists the cases of an answer text as a refresh would.
  void List(const std::string& answer_text) {
    cJSON answer(answer_text);
    form_.ShowCaseAnswer(answer);
  }

  int Height(int index) {
    int height = TForm1::kBaseItemHeight;
    form_.CasesListBoxMeasureItem(form_.CasesListBox, index, height);
    return height;
  }

  // Entry `index` painted on magenta, so that an unpainted pixel shows.
  QImage Render(int index, QStyle::State state = QStyle::State_None) {
    QImage image(kWidth, Height(index), QImage::Format_RGB32);
    image.fill(kMagenta);
    QPainter painter(&image);
    form_.CasesListBoxDrawItem(form_.CasesListBox, index, painter, image.rect(), state);
    return image;
  }

  // Entry `index` painted by the list box's delegate.
  QImage RenderByDelegate(int index, QStyle::State state) {
    QImage image(kWidth, Height(index), QImage::Format_RGB32);
    image.fill(kMagenta);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = image.rect();
    option.state = state;
    const QModelIndex model_index = form_.CasesListBox->model()->index(index, 0);
    form_.CasesListBox->itemDelegate()->paint(&painter, option, model_index);
    return image;
  }

  int TextWidth(const std::string& text, bool bold) {
    QFont font = form_.CasesListBox->font();
    font.setBold(bold);
    return QFontMetrics(font).horizontalAdvance(QString::fromStdString(text));
  }

  AnsweredMessages messages_;
  TForm1 form_;
};

// The height is 16 times the larger of 2 and needs + 1, plus 60.
TEST_F(CaseListDrawingTest, HeightFollowsTheNumberOfNeeds) {
  List(R"({"CaseList":{"a":{},"b":{"NeedsList":{"1":{}}}, "c":{"NeedsList":{"1":{},"2":{}}},)"
       R"("d":{"NeedsList":{"1":{},"2":{},"3":{}}},)"
       R"("e":{"NeedsList":{"1":{},"2":{},"3":{},"4":{},"5":{}}}}})");
  const int expected[] = {92, 92, 108, 124, 156};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Height(i), expected[i]) << "entry " << i;
  EXPECT_EQ(Height(5), TForm1::kBaseItemHeight);  // no case there: the height stays
  EXPECT_EQ(Height(-1), TForm1::kBaseItemHeight);
}

// A case without needs: white background over the whole entry and "No Needs" at T + 35.
TEST_F(CaseListDrawingTest, CaseWithoutNeedsShowsNoNeeds) {
  List(R"({"CaseList":{"1":{"FieldList":{"pa10":"Anna","pa12":"Weber","f13":"20240131"}}}})");
  const QImage image = Render(0);
  EXPECT_EQ(CountPixels(image, 0, image.height(), [](QRgb p) { return p == kMagenta; }), 0);
  EXPECT_EQ(CountPixels(image, 0, image.height(), IsGreenish), 0);
  const QRect no_needs = InkBounds(image, 35, 50);
  ASSERT_FALSE(no_needs.isEmpty());
  EXPECT_GE(no_needs.left(), 40);
  EXPECT_LE(no_needs.left(), 42);
  EXPECT_LE(no_needs.right(), 40 + TextWidth("No Needs", false));
  EXPECT_TRUE(InkBounds(image, 50, image.height()).isEmpty());
}

// The needs heading is green and bold at T + 35; each need is a black line 15 below the last.
TEST_F(CaseListDrawingTest, NeedsUnderAGreenHeading) {
  List(R"({"CaseList":{"1":{"FieldList":{"pa10":"A","pa12":"B"},"NeedsList":{)"
       R"("1":{"FieldList":{"pd12":"Walker"}},"2":{"FieldList":{"pd12":"Wheelchair"}}}}}})");
  const QImage image = Render(0);
  ASSERT_EQ(image.height(), 108);
  EXPECT_GT(CountPixels(image, 35, 50, [](QRgb p) { return p == qRgb(0, 128, 0); }), 0);
  EXPECT_EQ(CountPixels(image, 0, 35, IsGreenish), 0);
  EXPECT_EQ(CountPixels(image, 50, image.height(), IsGreenish), 0);
  const QRect heading = InkBounds(image, 35, 50);
  EXPECT_GE(heading.left(), 40);
  EXPECT_LE(heading.left(), 42);
  EXPECT_NEAR(heading.right(),
              40 + TextWidth("The following discharge needs have all been arranged:", true), 2);
  for (int band : {50, 65}) {
    const QRect need = InkBounds(image, band, band + 15);
    EXPECT_FALSE(need.isEmpty()) << "need line at " << band;
    EXPECT_GE(need.left(), 40);
    EXPECT_GT(CountPixels(image, band, band + 15, [](QRgb p) { return p == qRgb(0, 0, 0); }), 0);
  }
}

// A need's line is "pd12", else "pc12", else "pt11"; an all-empty need still takes its line.
TEST_F(CaseListDrawingTest, NeedLineFallsBackAndEmptyNeedKeepsItsLine) {
  List(
      R"({"CaseList":{"1":{"NeedsList":{"1":{"FieldList":{"pc12":"Home care"}},)"
      R"("2":{"FieldList":{"pd12":"","pc12":"","pt11":""}},"3":{"FieldList":{"pt11":"ordered"}}}},)"
      R"("2":{"NeedsList":{"1":{"FieldList":{"pd12":"Home care","pc12":"X","pt11":"Y"}},)"
      R"("2":{},"3":{"FieldList":{"pd12":"ordered"}}}}}})");
  const QImage fallback = Render(0);
  const QImage direct = Render(1);
  EXPECT_FALSE(InkBounds(fallback, 50, 65).isEmpty());
  EXPECT_TRUE(InkBounds(fallback, 65, 80).isEmpty());
  EXPECT_FALSE(InkBounds(fallback, 80, 95).isEmpty());
  // The first present of the three fields is drawn, the others are not.
  EXPECT_EQ(fallback.copy(0, 50, kWidth, 45), direct.copy(0, 50, kWidth, 45));
}

// The side text and the case number end 3 pixels left of the right edge; texts on the left
// begin at L, and the date label at L + 80.
TEST_F(CaseListDrawingTest, TextsSitAtTheirOffsets) {
  List(R"({"CaseList":{"1":{"FieldList":{"pa10":"Anna","pa12":"Weber","ho10":"Cardiology",)"
       R"("f13":"20240131","f22":"4000000037"}}}})");
  const QImage image = Render(0);
  const QRect line1_right = InkBounds(image, 0, 15, kWidth / 2);
  const QRect line2_right = InkBounds(image, 15, 30, kWidth / 2);
  EXPECT_LE(line1_right.right(), kRight - 1);
  EXPECT_GE(line1_right.right(), kRight - 3);
  EXPECT_LE(line2_right.right(), kRight - 1);
  EXPECT_GE(line2_right.right(), kRight - 3);
  EXPECT_LE(InkBounds(image, 0, 15, 0, kWidth / 2).left(), 2);
  const QRect line2_left = InkBounds(image, 15, 30, 0, kWidth / 2);
  EXPECT_GE(line2_left.left(), 80);
  EXPECT_LE(line2_left.left(), 82);
  // "Case: " ends where the case number begins.
  const int number_width = TextWidth("4000000037", true);
  EXPECT_NEAR(line2_right.left(), kRight - number_width - TextWidth("Case: ", false), 2);
}

// The title and the date are bold; the date follows the regular "Discharge date: ".
TEST_F(CaseListDrawingTest, TitleAndDateAreBold) {
  List(R"({"CaseList":{"1":{"FieldList":{"pa10":"Maximilian","pa12":"Zimmermann",)"
       R"("f13":"20240131"}}}})");
  const QImage image = Render(0);
  const int title_end = InkBounds(image, 0, 15, 0, kWidth / 2).right() + 1;
  EXPECT_NEAR(title_end, TextWidth("Maximilian Zimmermann", true), 2);
  EXPECT_GT(title_end, TextWidth("Maximilian Zimmermann", false) + 2);
  const int date_start = 80 + TextWidth("Discharge date: ", false);
  const int date_end = InkBounds(image, 15, 30, 0, kWidth / 2).right() + 1;
  EXPECT_NEAR(date_end, date_start + TextWidth("01/31/2024", true), 2);
}

// An empty case number shows the case key in its place.
TEST_F(CaseListDrawingTest, EmptyCaseNumberShowsTheCaseKey) {
  List(R"({"CaseList":{"4711":{"FieldList":{"f22":""}},"9":{"FieldList":{"f22":"4711"}}}})");
  EXPECT_EQ(Render(0), Render(1));
}

// A side text wider than the entry is not shortened: it runs on past the left edge.
TEST_F(CaseListDrawingTest, LongSideTextIsNotShortened) {
  const std::string side(120, 'W');
  List(R"({"CaseList":{"1":{"FieldList":{"ho10":")" + side + R"("}}}})");
  const QImage image = Render(0);
  EXPECT_LE(InkBounds(image, 0, 15).left(), 1);
  EXPECT_GE(InkBounds(image, 0, 15).right(), kRight - 3);
}

// Selected and focused entries are painted alike by the window's handler.
TEST_F(CaseListDrawingTest, SelectionDoesNotChangeTheEntry) {
  List(R"({"CaseList":{"1":{"FieldList":{"pa10":"A","pa12":"B"},"NeedsList":{"1":{}}}}})");
  EXPECT_EQ(Render(0, QStyle::State_Selected | QStyle::State_HasFocus), Render(0));
}

// The delegate adds a dotted rectangle around the focused entry, and nothing else.
TEST_F(CaseListDrawingTest, FocusedEntryGetsOnlyAFocusRectangle) {
  List(R"({"CaseList":{"1":{"FieldList":{"pa10":"A","pa12":"B"}}}})");
  const QImage plain = RenderByDelegate(0, QStyle::State_Selected);
  const QImage focused = RenderByDelegate(0, QStyle::State_Selected | QStyle::State_HasFocus);
  EXPECT_EQ(plain, Render(0));
  int border_changes = 0;
  for (int y = 0; y < plain.height(); ++y) {
    for (int x = 0; x < kWidth; ++x) {
      if (plain.pixel(x, y) == focused.pixel(x, y)) continue;
      const bool border = x == 0 || y == 0 || x == kWidth - 1 || y == plain.height() - 1;
      EXPECT_TRUE(border) << "changed inside the entry at " << x << "," << y;
      ++border_changes;
    }
  }
  // Dotted: about every second pixel of the border.
  const int perimeter = 2 * (kWidth + plain.height());
  EXPECT_GT(border_changes, perimeter / 3);
  EXPECT_LT(border_changes, perimeter * 2 / 3);
}

// The list box asks the window for each entry's height.
TEST_F(CaseListDrawingTest, ListBoxUsesTheMeasuredHeights) {
  List(R"({"CaseList":{"1":{},"2":{"NeedsList":{"1":{},"2":{},"3":{},"4":{},"5":{}}}}})");
  form_.CasesListBox->doItemsLayout();
  EXPECT_EQ(form_.CasesListBox->visualItemRect(form_.CasesListBox->item(0)).height(), 92);
  EXPECT_EQ(form_.CasesListBox->visualItemRect(form_.CasesListBox->item(1)).height(), 156);
  EXPECT_EQ(form_.CasesListBox->visualItemRect(form_.CasesListBox->item(1)).top(), 92);
}

}  // namespace
