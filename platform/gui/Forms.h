// Forms and the application object of the GUI layer: TForm is a top-level window with a fixed border,
// TApplication owns the Qt application, the forms it creates and the default display of exceptions that
// escape an event handler.
#pragma once

#include <exception>
#include <memory>

#include <QFont>

#include "platform/classes/TimerHost.h"
#include "platform/gui/Controls.h"

class QApplication;

enum class TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* Sender, TCloseAction& Action)>;

enum class TFormPosition { poDesigned, poScreenCenter };
enum class TFormBorderStyle { bsSizeable, bsSingle };
enum TBorderIcon : unsigned { biSystemMenu = 1u, biMinimize = 2u, biMaximize = 4u };
using TBorderIcons = unsigned;

// A top-level window. Its bounds are its client area's place on the screen; ClientWidth and ClientHeight
// are the size of the area the controls stand in. A centred window centres its whole frame, title bar
// included, and centres again when the window system first reports that frame. Enter and Escape that
// no control takes go to the form's Default and Cancel buttons (see TButton). When shown with no
// focused control, the first control in tab order that can take the keyboard gets it.
class TForm : public TWinControl {
  VELLUM_CLASS(TForm)
 public:
  explicit TForm(TComponent* AOwner);
  ~TForm() override;

  int ClientWidth() const { return FClientWidth; }
  int ClientHeight() const { return FClientHeight; }
  void SetClientSize(int AWidth, int AHeight);

  TFormBorderStyle BorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TFormBorderStyle Value);
  TBorderIcons BorderIcons() const { return FBorderIcons; }
  void SetBorderIcons(TBorderIcons Value);
  TFormPosition Position() const { return FPosition; }
  void SetPosition(TFormPosition Value) { FPosition = Value; }

  // The form's font, inherited by every control on it: DefaultFormFont unless set.
  const QFont& Font() const { return FFont; }
  void SetFont(const QFont& AFont);

  void SetVisible(bool Value) override;
  // Runs OnClose; unless the handler says caNone the window is hidden, and closing the main form ends
  // the message loop.
  void Close();
  TCloseEvent OnClose;

 protected:
  void CaptionChanged() override;

 private:
  friend class TButton;
  void ApplyWindowFlags();
  // Links the focus chain by tab order and returns it.
  std::vector<QWidget*> ApplyTabOrder();
  // Only the button Enter goes to draws as the default one, however many say Default.
  void ShowDefaultButton() const;
  void CenterOnScreen();
  // Enter or Escape that reached the window unhandled; true when a button took it.
  bool DialogKey(int Key);
  int FClientWidth = 0;
  int FClientHeight = 0;
  TFormBorderStyle FBorderStyle = TFormBorderStyle::bsSizeable;
  TBorderIcons FBorderIcons = biSystemMenu | biMinimize | biMaximize;
  TFormPosition FPosition = TFormPosition::poDesigned;
  QFont FFont;
};

// The form font the layout was drawn with: an 8-point UI face, 11 pixels high, with a fallback that has
// CJK glyphs. Where the design face is missing, the stand-in that TApplication maps it to is drawn
// narrowed to the design face's widths, so a caption such as "LoadFromStream-12345 ms" fits the
// 135-pixel buttons it was laid out for.
QFont DefaultFormFont();
inline constexpr const char* kDesignFace = "Tahoma";
inline constexpr const char* kDesignFaceStandIn = "Liberation Sans";
inline constexpr const char* kCjkFallbackFace = "WenQuanYi Micro Hei";

using TExceptionEvent = std::function<void(TObject* Sender, std::exception_ptr E)>;

// The application object. It creates the Qt application when none exists (tests and tools may make it
// once per process), owns the forms made by CreateForm and frees them before Qt goes. While it exists it
// is also the dataset framework's default exception handler, so an engine's unhandled error is shown
// like any other.
class TApplication : public TComponent {
  VELLUM_CLASS(TApplication)
 public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  void Initialize() {}
  template <class TFormClass>
  void CreateForm(TFormClass*& Reference) {
    Reference = new TFormClass(this);
    if (FMainForm == nullptr) FMainForm = Reference;
  }
  TForm* MainForm() const { return FMainForm; }
  bool MainFormOnTaskBar = false;
  String Title;

  // Shows the main form and runs the message loop until Terminate or the main form closes.
  int Run();
  // Handles every pending event once and returns; never waits for new ones.
  void ProcessMessages();
  void Terminate();

  // Called inside a catch block: passes the exception being handled to OnException, or shows it.
  void HandleException(TObject* Sender);
  // A message box on a screen; on the offscreen and minimal platforms (and with no Qt application) the
  // message goes to stderr, so a headless run never waits on a dialog. EAbort is silent.
  void ShowException(std::exception_ptr E);
  TExceptionEvent OnException;

  static bool IsHeadless();

 private:
  void DispatchException(TObject* Sender, std::exception_ptr E);

  std::unique_ptr<QApplication> FQtApp;  // null when the Qt application was made by someone else
  // The timer host engines reach through platform/classes, installed while this object lives.
  std::unique_ptr<TTimerHost> FTimerHost;
  TTimerHost* FPreviousTimerHost = nullptr;
  TForm* FMainForm = nullptr;
  // The dataset framework's route for exceptions nothing else handles, put back when this object goes.
  std::function<void(TObject*, const std::exception&)> FPreviousDataSetHandler;
};

// The process's application object, set while one exists.
extern TApplication* Application;

// The text of an exception as the platform shows it.
String ExceptionMessage(std::exception_ptr E);
