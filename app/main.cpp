// The benchmark's start-up: every unit's initialisation in an explicit order (the platform's first,
// then the application's, so its Deflate handler replaces the zip unit's), then the application object,
// the main window and the message loop. Closing the window ends the process from its close handler.
#include "app/Unit1.h"
#include "engines/virttable/VtUtils.h"
#include "platform/rtl/Init.h"
#include "platform/zip/Zip.h"

int main(int argc, char** argv) {
  TUnitList units;
  RegisterRtlUnit(units);
  RegisterZipUnit(units);
  vt::RegisterVirtTableUnit(units);
  RegisterAppUnits(units);
  units.Initialize();

  TApplication application(argc, argv);
  Application->Initialize();
  Application->MainFormOnTaskBar = true;
  Application->CreateForm(Form1);
  return Application->Run();
}
