// platform/gui: a small component-style GUI layer over Qt 6 Widgets: the application object, forms, and
// the controls the benchmark window uses (label, button, spin edit, check box, panel, bevel, progress
// bar). Every control is a TComponent owned by its form and wraps one Qt widget; the control, not Qt, is
// the source of truth for its name, parent, bounds, visibility, own enabled flag, tab order and caption.
// It calls platform/classes (and through it platform/rtl; the default exception route it takes over is
// platform/classes/ExceptionRoute.h) and Qt; the application (app/) and the headless test-all driver
// (bench/) call it.
#pragma once

#include <functional>

#include <QPointer>
#include <QWidget>

#include "platform/classes/Classes.h"

class TWinControl;

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};

inline TRect Bounds(int ALeft, int ATop, int AWidth, int AHeight) {
  return TRect{ALeft, ATop, ALeft + AWidth, ATop + AHeight};
}

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TAnchorKind : unsigned { akLeft = 1u, akTop = 2u, akRight = 4u, akBottom = 8u };
using TAnchors = unsigned;

// The base of every control. The Qt widget is created by the concrete class and handed over with
// AttachWidget; the control deletes it unless Qt already did (a parent widget deletes its children).
class TControl : public TComponent {
  VELLUM_CLASS(TControl)
 public:
  explicit TControl(TComponent* AOwner);
  ~TControl() override;

  void SetName(const String& NewName) override;

  TWinControl* Parent() const { return FParent; }
  // Moves the control into AParent's control list (at its end) and its widget under AParent's widget.
  virtual void SetParent(TWinControl* AParent);

  int Left() const { return FLeft; }
  int Top() const { return FTop; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  TRect BoundsRect() const { return Bounds(FLeft, FTop, FWidth, FHeight); }
  virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
  void SetBoundsRect(const TRect& R) { SetBounds(R.Left, R.Top, R.Width(), R.Height()); }

  TAnchors Anchors() const { return FAnchors; }
  void SetAnchors(TAnchors Value) { FAnchors = Value; }

  bool Visible() const { return FVisible; }
  virtual void SetVisible(bool Value);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }

  // The control's own flag. A control inside a disabled panel keeps Enabled() == true; only Qt's input
  // handling treats it as disabled. Such a control keeps its look: a disabled container stops input
  // without greying what it holds; only a control's own flag changes how it looks.
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);

  // Puts the control's widget above its siblings. The parent's control list keeps its order: the list
  // is what callers walk, the stacking only what the user sees.
  void BringToFront();

  // True when the control, every container above it and its window let it take the keyboard.
  bool CanFocus() const;
  // Makes the control its window's focused control; raises EInvalidOperation when CanFocus is false.
  void SetFocus();
  // True when the control is its window's focused control (whether or not the window is active).
  bool Focused() const;

  // Kept exactly as assigned: siblings may share or skip numbers, and nothing renumbers them.
  int TabOrder() const { return FTabOrder; }
  void SetTabOrder(int Value) { FTabOrder = Value; }

  const String& Caption() const { return FCaption; }
  void SetCaption(const String& Value);

  bool FontBold() const { return FFontBold; }
  void SetFontBold(bool Value);

  TNotifyEvent OnClick;
  // Runs OnClick at once, on this thread, whatever the state of the control or its parents.
  virtual void Click();

  QWidget* Widget() const { return FWidget.data(); }

 protected:
  void AttachWidget(QWidget* AWidget);
  // Pushes a caption change into the widget; controls without text ignore it.
  virtual void CaptionChanged() {}
  // Labels take their size from their text.
  virtual void AdjustSize() {}
  // Runs a handler from a Qt signal: an exception is shown by the application, never crosses Qt.
  void RunFromEventLoop(const std::function<void()>& Handler);

 private:
  friend class TWinControl;
  // Gives this control and those it holds the look their own flags call for.
  void RefreshLook();
  TWinControl* FParent = nullptr;
  int FLeft = 0;
  int FTop = 0;
  int FWidth = 0;
  int FHeight = 0;
  TAnchors FAnchors = akLeft | akTop;
  bool FVisible = true;
  bool FEnabled = true;
  int FTabOrder = -1;
  String FCaption;
  bool FFontBold = false;
  QPointer<QWidget> FWidget;
};

