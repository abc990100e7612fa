#include "platform/gui/Forms.h"

#include <algorithm>
#include <cstdio>

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "platform/classes/ExceptionRoute.h"
#include "platform/gui/QtTimerHost.h"

TApplication* Application = nullptr;

namespace {

QString ToQString(const String& S) {
  return QString::fromUtf16(S.data(), static_cast<qsizetype>(S.size()));
}

// The window of a form: a close request from the window system goes through the form's Close, so the
// form's OnClose decides what closing means.
class FormWindow : public QWidget {
 public:
  std::function<void()> OnCloseRequest;
  // Enter or Escape without modifiers that no control took; returns true when it was used.
  std::function<bool(int Key)> OnDialogKey;
  // The window system reported a frame of another size than the window was placed with.
  std::function<void()> OnFrameChanged;
  QMargins PlacedWithFrame;
  // Set once a frame was seen; until then the window follows the frame it is given.
  bool FrameSettled = false;

 protected:
  void closeEvent(QCloseEvent* Event) override {
    Event->ignore();
    if (OnCloseRequest) OnCloseRequest();
  }
  void keyPressEvent(QKeyEvent* Event) override {
    const int key = Event->key();
    const bool dialogKey = key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
    if (dialogKey && (Event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && OnDialogKey &&
        OnDialogKey(key)) {
      Event->accept();
      return;
    }
    QWidget::keyPressEvent(Event);
  }
  bool event(QEvent* Event) override {
    const bool result = QWidget::event(Event);
    // A window manager frames the window only once it is mapped, and nothing tells the window so; the
    // first paint or activation comes after it. The client area may not move with it, so a Move event
    // need not come at all.
    const QEvent::Type type = Event->type();
    if (!FrameSettled && (type == QEvent::Paint || type == QEvent::WindowActivate || type == QEvent::Move) &&
        windowHandle() != nullptr) {
      const QMargins frame = windowHandle()->frameMargins();
      if (!frame.isNull()) FrameSettled = true;
      // Moving the window from inside its own paint is left to the event loop.
      if (frame != PlacedWithFrame && OnFrameChanged)
        QMetaObject::invokeMethod(this, [this] { OnFrameChanged(); }, Qt::QueuedConnection);
    }
    return result;
  }
};

// The first visible button, depth first in control-list order, that Wanted picks.
TButton* FindButton(const TWinControl* Parent, bool (*Wanted)(const TButton*)) {
  for (int i = 0; i < Parent->ControlCount(); ++i) {
    TControl* c = Parent->Controls(i);
    if (!c->Visible()) continue;
    if (auto* b = dynamic_cast<TButton*>(c); b != nullptr && Wanted(b)) return b;
    if (auto* w = dynamic_cast<TWinControl*>(c))
      if (TButton* b = FindButton(w, Wanted)) return b;
  }
  return nullptr;
}

// Tab order of a window: its focusable children sorted by their own numbers (stable, so equal numbers
// keep list order), each container's children right after it.
void CollectTabChain(const TWinControl* Parent, std::vector<QWidget*>& Chain) {
  std::vector<TControl*> children;
  for (int i = 0; i < Parent->ControlCount(); ++i) children.push_back(Parent->Controls(i));
  std::stable_sort(children.begin(), children.end(),
                   [](const TControl* a, const TControl* b) { return a->TabOrder() < b->TabOrder(); });
  for (TControl* c : children) {
    if (c->Widget() == nullptr) continue;
    if (c->TabOrder() >= 0 && (c->Widget()->focusPolicy() & Qt::TabFocus)) Chain.push_back(c->Widget());
    if (auto* w = dynamic_cast<TWinControl*>(c)) CollectTabChain(w, Chain);
  }
}

// True when Current holds the very object E: a handler may be called inside the catch block of another
// exception, and then only E's text is known.
bool IsCurrentException(std::exception_ptr Current, const std::exception& E) {
  try {
    std::rethrow_exception(Current);
  } catch (const std::exception& caught) {
    return &caught == &E;
  } catch (...) {
    return false;
  }
}

}  // namespace

QFont DefaultFormFont() {
  QFont font;
  // The design face, then what it is mapped to where it is missing (a family list is tried in order
  // before any substitution would be), then the face with the CJK glyphs the Latin ones lack.
  QStringList families{QString::fromLatin1(kDesignFace)};
  families += QFont::substitutes(QString::fromLatin1(kDesignFace));
  families += QString::fromLatin1(kCjkFallbackFace);
  font.setFamilies(families);
  font.setPixelSize(11);
  // The stand-in's letters run about 5% wider than the design face's: at full width the longest
  // five-digit time overruns its button by a few pixels and is cut at both ends.
  if (QFontInfo(font).family() == QLatin1String(kDesignFaceStandIn)) font.setStretch(95);
  return font;
}

// ---- TForm ----

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner), FFont(DefaultFormFont()) {
  auto* window = new FormWindow();
  window->OnCloseRequest = [this] { RunFromEventLoop([this] { Close(); }); };
  window->OnDialogKey = [this](int Key) { return DialogKey(Key); };
  window->OnFrameChanged = [this] {
    if (FPosition == TFormPosition::poScreenCenter) CenterOnScreen();
  };
  window->setFont(FFont);
  AttachWidget(window);
  TControl::SetVisible(false);
  ApplyWindowFlags();
}

