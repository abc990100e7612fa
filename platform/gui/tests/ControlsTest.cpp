#include <QApplication>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <climits>
#include <gtest/gtest.h>

#include "platform/classes/ExceptionRoute.h"
#include "platform/gui/Forms.h"

namespace {

// One Qt application per test suite, made here rather than statically so Qt starts after main.
class GuiTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "vellum_gui_tests";
    static char* argv[] = {name, nullptr};
    app = new TApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app;
    app = nullptr;
  }
  void SetUp() override {
    form = new TForm(app);
    form->SetClientSize(300, 200);
    panel = new TPanel(form);
    panel->SetParent(form);
    panel->SetBounds(0, 0, 300, 200);
  }
  void TearDown() override { delete form; }

  TButton* AddButton(TWinControl* parent, const String& name, int tabOrder) {
    auto* b = new TButton(form);
    b->SetName(name);
    b->SetParent(parent);
    b->SetTabOrder(tabOrder);
    return b;
  }

  static TApplication* app;
  TForm* form = nullptr;
  TPanel* panel = nullptr;
};
TApplication* GuiTest::app = nullptr;

TEST_F(GuiTest, EnabledIsTheControlsOwnFlag) {
  TButton* b = AddButton(panel, u"b", 0);
  TButton* off = AddButton(panel, u"off", 1);
  off->SetEnabled(false);

  panel->SetEnabled(false);
  EXPECT_TRUE(b->Enabled()) << "a disabled parent must not change the child's own flag";
  EXPECT_FALSE(b->Widget()->isEnabled()) << "but the user cannot reach it";

  panel->SetEnabled(true);
  EXPECT_TRUE(b->Widget()->isEnabled());
  EXPECT_FALSE(off->Enabled());
  EXPECT_FALSE(off->Widget()->isEnabled()) << "enabling the parent must not enable a disabled child";
}

TEST_F(GuiTest, ClickRunsTheHandlerWhateverTheParentsState) {
  TButton* b = AddButton(panel, u"b", 0);
  int clicks = 0;
  TObject* sender = nullptr;
  b->OnClick = [&](TObject* s) {
    ++clicks;
    sender = s;
  };
  panel->SetEnabled(false);

  b->Click();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(sender, b);

  // The trap this layer avoids: Qt's own click does nothing on a widget it sees as disabled.
  static_cast<QPushButton*>(b->Widget())->click();
  EXPECT_EQ(clicks, 1);

  panel->SetEnabled(true);
  static_cast<QPushButton*>(b->Widget())->click();
  EXPECT_EQ(clicks, 2) << "a user's click on an enabled button reaches the handler";
}

TEST_F(GuiTest, ClickPropagatesTheHandlersException) {
  TButton* b = AddButton(panel, u"b", 0);
  b->OnClick = [](TObject*) { throw EInvalidOperation("boom"); };
  EXPECT_THROW(b->Click(), EInvalidOperation);
}

TEST_F(GuiTest, AnExceptionFromAUsersClickGoesToTheApplication) {
  TButton* b = AddButton(panel, u"b", 0);
  b->OnClick = [](TObject*) { throw EInvalidOperation("boom"); };
  String seen;
  TObject* seenSender = nullptr;
  app->OnException = [&](TObject* s, std::exception_ptr e) {
    seenSender = s;
    seen = ExceptionMessage(e);
  };
  static_cast<QPushButton*>(b->Widget())->click();
  app->OnException = nullptr;
  EXPECT_EQ(seen, u"boom");
  EXPECT_EQ(seenSender, b);
}

TEST_F(GuiTest, TheApplicationTakesTheDatasetFrameworksUnhandledExceptions) {
  std::vector<String> seen;
  app->OnException = [&](TObject*, std::exception_ptr e) { seen.push_back(ExceptionMessage(e)); };
  HandleDefaultException(nullptr, EDatabaseError(u"outside a catch"));
  try {
    throw EDatabaseError(u"inside a catch");
  } catch (...) {
    HandleCurrentException(nullptr);
  }
  try {
    throw EInvalidOperation("being handled");
  } catch (...) {
    HandleDefaultException(nullptr, EDatabaseError(u"another one"));  // not the one being handled
  }
  HandleDefaultException(nullptr, EAbort(u"silent"));
  app->OnException = nullptr;
  EXPECT_EQ(seen, (std::vector<String>{u"outside a catch", u"inside a catch", u"another one"}));
}

