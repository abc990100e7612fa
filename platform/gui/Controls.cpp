#include "platform/gui/Controls.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleOption>

#include "platform/gui/Forms.h"
#include "platform/rtl/Format.h"

namespace {

QString ToQString(const String& S) {
  return QString::fromUtf16(S.data(), static_cast<qsizetype>(S.size()));
}

// The widget's standard colours with every role set, so nothing is inherited from a parent whose
// colours were changed; with KeepEnabledLook its disabled colours are its active ones. Qt greys a
// widget whose container is disabled; such a control keeps the look of an enabled one.
QPalette LookPalette(const QWidget* Widget, bool KeepEnabledLook) {
  const QPalette base = QApplication::palette(Widget);
  QPalette look;
  for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    const QPalette::ColorGroup from = KeepEnabledLook && group == QPalette::Disabled ? QPalette::Active : group;
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
      const auto r = static_cast<QPalette::ColorRole>(role);
      if (r == QPalette::NoRole) continue;
      look.setBrush(group, r, base.brush(from, r));
    }
  }
  return look;
}

// Styles draw a widget without State_Enabled differently whatever its colours. Qt marks a widget
// disabled by its own flag with WA_ForceDisabled; one disabled only through its container is drawn
// as enabled (its input stays blocked).
template <class TBase, class TOption>
class KeepLookWidget : public TBase {
 protected:
  void initStyleOption(TOption* Option) const override {
    TBase::initStyleOption(Option);
    if (!this->isEnabled() && !this->testAttribute(Qt::WA_ForceDisabled)) Option->state |= QStyle::State_Enabled;
  }
};
using PushButtonWidget = KeepLookWidget<QPushButton, QStyleOptionButton>;
using CheckBoxWidget = KeepLookWidget<QCheckBox, QStyleOptionButton>;
using SpinBoxWidget = KeepLookWidget<QSpinBox, QStyleOptionSpinBox>;
using ProgressBarWidget = KeepLookWidget<QProgressBar, QStyleOptionProgressBar>;

}  // namespace

// ---- TControl ----

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {}

TControl::~TControl() {
  if (FParent != nullptr) FParent->RemoveControl(this);
  // A parent widget that went first has already deleted ours; QPointer then reads null.
  delete FWidget.data();
}

void TControl::AttachWidget(QWidget* AWidget) {
  FWidget = AWidget;
  AWidget->setObjectName(ToQString(Name()));
}

void TControl::SetName(const String& NewName) {
  TComponent::SetName(NewName);
  if (FWidget) FWidget->setObjectName(ToQString(NewName));
}

void TControl::SetParent(TWinControl* AParent) {
  if (AParent == FParent) return;
  if (FParent != nullptr) FParent->RemoveControl(this);
  FParent = nullptr;
  if (AParent != nullptr) AParent->InsertControl(this);
  FParent = AParent;
  if (FWidget) {
    FWidget->setParent(AParent != nullptr ? AParent->Widget() : nullptr);
    FWidget->setGeometry(FLeft, FTop, FWidth, FHeight);
    FWidget->setEnabled(FEnabled);
    // Reparenting hides a widget; a widget without a parent would be a window of its own, so it stays
    // hidden until it has one.
    if (AParent != nullptr) FWidget->setVisible(FVisible);
  }
  RefreshLook();
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  FLeft = ALeft;
  FTop = ATop;
  FWidth = AWidth;
  FHeight = AHeight;
  if (FWidget) FWidget->setGeometry(FLeft, FTop, FWidth, FHeight);
}

void TControl::SetVisible(bool Value) {
  FVisible = Value;
  if (FWidget && FWidget->parentWidget() != nullptr) FWidget->setVisible(Value);
}

void TControl::SetEnabled(bool Value) {
  FEnabled = Value;
  if (FWidget) FWidget->setEnabled(Value);
  RefreshLook();
}

void TControl::RefreshLook() {
  if (FWidget) {
    // Qt's own disabling still blocks mouse, keyboard and focus; only the colours are chosen here.
    const bool blockedByContainer = FEnabled && !FWidget->isEnabled();
    if (blockedByContainer) FWidget->setPalette(LookPalette(FWidget, true));
    else if (FWidget->testAttribute(Qt::WA_SetPalette)) FWidget->setPalette(LookPalette(FWidget, false));
  }
  if (auto* container = dynamic_cast<TWinControl*>(this))
    for (TControl* c : container->FControls) c->RefreshLook();
}

