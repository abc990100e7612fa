// The engine-facing half of the main window: the Append/Insert runs and the five timed save, load and
// empty operations, each driven through the dataset's row in the engine table.
#include "app/Unit1.h"

#include "platform/classes/Files.h"
#include "platform/db/DB.h"

// ---- Append and Insert runs ----

void TForm1::AppendOrInsertRows(TObject* Sender, TDataSet* DataSet) {
  auto* control = dynamic_cast<TControl*>(Sender);
  // A caption that already shows an earlier time still names its operation first.
  const bool append = control != nullptr && control->Caption().find(u"Append") != String::npos;
  const int appendCount = seAppend->Value();
  const int insertCount = seInsert->Value();
  const int count = append ? appendCount : insertCount;

  // Untimed preparation.
  const TEngineRow* row = EngineRowOf(DataSet);
  if (row != nullptr && row->BeginRows != nullptr) row->BeginRows(DataSet);
  else if (DataSet != nullptr) DataSet->DisableControls();

  StartTiming(Sender);
  std::exception_ptr failure;
  try {
    if (DataSet != nullptr) {
      const TBenchmarkFields fields(*DataSet);
      for (int i = 1; i <= count - 1; ++i) {
        if (append) DataSet->Append();
        else DataSet->Insert();
        FillBenchmarkRow(fields, i + 1);
        DataSet->Post();
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Ending the batch or re-enabling controls is timed; whatever fails, the caption and the button are
  // restored, and the first failure is the one passed on.
  try {
    if (row != nullptr && row->EndRows != nullptr) row->EndRows(DataSet);
    else if (DataSet != nullptr) DataSet->EnableControls();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  StopTiming(Sender);
  if (failure) std::rethrow_exception(failure);
}

// ---- the five timed operations ----

namespace {

// Runs Steps between StartTiming and StopTiming; StopTiming runs also when Steps raises.
template <class TSteps>
void Timed(TForm1& Form, TObject* Sender, TSteps&& Steps) {
  Form.StartTiming(Sender);
  try {
    Steps();
  } catch (...) {
    Form.StopTiming(Sender);
    throw;
  }
  Form.StopTiming(Sender);
}

}  // namespace

void TForm1::SaveEngineToFile(TObject* Sender, TDataSet* DataSet) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    const String name = DataFileName(DataSet);
    if (FileExists(name)) DeleteFile(name);
    if (const TEngineRow* row = EngineRowOf(DataSet)) row->SaveToFile(DataSet, name);
    if (chkCompressionDecompressionFile->Checked()) ZipDataFile(name);
  });
}

void TForm1::SaveEngineToStream(TObject* Sender, TDataSet* DataSet, TMemoryStream* Stream) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    Stream->SetSize(0);
    if (const TEngineRow* row = EngineRowOf(DataSet)) row->SaveToStream(DataSet, Stream);
  });
}

void TForm1::EmptyEngine(TObject* Sender, TDataSet* DataSet) {
  Timed(*this, Sender, [&] {
    if (const TEngineRow* row = EngineRowOf(DataSet)) row->EmptyDataSet(DataSet);
  });
}

void TForm1::LoadEngineFromFile(TObject* Sender, TDataSet* DataSet) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    const String name = DataFileName(DataSet);
    if (chkCompressionDecompressionFile->Checked()) UnzipDataFile(ChangeFileExt(name, u".zip"));
    // A data file never saved loads nothing.
    if (!FileExists(name)) return;
    if (const TEngineRow* row = EngineRowOf(DataSet)) row->LoadFromFile(DataSet, name);
  });
}

void TForm1::LoadEngineFromStream(TObject* Sender, TDataSet* DataSet, TMemoryStream* Stream) {
  Timed(*this, Sender, [&] {
    if (DataSet == nullptr) return;
    Stream->SetPosition(0);
    if (const TEngineRow* row = EngineRowOf(DataSet)) row->LoadFromStream(DataSet, Stream);
  });
}