TEST_F(GuiTest, TabOrdersAreKeptAsAssigned) {
  struct Case {
    const char16_t* name;
    int tabOrder;
  };
  // Gaps, a repeat and a reversed sequence: none of them may be renumbered.
  const Case cases[] = {{u"a", 5}, {u"b", 0}, {u"c", 5}, {u"d", 40}, {u"e", 1}, {u"f", -1}};
  std::vector<TButton*> buttons;
  for (const Case& c : cases) buttons.push_back(AddButton(panel, c.name, c.tabOrder));
  form->Show();
  panel->SetEnabled(false);
  panel->SetEnabled(true);
  for (std::size_t i = 0; i < buttons.size(); ++i) EXPECT_EQ(buttons[i]->TabOrder(), cases[i].tabOrder) << i;
  form->Hide();
}

TEST_F(GuiTest, TheKeyboardVisitsControlsByTabOrder) {
  // Created out of tab order, so Qt's own creation-order chain would differ.
  TButton* first = AddButton(panel, u"first", 0);
  TButton* second = AddButton(panel, u"second", 2);
  TButton* middle = AddButton(panel, u"middle", 1);
  form->Show();
  // Qt's chain also holds widgets that take no focus; the keyboard skips them.
  std::vector<QWidget*> visited;
  QWidget* w = first->Widget();
  do {
    if (w->focusPolicy() & Qt::TabFocus) visited.push_back(w);
    w = w->nextInFocusChain();
  } while (w != first->Widget() && visited.size() < 10);
  EXPECT_EQ(visited, (std::vector<QWidget*>{first->Widget(), middle->Widget(), second->Widget()}));
  form->Hide();
}

TEST_F(GuiTest, ThePanelListsItsControlsInInsertionOrder) {
  auto* label = new TLabel(form);
  label->SetParent(panel);
  TButton* b1 = AddButton(panel, u"b1", 3);
  TButton* b2 = AddButton(panel, u"b2", 1);
  TButton* b3 = AddButton(panel, u"b3", 2);
  ASSERT_EQ(panel->ControlCount(), 4);
  EXPECT_EQ(panel->Controls(0), label);
  EXPECT_EQ(panel->Controls(1), b1);
  EXPECT_EQ(panel->Controls(2), b2);
  EXPECT_EQ(panel->Controls(3), b3);

  b2->SetParent(form);  // leaves the panel's list, joins the form's at its end
  ASSERT_EQ(panel->ControlCount(), 3);
  EXPECT_EQ(panel->Controls(2), b3);
  EXPECT_EQ(form->Controls(form->ControlCount() - 1), b2);

  delete b1;  // a freed control leaves its parent's list
  ASSERT_EQ(panel->ControlCount(), 2);
  EXPECT_EQ(panel->Controls(1), b3);
  EXPECT_THROW(panel->Controls(2), EListError);
}

TEST_F(GuiTest, FreeingAPanelBeforeItsChildrenIsSafe) {
  TButton* b = AddButton(panel, u"b", 0);
  delete panel;
  panel = nullptr;
  EXPECT_EQ(b->Parent(), nullptr);
  EXPECT_EQ(b->Widget(), nullptr);  // Qt deleted it with the panel's widget
  delete b;
}