void TControl::BringToFront() {
  if (FWidget) FWidget->raise();
}

bool TControl::CanFocus() const {
  if (!FWidget || FWidget->focusPolicy() == Qt::NoFocus || !FWidget->isEnabled()) return false;
  return FWidget->isVisibleTo(FWidget->window());
}

void TControl::SetFocus() {
  if (!CanFocus()) throw EInvalidOperation(u"Cannot focus a disabled or invisible control");
  FWidget->setFocus(Qt::OtherFocusReason);
}

bool TControl::Focused() const { return FWidget && FWidget->window()->focusWidget() == FWidget; }

void TControl::SetCaption(const String& Value) {
  FCaption = Value;
  CaptionChanged();
  AdjustSize();
}

void TControl::SetFontBold(bool Value) {
  FFontBold = Value;
  if (FWidget) {
    QFont f = FWidget->font();
    f.setBold(Value);
    FWidget->setFont(f);
  }
  AdjustSize();
}

void TControl::Click() {
  if (OnClick) OnClick(this);
}

void TControl::RunFromEventLoop(const std::function<void()>& Handler) {
  try {
    Handler();
  } catch (...) {
    if (Application != nullptr) {
      Application->HandleException(this);
    } else {
      // No application to show it: still never let an exception unwind through Qt's event dispatch.
      std::fputs(StringToUTF8(ExceptionMessage(std::current_exception())).c_str(), stderr);
      std::fputc('\n', stderr);
    }
  }
}

// ---- TWinControl ----

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::~TWinControl() {
  for (TControl* c : FControls) c->FParent = nullptr;
  FControls.clear();
}

TControl* TWinControl::Controls(int Index) const {
  if (Index < 0 || Index >= ControlCount()) throw EListError(Format(msg::SListIndexError, {Index}));
  return FControls[static_cast<std::size_t>(Index)];
}

void TWinControl::InsertControl(TControl* AControl) { FControls.push_back(AControl); }

void TWinControl::RemoveControl(TControl* AControl) {
  auto it = std::find(FControls.begin(), FControls.end(), AControl);
  if (it != FControls.end()) FControls.erase(it);
}

void TWinControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  const int oldWidth = Width();
  const int oldHeight = Height();
  TControl::SetBounds(ALeft, ATop, AWidth, AHeight);
  ApplyAnchors(oldWidth, oldHeight);
}

void TWinControl::ApplyAnchors(int OldWidth, int OldHeight) {
  const int dw = Width() - OldWidth;
  const int dh = Height() - OldHeight;
  if (dw == 0 && dh == 0) return;
  for (TControl* c : FControls) {
    const TAnchors a = c->Anchors();
    int l = c->Left(), t = c->Top(), w = c->Width(), h = c->Height();
    if (a & akRight) {
      if (a & akLeft) w += dw;
      else l += dw;
    }
    if (a & akBottom) {
      if (a & akTop) h += dh;
      else t += dh;
    }
    if (l != c->Left() || t != c->Top() || w != c->Width() || h != c->Height()) c->SetBounds(l, t, w, h);
  }
}

// ---- TLabel ----

TLabel::TLabel(TComponent* AOwner) : TControl(AOwner) { AttachWidget(new QLabel()); }

void TLabel::CaptionChanged() {
  if (auto* w = static_cast<QLabel*>(Widget())) w->setText(ToQString(Caption()));
}

void TLabel::AdjustSize() {
  if (QWidget* w = Widget()) {
    const QSize s = w->sizeHint();
    SetBounds(Left(), Top(), s.width(), s.height());
  }
}

// ---- TButton ----

TButton::TButton(TComponent* AOwner) : TControl(AOwner) {
  auto* button = new PushButtonWidget();
  button->setAutoDefault(false);
  AttachWidget(button);
  // Qt emits clicked only for an enabled widget, which is what a user's click should do.
  QObject::connect(button, &QPushButton::clicked, [this] { RunFromEventLoop([this] { Click(); }); });
}

