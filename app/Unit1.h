// app: the benchmark application: the main window TForm1 with its nine engine columns of seven
// buttons, the datasets and memory streams it owns, the timed operations, the data files with their
// zip companions, and the test-all run. Engines reach it only through the engine table
// (app/EngineTable.h: one row per engine); the schema and row generator are the db testing kit's
// (platform/db/testing/BenchmarkSchema.h). It calls platform/gui, platform/zip, platform/db,
// platform/engines and the engines under engines/. main.cpp and the headless test-all driver
// (bench/testall.cpp) call it.
#pragma once

#include <memory>

#include <array>

#include "app/EngineTable.h"
#include "platform/classes/Streams.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/gui/Forms.h"
#include "platform/rtl/Stopwatch.h"

class TDataSet;
class TFDMemTable;
class TClientDataSet;
class TADODataSet;
class TIdMemDataSet;

class TForm1 : public TForm {
  VELLUM_CLASS(TForm1)
 public:
  // ExecutableFolder is where the data folder goes; the real start-up passes the executable's folder,
  // tests a temporary one.
  explicit TForm1(TComponent* AOwner);
  TForm1(TComponent* AOwner, const String& ExecutableFolder);
  ~TForm1() override;

  // Controls on the window.
  TLabel* lblRecordCount = nullptr;
  TSpinEdit* seAppend = nullptr;
  TLabel* Label3 = nullptr;
  TSpinEdit* seInsert = nullptr;
  TCheckBox* chkCompressionDecompressionFile = nullptr;
  TProgressBar* ProgressBar1 = nullptr;
  TButton* btnTestAll = nullptr;
  TButton* btnClose = nullptr;
  TBevel* bvl1 = nullptr;
  TPanel* Panel1 = nullptr;

  // Panel1: the column labels.
  TLabel* lblClientDataset = nullptr;
  TLabel* lblFDMemTable = nullptr;
  TLabel* lblvlxMemTable = nullptr;
  TLabel* lblADODataSet = nullptr;
  TLabel* lblMdbTable = nullptr;
  TLabel* lblMemTableKv = nullptr;
  TLabel* lblQDataSet = nullptr;
  TLabel* Label1 = nullptr;
  TLabel* Label2 = nullptr;

  // Panel1: the button grid.
  TButton *btnFDAppend = nullptr, *btnAppend = nullptr, *btnFDEmptyDataSet = nullptr, *btnEmptyDataSet = nullptr,
          *btnSaveToFile = nullptr, *btnFDSaveToFile = nullptr, *btnLoadFromFile = nullptr,
          *btnFDLoadFromFile = nullptr, *btnSaveToStream = nullptr, *btnFDSaveToStream = nullptr,
          *btnFDLoadFromStream = nullptr, *btnLoadFromStream = nullptr;
  TButton *btnvlxAppend = nullptr, *btnvlxEmptyDataSet = nullptr, *btnvlxSaveToFile = nullptr,
          *btnvlxLoadFromFile = nullptr, *btnvlxSaveToStream = nullptr, *btnvlxLoadFromStream = nullptr;
  TButton *btnADOAppend = nullptr, *btnADOEmptyDataSet = nullptr, *btnADOSaveToFile = nullptr,
          *btnADOLoadFromFile = nullptr, *btnADOSaveToStream = nullptr, *btnADOLoadFromStream = nullptr;
  TButton *btnFDInsert = nullptr, *btnCDSInsert = nullptr, *btnvlxInsert = nullptr, *btnADOInsert = nullptr;
  TButton *btnMdbAppend = nullptr, *btnMdbTableEmptyDataSet = nullptr, *btnMdbSaveToFile = nullptr,
          *btnMdbLoadFromFile = nullptr, *btnMdbSaveToStream = nullptr, *btnMdbLoadFromStream = nullptr,
          *btnMdbInsert = nullptr;
  TButton *btnMemTableKvAppend = nullptr, *btnMemTableKvEmptyDataSet = nullptr, *btnKvSaveToFile = nullptr,
          *btnMemTableKvLoadFromFile = nullptr, *btnMemTableKvSaveToStream = nullptr,
          *btnMemTableKvLoadFromStream = nullptr, *btnMemTableKvInsert = nullptr;
  TButton *btnQDataSetAppend = nullptr, *btnQEmptyDataSet = nullptr, *btnQSaveToFile = nullptr,
          *btnQLoadFromFile = nullptr, *btnQSaveToStream = nullptr, *btnQLoadFromStream = nullptr, *btn7 = nullptr;
  TButton *btnVtAppend = nullptr, *btnVtEmptyDataSet = nullptr, *btnVtSaveToFile = nullptr,
          *btnVtLoadFromFile = nullptr, *btnVtSaveToStream = nullptr, *btnVtLoadFromStream = nullptr,
          *btnVtInsert = nullptr;
  TButton *Button1 = nullptr, *Button2 = nullptr, *Button3 = nullptr, *Button4 = nullptr, *Button5 = nullptr,
          *Button6 = nullptr, *Button7 = nullptr;