TEST_F(GuiTest, ControlsKeepTheirOwnState) {
  TButton* b = AddButton(panel, u"btnTest", 7);
  b->SetBounds(-9, 70, 135, 21);
  b->SetCaption(u"测试");
  b->SetFontBold(true);
  b->SetDefault(true);
  b->SetVisible(false);
  EXPECT_EQ(b->Name(), u"btnTest");
  EXPECT_EQ(b->Parent(), panel);
  EXPECT_EQ(b->BoundsRect(), Bounds(-9, 70, 135, 21));
  EXPECT_EQ(b->Caption(), u"测试");
  EXPECT_TRUE(b->FontBold());
  EXPECT_TRUE(b->Widget()->font().bold());
  EXPECT_TRUE(b->Default());
  EXPECT_FALSE(b->Visible());
  EXPECT_EQ(b->Widget()->geometry(), QRect(-9, 70, 135, 21));
  EXPECT_EQ(static_cast<QPushButton*>(b->Widget())->text(), QString::fromUtf8("测试"));
}

TEST_F(GuiTest, SpinEditBounds) {
  struct Case {
    int min, max, set, expected;
  };
  const Case cases[] = {
      {0, 0, 2000000000, 2000000000},  // 0/0: no bounds at all
      {0, 0, -5, -5},
      {0, 0, INT_MIN, INT_MIN},
      {1, 10, 50, 10},
      {1, 10, -3, 1},
  };
  for (const Case& c : cases) {
    auto* se = new TSpinEdit(form);
    se->SetParent(panel);
    se->SetMinValue(c.min);
    se->SetMaxValue(c.max);
    se->SetValue(c.set);
    EXPECT_EQ(se->Value(), c.expected) << c.min << ".." << c.max << " set " << c.set;
    delete se;
  }
  auto* se = new TSpinEdit(form);
  se->SetIncrement(10000);
  se->SetValue(50000);
  static_cast<QSpinBox*>(se->Widget())->stepUp();
  EXPECT_EQ(se->Value(), 60000);
  EXPECT_EQ(se->Increment(), 10000);
}

TEST_F(GuiTest, ProgressBarStepsByOneAndClamps) {
  auto* bar = new TProgressBar(form);
  bar->SetParent(panel);
  bar->SetMax(72);
  bar->SetPosition(0);
  for (int i = 0; i < 56; ++i) bar->StepIt();
  EXPECT_EQ(bar->Position(), 56);
  bar->SetPosition(100);
  EXPECT_EQ(bar->Position(), 72);
  bar->SetPosition(-1);
  EXPECT_EQ(bar->Position(), 0);
}

TEST_F(GuiTest, AnchoredControlsFollowTheirParentsWidth) {
  auto* bevel = new TBevel(form);
  bevel->SetParent(panel);
  bevel->SetBounds(-7, 71, 312, 2);
  bevel->SetAnchors(akLeft | akTop | akRight);
  auto* pinned = new TLabel(form);
  pinned->SetParent(panel);
  pinned->SetAnchors(akTop | akRight);
  pinned->SetBounds(250, 5, 40, 13);
  panel->SetBounds(0, 0, 400, 200);
  EXPECT_EQ(bevel->BoundsRect(), Bounds(-7, 71, 412, 2));
  EXPECT_EQ(pinned->Left(), 350);
  EXPECT_EQ(pinned->Width(), 40);
}

TEST_F(GuiTest, FormCloseRunsOnCloseAndHonoursCaNone) {
  int closes = 0;
  TCloseAction answer = TCloseAction::caNone;
  form->OnClose = [&](TObject* sender, TCloseAction& action) {
    EXPECT_EQ(sender, form);
    EXPECT_EQ(action, TCloseAction::caHide);
    action = answer;
    ++closes;
  };
  form->Show();
  form->Close();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(form->Visible());
  answer = TCloseAction::caHide;
  form->Widget()->close();  // the window system's close request takes the same path
  EXPECT_EQ(closes, 2);
  EXPECT_FALSE(form->Visible());
}

