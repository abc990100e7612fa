#include "platform/rtl/Init.h"
#include "platform/zip/Zip.h"

// Kept apart from Zip.cpp so a program that never builds a unit list does not link one.
void RegisterZipUnit(TUnitList& Units) { Units.Add({"zip", &InitializeZipUnit, nullptr}); }