  // Click handlers. Append and Insert of a column share one.
  void btnTestAllClick(TObject* Sender);
  void btnCloseClick(TObject* Sender);
  void btnFDAppendClick(TObject* Sender);
  void btnFDSaveToFileClick(TObject* Sender);
  void btnFDSaveToStreamClick(TObject* Sender);
  void btnFDEmptyDataSetClick(TObject* Sender);
  void btnFDLoadFromFileClick(TObject* Sender);
  void btnFDLoadFromStreamClick(TObject* Sender);
  void btnAppendClick(TObject* Sender);
  void btnSaveToFileClick(TObject* Sender);
  void btnSaveToStreamClick(TObject* Sender);
  void btnEmptyDataSetClick(TObject* Sender);
  void btnLoadFromFileClick(TObject* Sender);
  void btnLoadFromStreamClick(TObject* Sender);
  void btnvlxAppendClick(TObject* Sender);
  void btnvlxSaveToFileClick(TObject* Sender);
  void btnvlxSaveToStreamClick(TObject* Sender);
  void btnvlxEmptyDataSetClick(TObject* Sender);
  void btnvlxLoadFromFileClick(TObject* Sender);
  void btnvlxLoadFromStreamClick(TObject* Sender);
  void btnADOAppendClick(TObject* Sender);
  void btnADOSaveToFileClick(TObject* Sender);
  void btnADOSaveToStreamClick(TObject* Sender);
  void btnADOEmptyDataSetClick(TObject* Sender);
  void btnADOLoadFromFileClick(TObject* Sender);
  void btnADOLoadFromStreamClick(TObject* Sender);
  void btnQDataSetAppendClick(TObject* Sender);
  void btnQSaveToFileClick(TObject* Sender);
  void btnQSaveToStreamClick(TObject* Sender);
  void btnQEmptyDataSetClick(TObject* Sender);
  void btnQLoadFromFileClick(TObject* Sender);
  void btnQLoadFromStreamClick(TObject* Sender);
  void btnMdbAppendClick(TObject* Sender);
  void btnMdbSaveToFileClick(TObject* Sender);
  void btnMdbSaveToStreamClick(TObject* Sender);
  void btnMdbTableEmptyDataSetClick(TObject* Sender);
  void btnMdbLoadFromFileClick(TObject* Sender);
  void btnMdbLoadFromStreamClick(TObject* Sender);
  void btnMemTableKvAppendClick(TObject* Sender);
  void btnKvSaveToFileClick(TObject* Sender);
  void btnMemTableKvSaveToStreamClick(TObject* Sender);
  void btnMemTableKvEmptyDataSetClick(TObject* Sender);
  void btnMemTableKvLoadFromFileClick(TObject* Sender);
  void btnMemTableKvLoadFromStreamClick(TObject* Sender);
  void btnVtAppendClick(TObject* Sender);
  void btnVtSaveToFileClick(TObject* Sender);
  void btnVtSaveToStreamClick(TObject* Sender);
  void btnVtEmptyDataSetClick(TObject* Sender);
  void btnVtLoadFromFileClick(TObject* Sender);
  void btnVtLoadFromStreamClick(TObject* Sender);
  void Button1Click(TObject* Sender);
  void Button7Click(TObject* Sender);
  void Button3Click(TObject* Sender);
  void Button5Click(TObject* Sender);
  void Button2Click(TObject* Sender);
  void Button4Click(TObject* Sender);
  void Button6Click(TObject* Sender);