TForm::~TForm() {
  // Controls must go while this form is still a TWinControl: each one leaves its parent's list.
  DestroyComponents();
}

void TForm::SetClientSize(int AWidth, int AHeight) {
  FClientWidth = AWidth;
  FClientHeight = AHeight;
  SetBounds(Left(), Top(), AWidth, AHeight);
  ApplyWindowFlags();
}

void TForm::SetBorderStyle(TFormBorderStyle Value) {
  FBorderStyle = Value;
  ApplyWindowFlags();
}

void TForm::SetBorderIcons(TBorderIcons Value) {
  FBorderIcons = Value;
  ApplyWindowFlags();
}

void TForm::CaptionChanged() {
  if (QWidget* w = Widget()) w->setWindowTitle(ToQString(Caption()));
}

void TForm::SetFont(const QFont& AFont) {
  FFont = AFont;
  if (QWidget* w = Widget()) w->setFont(AFont);
}

void TForm::ApplyWindowFlags() {
  QWidget* w = Widget();
  if (w == nullptr) return;
  if (FBorderStyle == TFormBorderStyle::bsSingle) {
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (FBorderIcons & biSystemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (FBorderIcons & biMinimize) flags |= Qt::WindowMinimizeButtonHint;
    if (FBorderIcons & biMaximize) flags |= Qt::WindowMaximizeButtonHint;
    w->setWindowFlags(flags);
    w->setFixedSize(FClientWidth, FClientHeight);
  } else {
    w->setWindowFlags(Qt::Window);
    w->setMinimumSize(0, 0);
    w->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    w->resize(FClientWidth, FClientHeight);
  }
}

std::vector<QWidget*> TForm::ApplyTabOrder() {
  std::vector<QWidget*> chain;
  CollectTabChain(this, chain);
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
  return chain;
}

void TForm::ShowDefaultButton() const {
  const TButton* first = FindButton(this, [](const TButton* b) { return b->Default(); });
  std::vector<const TWinControl*> pending{this};
  while (!pending.empty()) {
    const TWinControl* parent = pending.back();
    pending.pop_back();
    for (int i = 0; i < parent->ControlCount(); ++i) {
      TControl* c = parent->Controls(i);
      if (auto* b = dynamic_cast<TButton*>(c); b != nullptr && b->Widget() != nullptr)
        static_cast<QPushButton*>(b->Widget())->setDefault(b == first);
      if (auto* w = dynamic_cast<TWinControl*>(c)) pending.push_back(w);
    }
  }
}

void TForm::CenterOnScreen() {
  auto* w = static_cast<FormWindow*>(Widget());
  QScreen* screen = QGuiApplication::primaryScreen();
  if (w == nullptr || screen == nullptr) return;
  // The native window first: some window systems know its frame before it is shown.
  w->winId();
  const QMargins frame = w->windowHandle() != nullptr ? w->windowHandle()->frameMargins() : QMargins();
  w->PlacedWithFrame = frame;
  const QRect area = screen->availableGeometry();
  const int frameWidth = FClientWidth + frame.left() + frame.right();
  const int frameHeight = FClientHeight + frame.top() + frame.bottom();
  SetBounds(area.x() + (area.width() - frameWidth) / 2 + frame.left(),
            area.y() + (area.height() - frameHeight) / 2 + frame.top(), FClientWidth, FClientHeight);
}

bool TForm::DialogKey(int Key) {
  TButton* target = nullptr;
  if (Key == Qt::Key_Return || Key == Qt::Key_Enter) {
    // A focused button takes Enter itself, as a default one does in Qt already.
    if (auto* focused = qobject_cast<QPushButton*>(Widget()->focusWidget())) {
      if (focused->isEnabled()) focused->click();
      return true;
    }
    target = FindButton(this, [](const TButton* b) { return b->Default(); });
  } else if (Key == Qt::Key_Escape) {
    target = FindButton(this, [](const TButton* b) { return b->Cancel(); });
  }
  if (target == nullptr || target->Widget() == nullptr) return false;
  // The first such button is the form's; while it is disabled (a run in progress) the key does
  // nothing rather than falling through to the next one, which may be the close button.
  if (target->Widget()->isEnabled()) static_cast<QPushButton*>(target->Widget())->click();
  return true;
}

void TForm::SetVisible(bool Value) {
  TControl::SetVisible(Value);
  QWidget* w = Widget();
  if (w == nullptr) return;
  if (Value) {
    const std::vector<QWidget*> chain = ApplyTabOrder();
    ShowDefaultButton();
    // Qt would start in the first control made; the keyboard starts at the lowest tab order instead.
    if (w->focusWidget() == nullptr) {
      auto reachable = [w](QWidget* c) { return c->isEnabled() && c->isVisibleTo(w); };
      if (auto it = std::find_if(chain.begin(), chain.end(), reachable); it != chain.end()) (*it)->setFocus();
    }
    if (FPosition == TFormPosition::poScreenCenter) CenterOnScreen();
    w->show();
  } else {
    w->hide();
  }
}

void TForm::Close() {
  TCloseAction action = TCloseAction::caHide;
  if (OnClose) OnClose(this, action);
  switch (action) {
    case TCloseAction::caNone: return;
    case TCloseAction::caMinimize:
      if (QWidget* w = Widget()) w->showMinimized();
      return;
    case TCloseAction::caHide:
    case TCloseAction::caFree:
      SetVisible(false);
      if (Application != nullptr && Application->MainForm() == this) Application->Terminate();
      return;
  }
}

// ---- TApplication ----

TApplication::TApplication(int& argc, char** argv) : TComponent(nullptr) {
  if (QCoreApplication::instance() == nullptr) FQtApp = std::make_unique<QApplication>(argc, argv);
  // Forms ask for the face they were designed with; where this machine lacks it, an installed face of
  // close metrics is drawn instead (DefaultFormFont narrows it the rest of the way).
  if (!QFontDatabase::hasFamily(QString::fromLatin1(kDesignFace)))
    QFont::insertSubstitution(QString::fromLatin1(kDesignFace), QString::fromLatin1(kDesignFaceStandIn));
  Application = this;
  FTimerHost = std::make_unique<TQtTimerHost>();
  FPreviousTimerHost = SetTimerHost(FTimerHost.get());
  FPreviousDataSetHandler = SetDefaultExceptionHandler([this](TObject* Sender, const std::exception& E) {
    if (std::exception_ptr current = std::current_exception(); current && IsCurrentException(current, E)) {
      DispatchException(Sender, current);
    } else if (dynamic_cast<const EAbort*>(&E) == nullptr) {
      // Outside a catch block only the exception's text can be passed on.
      const auto* platform = dynamic_cast<const Exception*>(&E);
      DispatchException(Sender, std::make_exception_ptr(Exception(platform ? platform->Message() : UTF8ToString(E.what()))));
    }
  });
}

TApplication::~TApplication() {
  // Forms hold Qt widgets: they go before the Qt application does.
  DestroyComponents();
  SetDefaultExceptionHandler(std::move(FPreviousDataSetHandler));
  if (TimerHost() == FTimerHost.get()) SetTimerHost(FPreviousTimerHost);
  FTimerHost.reset();
  FMainForm = nullptr;
  if (Application == this) Application = nullptr;
  FQtApp.reset();
}

int TApplication::Run() {
  if (FMainForm != nullptr) FMainForm->Show();
  return QCoreApplication::exec();
}

void TApplication::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TApplication::Terminate() { QCoreApplication::quit(); }

void TApplication::HandleException(TObject* Sender) { DispatchException(Sender, std::current_exception()); }

void TApplication::DispatchException(TObject* Sender, std::exception_ptr E) {
  if (OnException) OnException(Sender, E);
  else ShowException(E);
}

bool TApplication::IsHeadless() {
  auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (gui == nullptr) return true;
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void TApplication::ShowException(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  const String text = ExceptionMessage(E);
  if (IsHeadless()) {
    std::fprintf(stderr, "%s\n", StringToUTF8(text).c_str());
    return;
  }
  QWidget* parent = FMainForm != nullptr ? FMainForm->Widget() : nullptr;
  QMessageBox::critical(parent, ToQString(Title.empty() ? String(u"Error") : Title), ToQString(text));
}

String ExceptionMessage(std::exception_ptr E) {
  try {
    std::rethrow_exception(E);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return UTF8ToString(e.what());
  } catch (...) {
    return u"Unknown exception";
  }
}
