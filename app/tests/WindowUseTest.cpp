// What a user sees and does around a test-all run: the progress bar on top, captions that fit their
// buttons, Enter from the row counts, and where the keyboard focus rests afterwards.
#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOption>

#include "app/tests/AppTestSupport.h"

namespace {

class WindowUse : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    // Recorders instead of the engines: what is observed is the window, not the operations.
    for (int i = 0; i < form->Panel1->ControlCount(); ++i)
      if (auto* b = dynamic_cast<TButton*>(form->Panel1->Controls(i)))
        b->OnClick = [this](TObject* sender) {
          if (duringRun) duringRun();
          if (static_cast<TButton*>(sender)->Name() == failAt) throw EDatabaseError(u"engine failed");
        };
    form->Show();
  }
  void TearDown() override {
    form->Hide();
    AppTest::TearDown();
  }
  // A key pressed while Target has the focus, delivered the way Qt delivers it.
  void Press(TControl* Target, int Key) {
    Target->SetFocus();
    QKeyEvent press(QEvent::KeyPress, Key, Qt::NoModifier);
    QApplication::sendEvent(form->Widget()->focusWidget(), &press);
  }
  static QPoint Centre(const TControl* c) { return QPoint(c->Left() + c->Width() / 2, c->Top() + c->Height() / 2); }

  std::function<void()> duringRun;
  String failAt;
};

TEST_F(WindowUse, TheProgressBarIsWhatTheUserSeesOverTheTestAllButton) {
  int checked = 0;
  duringRun = [&] {
    if (checked++ == 0) {
      EXPECT_EQ(form->Widget()->childAt(Centre(form->btnTestAll)), form->ProgressBar1->Widget());
    }
  };
  static_cast<QPushButton*>(form->btnTestAll->Widget())->click();
  ASSERT_GT(checked, 0);
  EXPECT_EQ(form->Widget()->childAt(Centre(form->btnTestAll)), form->btnTestAll->Widget()) << "hidden again";
}

TEST_F(WindowUse, ThePanelKeepsItsLookDuringARun) {
  const QImage label = form->lblFDMemTable->Widget()->grab().toImage();
  const QImage button = form->btnFDSaveToFile->Widget()->grab().toImage();
  int checked = 0;
  duringRun = [&] {
    if (checked++ > 0) return;
    EXPECT_FALSE(form->btnFDSaveToFile->Widget()->isEnabled()) << "input is blocked";
    EXPECT_EQ(form->lblFDMemTable->Widget()->grab().toImage(), label);
    EXPECT_EQ(form->btnFDSaveToFile->Widget()->grab().toImage(), button);
  };
  form->btnTestAll->Click();
  EXPECT_GT(checked, 0);
}

TEST_F(WindowUse, FiveDigitTimesAndLongRowCountsFitTheirControls) {
  auto fits = [](const TControl* c, const String& text) {
    QStyleOptionButton option;
    option.initFrom(c->Widget());
    option.rect = QRect(0, 0, c->Width(), c->Height());
    const QRect room = c->Widget()->style()->subElementRect(QStyle::SE_PushButtonContents, &option, c->Widget());
    const int needed = QFontMetrics(c->Widget()->font()).horizontalAdvance(QString::fromStdU16String(text));
    EXPECT_LE(needed, room.width()) << StringToUTF8(c->Name()) << " \"" << StringToUTF8(text) << "\"";
  };
  for (int i = 0; i < form->Panel1->ControlCount(); ++i)
    if (auto* b = dynamic_cast<TButton*>(form->Panel1->Controls(i))) fits(b, b->Caption() + u"-12345 ms");
  fits(form->btnTestAll, u"测试 - 12345 ms");

  for (TSpinEdit* s : {form->seAppend, form->seInsert}) {
    auto* spin = static_cast<QSpinBox*>(s->Widget());
    QStyleOptionSpinBox option;
    option.initFrom(spin);
    option.rect = QRect(0, 0, s->Width(), s->Height());
    option.frame = true;
    option.subControls = QStyle::SC_All;
    const QRect edit = spin->style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxEditField, spin);
    const int needed = QFontMetrics(spin->font()).horizontalAdvance(QStringLiteral("1000000"));
    EXPECT_LE(needed + 4, edit.width()) << StringToUTF8(s->Name()) << ": a million rows, with the edit's margins";
  }
}

TEST_F(WindowUse, EnterInARowCountStartsARun) {
  form->seAppend->SetValue(20000);
  for (TControl* from : std::initializer_list<TControl*>{form->seAppend, form->seInsert,
                                                         form->chkCompressionDecompressionFile}) {
    form->btnTestAll->SetCaption(u"测试");
    Press(from, Qt::Key_Return);
    EXPECT_TRUE(ShowsTotal(form->btnTestAll->Caption())) << StringToUTF8(from->Name());
  }
  EXPECT_TRUE(exitCodes.empty()) << "the close button, also a default button, is not clicked";
}

TEST_F(WindowUse, TheWindowOpensWithTheFocusOnTheTestAllButton) {
  EXPECT_TRUE(form->btnTestAll->Focused());
  EXPECT_TRUE(static_cast<QPushButton*>(form->btnTestAll->Widget())->isDefault());
  EXPECT_FALSE(static_cast<QPushButton*>(form->btnClose->Widget())->isDefault()) << "one button draws as default";
}

TEST_F(WindowUse, FocusReturnsToTheTestAllButtonAfterARun) {
  struct Case {
    const char* what;
    TControl* startFrom;
    const char16_t* failAt;
  };
  const Case cases[] = {
      {"a click on the button", form->btnTestAll, u""},
      {"Enter in the Append count", form->seAppend, u""},
      {"a run stopped by an engine's error", form->btnTestAll, u"btnFDSaveToFile"},
  };
  for (const Case& c : cases) {
    failAt = c.failAt;
    shown.clear();
    int checked = 0;
    duringRun = [&] {
      if (checked++ == 0) {
        EXPECT_FALSE(form->btnTestAll->Focused()) << c.what << ": the disabled button lost it";
      }
    };
    Press(c.startFrom, Qt::Key_Return);
    EXPECT_GT(checked, 0) << c.what;
    EXPECT_TRUE(form->btnTestAll->Focused()) << c.what;
    EXPECT_FALSE(form->seAppend->Focused()) << c.what;
    EXPECT_EQ(shown.size(), c.failAt[0] != 0 ? 1u : 0u) << c.what;
  }
}

}  // namespace