TEST_F(GuiTest, FormIsFixedAndCentred) {
  form->SetBorderStyle(TFormBorderStyle::bsSingle);
  form->SetBorderIcons(biSystemMenu | biMinimize);
  form->SetPosition(TFormPosition::poScreenCenter);
  form->SetClientSize(598, 490);
  form->SetCaption(u"Vellum 内存表性能测试");
  form->Show();
  QWidget* w = form->Widget();
  EXPECT_EQ(w->size(), QSize(598, 490));
  EXPECT_EQ(w->minimumSize(), w->maximumSize());
  EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Vellum 内存表性能测试"));
  EXPECT_EQ(w->font().pixelSize(), 11);
  // The whole window, frame and title bar included, stands in the middle of the screen.
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  const QRect frame = w->frameGeometry();
  EXPECT_GT(frame.width(), 598) << "the offscreen platform draws a frame; without one this test shows nothing";
  EXPECT_EQ(frame.left() - area.left(), area.right() - frame.right());
  EXPECT_EQ(frame.top() - area.top(), area.bottom() - frame.bottom());
  EXPECT_EQ(QPoint(form->Left(), form->Top()), w->geometry().topLeft()) << "the bounds are the client area's";
  form->Hide();
}

QImage Look(const TControl* c) { return c->Widget()->grab().toImage(); }

TEST_F(GuiTest, ADisabledContainerBlocksInputButKeepsItsControlsLook) {
  TButton* on = AddButton(panel, u"on", 0);
  TButton* off = AddButton(panel, u"off", 1);
  for (TButton* b : {on, off}) {
    b->SetCaption(u"LoadFromStream");
    b->SetBounds(0, b == on ? 0 : 30, 135, 21);
  }
  auto* label = new TLabel(form);
  label->SetParent(panel);
  label->SetCaption(u"TIdMemDataSet");
  off->SetEnabled(false);
  form->Show();
  const QImage onLook = Look(on), offLook = Look(off), labelLook = Look(label);
  ASSERT_NE(onLook, offLook) << "a control's own flag greys it";

  panel->SetEnabled(false);
  EXPECT_FALSE(on->Widget()->isEnabled()) << "input is blocked";
  EXPECT_EQ(Look(on), onLook);
  EXPECT_EQ(Look(label), labelLook);
  EXPECT_EQ(Look(off), offLook) << "a control disabled by its own flag still looks disabled";

  off->SetEnabled(true);  // changed while the container is disabled
  EXPECT_EQ(Look(off), onLook);
  off->SetEnabled(false);
  panel->SetEnabled(true);
  EXPECT_EQ(Look(off), offLook);
  EXPECT_EQ(Look(on), onLook);
  form->Hide();
}

TEST_F(GuiTest, EveryKindOfControlKeepsItsLookInADisabledContainer) {
  auto* check = new TCheckBox(form);
  check->SetCaption(u"压缩/解压缩文件");
  auto* spin = new TSpinEdit(form);
  spin->SetValue(50000);
  auto* bar = new TProgressBar(form);
  bar->SetPosition(40);
  auto* nested = new TPanel(form);
  nested->SetBounds(0, 100, 150, 40);
  auto* inner = new TLabel(form);
  int top = 0;
  for (TControl* c : std::initializer_list<TControl*>{check, spin, bar, nested}) {
    c->SetParent(panel);
    if (c != nested) c->SetBounds(0, top, 150, 22);
    top += 25;
  }
  inner->SetParent(nested);
  inner->SetCaption(u"Insert 行数");
  form->Show();
  const std::vector<TControl*> all{check, spin, bar, inner};
  std::vector<QImage> before;
  for (TControl* c : all) before.push_back(Look(c));
  panel->SetEnabled(false);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(Look(all[i]), before[i]) << StringToUTF8(all[i]->ClassName());
  panel->SetEnabled(true);
  nested->SetEnabled(false);
  EXPECT_EQ(Look(inner), before[3]) << "a label in a nested disabled panel";
  form->Hide();
}