void TButton::SetDefault(bool Value) {
  FDefault = Value;
  const TControl* top = this;
  while (top->Parent() != nullptr) top = top->Parent();
  if (auto* form = dynamic_cast<const TForm*>(top)) form->ShowDefaultButton();
}

void TButton::CaptionChanged() {
  if (auto* w = static_cast<QPushButton*>(Widget())) w->setText(ToQString(Caption()));
}

// ---- TCheckBox ----

TCheckBox::TCheckBox(TComponent* AOwner) : TControl(AOwner) {
  auto* box = new CheckBoxWidget();
  AttachWidget(box);
  QObject::connect(box, &QCheckBox::clicked, [this] { RunFromEventLoop([this] { Click(); }); });
}

bool TCheckBox::Checked() const { return static_cast<QCheckBox*>(Widget())->isChecked(); }

void TCheckBox::SetChecked(bool Value) { static_cast<QCheckBox*>(Widget())->setChecked(Value); }

void TCheckBox::CaptionChanged() {
  if (auto* w = static_cast<QCheckBox*>(Widget())) w->setText(ToQString(Caption()));
}

// ---- TSpinEdit ----

TSpinEdit::TSpinEdit(TComponent* AOwner) : TControl(AOwner) {
  auto* spin = new SpinBoxWidget();
  AttachWidget(spin);
  ApplyRange();
  QObject::connect(spin, &QSpinBox::valueChanged, [this] {
    if (OnChange) RunFromEventLoop([this] { OnChange(this); });
  });
}

int TSpinEdit::Value() const { return static_cast<QSpinBox*>(Widget())->value(); }

void TSpinEdit::SetValue(int AValue) { static_cast<QSpinBox*>(Widget())->setValue(AValue); }

void TSpinEdit::SetIncrement(int AValue) {
  FIncrement = AValue;
  static_cast<QSpinBox*>(Widget())->setSingleStep(AValue);
}

void TSpinEdit::SetMinValue(int AValue) {
  FMinValue = AValue;
  ApplyRange();
}

void TSpinEdit::SetMaxValue(int AValue) {
  FMaxValue = AValue;
  ApplyRange();
}

void TSpinEdit::ApplyRange() {
  auto* spin = static_cast<QSpinBox*>(Widget());
  if (FMinValue == 0 && FMaxValue == 0) spin->setRange(INT_MIN, INT_MAX);
  else spin->setRange(FMinValue, std::max(FMinValue, FMaxValue));
}

// ---- TPanel ----

TPanel::TPanel(TComponent* AOwner) : TWinControl(AOwner) {
  auto* frame = new QFrame();
  AttachWidget(frame);
  SetBevelOuter(FBevelOuter);
}

void TPanel::SetBevelOuter(TPanelBevel Value) {
  FBevelOuter = Value;
  auto* frame = static_cast<QFrame*>(Widget());
  switch (Value) {
    case TPanelBevel::bvNone: frame->setFrameStyle(QFrame::NoFrame); break;
    case TPanelBevel::bvLowered: frame->setFrameStyle(QFrame::Panel | QFrame::Sunken); break;
    case TPanelBevel::bvRaised: frame->setFrameStyle(QFrame::Panel | QFrame::Raised); break;
  }
}

// ---- TBevel ----

TBevel::TBevel(TComponent* AOwner) : TControl(AOwner) {
  auto* frame = new QFrame();
  frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
  AttachWidget(frame);
}

// ---- TProgressBar ----

TProgressBar::TProgressBar(TComponent* AOwner) : TControl(AOwner) {
  auto* bar = new ProgressBarWidget();
  bar->setTextVisible(false);
  AttachWidget(bar);
  Apply();
}

void TProgressBar::SetMin(int Value) {
  FMin = Value;
  if (FMax < FMin) FMax = FMin;
  SetPosition(FPosition);
}

void TProgressBar::SetMax(int Value) {
  FMax = Value;
  if (FMin > FMax) FMin = FMax;
  SetPosition(FPosition);
}

void TProgressBar::SetPosition(int Value) {
  FPosition = std::clamp(Value, FMin, FMax);
  Apply();
}

void TProgressBar::Apply() {
  auto* bar = static_cast<QProgressBar*>(Widget());
  bar->setRange(FMin, FMax);
  bar->setValue(FPosition);
}