// A control that holds other controls, listed in the order they were given this one as parent.
class TWinControl : public TControl {
  VELLUM_CLASS(TWinControl)
 public:
  explicit TWinControl(TComponent* AOwner);
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(FControls.size()); }
  TControl* Controls(int Index) const;
  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;

 protected:
  // Moves and stretches anchored children when this control's size changes.
  void ApplyAnchors(int OldWidth, int OldHeight);

 private:
  friend class TControl;
  void InsertControl(TControl* AControl);
  void RemoveControl(TControl* AControl);
  std::vector<TControl*> FControls;  // borrowed: owners free controls
};

class TLabel : public TControl {
  VELLUM_CLASS(TLabel)
 public:
  explicit TLabel(TComponent* AOwner);

 protected:
  void CaptionChanged() override;
  void AdjustSize() override;
};

// Enter pressed in any control of the form except another button clicks the form's first Default
// button; Escape likewise clicks its first Cancel button (TForm does the routing).
class TButton : public TControl {
  VELLUM_CLASS(TButton)
 public:
  explicit TButton(TComponent* AOwner);
  bool Default() const { return FDefault; }
  void SetDefault(bool Value);
  bool Cancel() const { return FCancel; }
  void SetCancel(bool Value) { FCancel = Value; }

 protected:
  void CaptionChanged() override;

 private:
  bool FDefault = false;
  bool FCancel = false;
};

class TCheckBox : public TControl {
  VELLUM_CLASS(TCheckBox)
 public:
  explicit TCheckBox(TComponent* AOwner);
  bool Checked() const;
  void SetChecked(bool Value);

 protected:
  void CaptionChanged() override;
};

// MinValue and MaxValue both 0 mean "no bounds": any integer may be entered.
class TSpinEdit : public TControl {
  VELLUM_CLASS(TSpinEdit)
 public:
  explicit TSpinEdit(TComponent* AOwner);
  int Value() const;
  void SetValue(int AValue);
  int Increment() const { return FIncrement; }
  void SetIncrement(int AValue);
  int MinValue() const { return FMinValue; }
  int MaxValue() const { return FMaxValue; }
  void SetMinValue(int AValue);
  void SetMaxValue(int AValue);
  TNotifyEvent OnChange;

 private:
  void ApplyRange();
  int FIncrement = 1;
  int FMinValue = 0;
  int FMaxValue = 0;
};

enum class TPanelBevel { bvNone, bvLowered, bvRaised };

class TPanel : public TWinControl {
  VELLUM_CLASS(TPanel)
 public:
  explicit TPanel(TComponent* AOwner);
  TPanelBevel BevelOuter() const { return FBevelOuter; }
  void SetBevelOuter(TPanelBevel Value);

 private:
  TPanelBevel FBevelOuter = TPanelBevel::bvRaised;
};

class TBevel : public TControl {
  VELLUM_CLASS(TBevel)
 public:
  explicit TBevel(TComponent* AOwner);
};

class TProgressBar : public TControl {
  VELLUM_CLASS(TProgressBar)
 public:
  explicit TProgressBar(TComponent* AOwner);
  int Min() const { return FMin; }
  int Max() const { return FMax; }
  int Position() const { return FPosition; }
  int Step() const { return FStep; }
  void SetMin(int Value);
  void SetMax(int Value);
  // Clamped into [Min, Max].
  void SetPosition(int Value);
  void SetStep(int Value) { FStep = Value; }
  void StepIt() { StepBy(FStep); }
  void StepBy(int Delta) { SetPosition(FPosition + Delta); }

 private:
  void Apply();
  int FMin = 0;
  int FMax = 100;
  int FPosition = 0;
  int FStep = 1;
};