TEST_F(GuiTest, BringToFrontPutsAControlOnTopAndKeepsTheList) {
  TButton* under = AddButton(panel, u"under", 0);
  TButton* over = AddButton(panel, u"over", 1);
  under->SetBounds(10, 10, 135, 21);
  over->SetBounds(10, 10, 135, 21);
  const QPoint centre(10 + 135 / 2, 10 + 21 / 2);
  EXPECT_EQ(panel->Widget()->childAt(centre), over->Widget()) << "the later sibling starts on top";
  under->BringToFront();
  EXPECT_EQ(panel->Widget()->childAt(centre), under->Widget());
  EXPECT_EQ(panel->Controls(0), under);
  EXPECT_EQ(panel->Controls(1), over);
}

TEST_F(GuiTest, FocusGoesOnlyWhereTheKeyboardCanReach) {
  TButton* b = AddButton(panel, u"b", 0);
  TButton* other = AddButton(panel, u"other", 1);
  form->Show();
  b->SetFocus();
  EXPECT_TRUE(b->Focused());
  EXPECT_FALSE(other->Focused());

  struct Case {
    const char* what;
    std::function<void()> block, unblock;
  };
  const Case cases[] = {
      {"own flag", [&] { other->SetEnabled(false); }, [&] { other->SetEnabled(true); }},
      {"hidden", [&] { other->Hide(); }, [&] { other->Show(); }},
      {"container disabled", [&] { panel->SetEnabled(false); }, [&] { panel->SetEnabled(true); }},
  };
  for (const Case& c : cases) {
    c.block();
    EXPECT_FALSE(other->CanFocus()) << c.what;
    EXPECT_THROW(other->SetFocus(), EInvalidOperation) << c.what;
    c.unblock();
    EXPECT_TRUE(other->CanFocus()) << c.what;
  }
  form->Hide();
}

class DialogKeyTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    // The benchmark window's shape: two default buttons on the form, an edit, a check box, and a grid
    // of ordinary buttons in a panel.
    run = AddButton(form, u"run", 0);
    close = AddButton(form, u"close", 4);
    for (TButton* b : {run, close}) b->SetDefault(true);
    edit = new TSpinEdit(form);
    edit->SetParent(form);
    edit->SetTabOrder(1);
    check = new TCheckBox(form);
    check->SetParent(form);
    check->SetTabOrder(2);
    cell = AddButton(panel, u"cell", 0);
    for (TButton* b : {run, close, cell})
      b->OnClick = [this](TObject* s) { clicked.push_back(static_cast<TButton*>(s)->Name()); };
    form->Show();
  }
  void TearDown() override {
    form->Hide();
    GuiTest::TearDown();
  }
  // A key the user presses while Target has the focus, delivered as Qt delivers it.
  void Press(TControl* Target, int Key, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
    Target->SetFocus();
    QKeyEvent press(QEvent::KeyPress, Key, Modifiers);
    QApplication::sendEvent(form->Widget()->focusWidget(), &press);
  }

  TButton *run = nullptr, *close = nullptr, *cell = nullptr;
  TSpinEdit* edit = nullptr;
  TCheckBox* check = nullptr;
  std::vector<String> clicked;
};

TEST_F(DialogKeyTest, EnterClicksTheFirstDefaultButtonFromAnyControlButAnotherButton) {
  struct Case {
    const char* what;
    std::function<TControl*()> focus;
    int key;
    Qt::KeyboardModifiers modifiers;
    std::vector<String> expected;
  };
  const Case cases[] = {
      {"Enter in the edit", [&] { return edit; }, Qt::Key_Return, Qt::NoModifier, {u"run"}},
      {"keypad Enter in the edit", [&] { return edit; }, Qt::Key_Enter, Qt::KeypadModifier, {u"run"}},
      {"Enter on the check box", [&] { return check; }, Qt::Key_Return, Qt::NoModifier, {u"run"}},
      {"Enter on a grid button clicks that button", [&] { return cell; }, Qt::Key_Return, Qt::NoModifier, {u"cell"}},
      {"Enter on the second default button", [&] { return close; }, Qt::Key_Return, Qt::NoModifier, {u"close"}},
      {"Ctrl+Enter is not Enter", [&] { return edit; }, Qt::Key_Return, Qt::ControlModifier, {}},
      {"no Cancel button: Escape does nothing", [&] { return edit; }, Qt::Key_Escape, Qt::NoModifier, {}},
  };
  for (const Case& c : cases) {
    clicked.clear();
    Press(c.focus(), c.key, c.modifiers);
    EXPECT_EQ(clicked, c.expected) << c.what;
  }
}