  void FormClose(TObject* Sender, TCloseAction& Action);

  // Timed operations (Sender is the clicked button).
  void AppendOrInsertRows(TObject* Sender, TDataSet* DataSet);
  void SaveEngineToFile(TObject* Sender, TDataSet* DataSet);
  void SaveEngineToStream(TObject* Sender, TDataSet* DataSet, TMemoryStream* Stream);
  void EmptyEngine(TObject* Sender, TDataSet* DataSet);
  void LoadEngineFromFile(TObject* Sender, TDataSet* DataSet);
  void LoadEngineFromStream(TObject* Sender, TDataSet* DataSet, TMemoryStream* Stream);
  void StartTiming(TObject* Sender);
  void StopTiming(TObject* Sender);

  String DataFileName(const TDataSet* DataSet) const;
  static void ZipDataFile(const String& FileName);
  static void UnzipDataFile(const String& ZipFileName);

  void ShowProgressBar(TControl* Control, int Count);
  static void SetBoundsFromRect(TControl* Control, const TRect& Rect);
  void ClickEmptyDataSetButtons();

  // Read access for tests and the headless driver.
  const String& FilePath() const { return FFilePath; }
  TFDMemTable* FDMemTable() const;
  TClientDataSet* ClientDataSet() const;
  TADODataSet* ADODataSet() const;
  TIdMemDataSet* IdMemTable() const;
  TDataSet* vlxMemTable() const { return DataSetOf(TEngineKind::ekvlx); }
  TDataSet* MdbTable() const { return DataSetOf(TEngineKind::ekMdb); }
  TDataSet* MemTableKv() const { return DataSetOf(TEngineKind::ekKv); }
  TDataSet* VirtTable() const { return DataSetOf(TEngineKind::ekVirtTable); }
  // The dataset of an engine column; nullptr while that engine is not built.
  TDataSet* DataSetOf(TEngineKind Kind) const { return Kind == TEngineKind::ekNone ? nullptr : FDataSets[static_cast<std::size_t>(Kind)]; }
  TMemoryStream* FDStream() const { return FFDStream.get(); }
  TMemoryStream* CDSStream() const { return FCDSStream.get(); }
  TMemoryStream* ADOStream() const { return FADOStream.get(); }
  TMemoryStream* IdMemStream() const { return FIdMemStream.get(); }

 private:
  void CreateControls();
  void FormCreate(TObject* Sender);
  void FormDestroy(TObject* Sender);
  void EnableBuiltColumns();
  // True when the test-all walk leaves Button out (its engine row's quirk).
  bool TestAllSkips(const TButton* Button) const;

  String FExecutableFolder;

  TStopwatch FStopwatch;
  String FFilePath;
  std::unique_ptr<TMemoryStream> FFDStream, FCDSStream, FADOStream, FvlxStream, FMdbStream, FQDataSetStream,
      FKvlibStream, FVtStream;
  // One dataset per engine column, indexed by TEngineKind, made by the engine table's rows and owned by
  // this window as their owner component. The engines not built yet stay null; their columns stay
  // disabled. (An engine's helper objects, such as a stream format component, belong to its dataset.)
  std::array<TDataSet*, static_cast<std::size_t>(TEngineKind::ekNone)> FDataSets{};
  std::unique_ptr<TMemoryStream> FIdMemStream;
};

extern TForm1* Form1;

// Registers the application's units, after the platform's, into the start-up list main runs.
class TUnitList;
void RegisterAppUnits(TUnitList& Units);