TEST_F(DialogKeyTest, OnlyTheButtonEnterGoesToDrawsAsTheDefault) {
  EXPECT_TRUE(static_cast<QPushButton*>(run->Widget())->isDefault());
  EXPECT_FALSE(static_cast<QPushButton*>(close->Widget())->isDefault());
  EXPECT_TRUE(close->Default()) << "the control keeps what it was told";
  run->SetDefault(false);
  EXPECT_TRUE(static_cast<QPushButton*>(close->Widget())->isDefault());
  Press(edit, Qt::Key_Return);
  EXPECT_EQ(clicked, std::vector<String>{u"close"});
}

TEST_F(GuiTest, TheKeyboardStartsAtTheLowestTabOrderThatCanTakeIt) {
  struct Case {
    bool firstEnabled;
    const char16_t* expected;
  };
  for (const Case& c : {Case{true, u"first"}, Case{false, u"second"}}) {
    auto* f = new TForm(app);
    f->SetClientSize(200, 100);
    auto* edit = new TSpinEdit(f);  // made first: Qt alone would start here
    edit->SetName(u"edit");
    edit->SetParent(f);
    edit->SetTabOrder(2);
    TButton* first = nullptr;
    for (const char16_t* name : {u"first", u"second"}) {
      auto* b = new TButton(f);
      b->SetName(name);
      b->SetParent(f);
      b->SetTabOrder(name == std::u16string_view(u"first") ? 0 : 1);
      if (first == nullptr) first = b;
    }
    first->SetEnabled(c.firstEnabled);
    f->Show();
    QWidget* focus = f->Widget()->focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->objectName(), QString::fromStdU16String(c.expected));
    delete f;
  }
}

TEST_F(DialogKeyTest, WhileTheDefaultButtonIsDisabledEnterClicksNothing) {
  run->SetEnabled(false);
  Press(edit, Qt::Key_Return);
  EXPECT_TRUE(clicked.empty()) << "the key must not fall through to the next default button";
  run->SetEnabled(true);
  Press(edit, Qt::Key_Return);
  EXPECT_EQ(clicked, std::vector<String>{u"run"});
}

TEST_F(DialogKeyTest, EscapeClicksTheCancelButton) {
  close->SetCancel(true);
  Press(check, Qt::Key_Escape);
  Press(edit, Qt::Key_Escape);
  EXPECT_EQ(clicked, (std::vector<String>{u"close", u"close"}));
}

TEST_F(GuiTest, TheFormFontDrawsLatinInALatinFaceAndChineseInTheFallback) {
  const QFont font = DefaultFormFont();
  EXPECT_EQ(font.pixelSize(), 11);
  const QString face = QFontInfo(font).family();
  EXPECT_TRUE(face == QLatin1String(kDesignFace) || face == QLatin1String(kDesignFaceStandIn))
      << face.toStdString() << ": the CJK face would draw Latin text too wide";
  const QFontMetrics metrics(font);
  EXPECT_TRUE(metrics.inFont(QChar(u'测'))) << "Chinese captions still draw";
}

TEST_F(GuiTest, ProcessMessagesRunsWhatIsPendingAndReturnsWithNothingPending) {
  int runs = 0;
  QMetaObject::invokeMethod(qApp, [&] { ++runs; }, Qt::QueuedConnection);
  QMetaObject::invokeMethod(qApp, [&] { ++runs; }, Qt::QueuedConnection);
  EXPECT_EQ(runs, 0);  // posted, not yet run
  app->ProcessMessages();
  EXPECT_EQ(runs, 2);
  app->ProcessMessages();  // nothing pending: returns at once and runs nothing again
  EXPECT_EQ(runs, 2);
}

}  // namespace
