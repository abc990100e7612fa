#include "app/Unit1.h"

#include <algorithm>

#include "app/EnforceMaxZipFileCompression.h"
#include "engines/fieldlist/IdDataSet.h"
#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/SQLDataDriverKv.h"
#include "platform/classes/Files.h"
#include "platform/engines/Engines.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Init.h"
#include "platform/rtl/Random.h"
#include "platform/zip/Zip.h"

TForm1* Form1 = nullptr;

// ---- the form definition ----

namespace {

constexpr int kButtonWidth = 135;
constexpr int kButtonHeight = 21;

// One cell of the button grid, in Panel1's control order.
struct TGridButton {
  TButton* TForm1::*Field;
  const char16_t* Name;
  int Left;
  int Top;
  int TabOrder;
  const char16_t* Caption;
  void (TForm1::*Handler)(TObject*);
};

const TGridButton kGrid[] = {
    {&TForm1::btnFDAppend, u"btnFDAppend", 27, 31, 0, u"Append", &TForm1::btnFDAppendClick},
    {&TForm1::btnAppend, u"btnAppend", 168, 31, 2, u"Append", &TForm1::btnAppendClick},
    {&TForm1::btnFDEmptyDataSet, u"btnFDEmptyDataSet", 27, 130, 20, u"EmptyDataSet", &TForm1::btnFDEmptyDataSetClick},
    {&TForm1::btnEmptyDataSet, u"btnEmptyDataSet", 168, 130, 21, u"EmptyDataSet", &TForm1::btnEmptyDataSetClick},
    {&TForm1::btnSaveToFile, u"btnSaveToFile", 168, 81, 11, u"SaveToFile", &TForm1::btnSaveToFileClick},
    {&TForm1::btnFDSaveToFile, u"btnFDSaveToFile", 27, 81, 10, u"SaveToFile", &TForm1::btnFDSaveToFileClick},
    {&TForm1::btnLoadFromFile, u"btnLoadFromFile", 168, 155, 26, u"LoadFromFile", &TForm1::btnLoadFromFileClick},
    {&TForm1::btnFDLoadFromFile, u"btnFDLoadFromFile", 27, 155, 25, u"LoadFromFile", &TForm1::btnFDLoadFromFileClick},
    {&TForm1::btnSaveToStream, u"btnSaveToStream", 168, 105, 16, u"SaveToStream", &TForm1::btnSaveToStreamClick},
    {&TForm1::btnFDSaveToStream, u"btnFDSaveToStream", 27, 105, 15, u"SaveToStream", &TForm1::btnFDSaveToStreamClick},
    {&TForm1::btnFDLoadFromStream, u"btnFDLoadFromStream", 27, 180, 30, u"LoadFromStream", &TForm1::btnFDLoadFromStreamClick},
    {&TForm1::btnLoadFromStream, u"btnLoadFromStream", 168, 180, 31, u"LoadFromStream", &TForm1::btnLoadFromStreamClick},
    {&TForm1::btnvlxAppend, u"btnvlxAppend", 309, 31, 3, u"Append", &TForm1::btnvlxAppendClick},
    {&TForm1::btnvlxEmptyDataSet, u"btnvlxEmptyDataSet", 309, 130, 22, u"EmptyDataSet", &TForm1::btnvlxEmptyDataSetClick},
    {&TForm1::btnvlxSaveToFile, u"btnvlxSaveToFile", 309, 81, 12, u"SaveToFile", &TForm1::btnvlxSaveToFileClick},
    {&TForm1::btnvlxLoadFromFile, u"btnvlxLoadFromFile", 309, 155, 27, u"LoadFromFile", &TForm1::btnvlxLoadFromFileClick},
    {&TForm1::btnvlxSaveToStream, u"btnvlxSaveToStream", 309, 105, 17, u"SaveToStream", &TForm1::btnvlxSaveToStreamClick},
    {&TForm1::btnvlxLoadFromStream, u"btnvlxLoadFromStream", 309, 180, 32, u"LoadFromStream", &TForm1::btnvlxLoadFromStreamClick},
    {&TForm1::btnADOAppend, u"btnADOAppend", 450, 31, 4, u"Append", &TForm1::btnADOAppendClick},
    {&TForm1::btnADOEmptyDataSet, u"btnADOEmptyDataSet", 450, 130, 23, u"EmptyDataSet", &TForm1::btnADOEmptyDataSetClick},
    {&TForm1::btnADOSaveToFile, u"btnADOSaveToFile", 450, 81, 13, u"SaveToFile", &TForm1::btnADOSaveToFileClick},
    {&TForm1::btnADOLoadFromFile, u"btnADOLoadFromFile", 450, 155, 28, u"LoadFromFile", &TForm1::btnADOLoadFromFileClick},
    {&TForm1::btnADOSaveToStream, u"btnADOSaveToStream", 450, 105, 18, u"SaveToStream", &TForm1::btnADOSaveToStreamClick},
    {&TForm1::btnADOLoadFromStream, u"btnADOLoadFromStream", 450, 180, 33, u"LoadFromStream", &TForm1::btnADOLoadFromStreamClick},
    {&TForm1::btnFDInsert, u"btnFDInsert", 27, 56, 5, u"Insert", &TForm1::btnFDAppendClick},
    {&TForm1::btnCDSInsert, u"btnCDSInsert", 168, 56, 6, u"Insert", &TForm1::btnAppendClick},
    {&TForm1::btnvlxInsert, u"btnvlxInsert", 309, 56, 7, u"Insert", &TForm1::btnvlxAppendClick},
    {&TForm1::btnADOInsert, u"btnADOInsert", 450, 56, 8, u"Insert", &TForm1::btnADOAppendClick},
    {&TForm1::btnMdbAppend, u"btnMdbAppend", 27, 236, 35, u"Append", &TForm1::btnMdbAppendClick},
    {&TForm1::btnMdbTableEmptyDataSet, u"btnMdbTableEmptyDataSet", 27, 333, 51, u"EmptyDataSet", &TForm1::btnMdbTableEmptyDataSetClick},
    {&TForm1::btnMdbSaveToFile, u"btnMdbSaveToFile", 27, 285, 43, u"SaveToFile", &TForm1::btnMdbSaveToFileClick},
    {&TForm1::btnMdbLoadFromFile, u"btnMdbLoadFromFile", 27, 358, 55, u"LoadFromFile", &TForm1::btnMdbLoadFromFileClick},
    {&TForm1::btnMdbSaveToStream, u"btnMdbSaveToStream", 27, 309, 47, u"SaveToStream", &TForm1::btnMdbSaveToStreamClick},
    {&TForm1::btnMdbLoadFromStream, u"btnMdbLoadFromStream", 27, 382, 59, u"LoadFromStream", &TForm1::btnMdbLoadFromStreamClick},
    {&TForm1::btnMdbInsert, u"btnMdbInsert", 27, 260, 39, u"Insert", &TForm1::btnMdbAppendClick},
    {&TForm1::btnMemTableKvAppend, u"btnMemTableKvAppend", 168, 260, 40, u"Append", &TForm1::btnMemTableKvAppendClick},
    {&TForm1::btnMemTableKvEmptyDataSet, u"btnMemTableKvEmptyDataSet", 168, 333, 52, u"EmptyDataSet", &TForm1::btnMemTableKvEmptyDataSetClick},
    {&TForm1::btnKvSaveToFile, u"btnKvSaveToFile", 168, 285, 44, u"SaveToFile", &TForm1::btnKvSaveToFileClick},
    {&TForm1::btnMemTableKvLoadFromFile, u"btnMemTableKvLoadFromFile", 168, 358, 56, u"LoadFromFile", &TForm1::btnMemTableKvLoadFromFileClick},
    {&TForm1::btnMemTableKvSaveToStream, u"btnMemTableKvSaveToStream", 168, 309, 48, u"SaveToStream", &TForm1::btnMemTableKvSaveToStreamClick},
    {&TForm1::btnMemTableKvLoadFromStream, u"btnMemTableKvLoadFromStream", 168, 382, 60, u"LoadFromStream", &TForm1::btnMemTableKvLoadFromStreamClick},
    {&TForm1::btnMemTableKvInsert, u"btnMemTableKvInsert", 168, 236, 36, u"Insert", &TForm1::btnMemTableKvAppendClick},
    {&TForm1::btnQDataSetAppend, u"btnQDataSetAppend", 591, 31, 1, u"Append", &TForm1::btnQDataSetAppendClick},
    {&TForm1::btnQEmptyDataSet, u"btnQEmptyDataSet", 591, 130, 24, u"EmptyDataSet", &TForm1::btnQEmptyDataSetClick},
    {&TForm1::btnQSaveToFile, u"btnQSaveToFile", 591, 81, 14, u"SaveToFile", &TForm1::btnQSaveToFileClick},
    {&TForm1::btnQLoadFromFile, u"btnQLoadFromFile", 591, 155, 29, u"LoadFromFile", &TForm1::btnQLoadFromFileClick},
    {&TForm1::btnQSaveToStream, u"btnQSaveToStream", 591, 105, 19, u"SaveToStream", &TForm1::btnQSaveToStreamClick},
    {&TForm1::btnQLoadFromStream, u"btnQLoadFromStream", 591, 180, 34, u"LoadFromStream", &TForm1::btnQLoadFromStreamClick},
    {&TForm1::btn7, u"btn7", 591, 56, 9, u"Insert", &TForm1::btnQDataSetAppendClick},
    {&TForm1::btnVtAppend, u"btnVtAppend", 309, 236, 37, u"Append", &TForm1::btnVtAppendClick},
    {&TForm1::btnVtEmptyDataSet, u"btnVtEmptyDataSet", 309, 333, 53, u"EmptyDataSet", &TForm1::btnVtEmptyDataSetClick},
    {&TForm1::btnVtSaveToFile, u"btnVtSaveToFile", 309, 285, 45, u"SaveToFile", &TForm1::btnVtSaveToFileClick},
    {&TForm1::btnVtLoadFromFile, u"btnVtLoadFromFile", 309, 358, 57, u"LoadFromFile", &TForm1::btnVtLoadFromFileClick},
    {&TForm1::btnVtSaveToStream, u"btnVtSaveToStream", 309, 309, 49, u"SaveToStream", &TForm1::btnVtSaveToStreamClick},
    {&TForm1::btnVtLoadFromStream, u"btnVtLoadFromStream", 309, 382, 61, u"LoadFromStream", &TForm1::btnVtLoadFromStreamClick},
    {&TForm1::btnVtInsert, u"btnVtInsert", 309, 260, 41, u"Insert", &TForm1::btnVtAppendClick},
    {&TForm1::Button1, u"Button1", 450, 236, 38, u"Append", &TForm1::Button1Click},
    {&TForm1::Button2, u"Button2", 450, 333, 54, u"EmptyDataSet", &TForm1::Button2Click},
    {&TForm1::Button3, u"Button3", 450, 285, 46, u"SaveToFile", &TForm1::Button3Click},
    {&TForm1::Button4, u"Button4", 450, 358, 58, u"LoadFromFile", &TForm1::Button4Click},
    {&TForm1::Button5, u"Button5", 450, 309, 50, u"SaveToStream", &TForm1::Button5Click},
    {&TForm1::Button6, u"Button6", 450, 382, 62, u"LoadFromStream", &TForm1::Button6Click},
    {&TForm1::Button7, u"Button7", 450, 260, 42, u"Insert", &TForm1::Button7Click},
};

struct TPanelLabel {
  TLabel* TForm1::*Field;
  const char16_t* Name;
  const char16_t* Caption;
  int Left;
  int Top;
  bool Visible;
};

const TPanelLabel kPanelLabels[] = {
    {&TForm1::lblClientDataset, u"lblClientDataset", u"TClientDataSet", 193, 14, true},
    {&TForm1::lblFDMemTable, u"lblFDMemTable", u"TFDMemTable", 55, 14, true},
    {&TForm1::lblvlxMemTable, u"lblvlxMemTable", u"TvlxMemTable", 324, 14, true},
    {&TForm1::lblADODataSet, u"lblADODataSet", u"TADODataSet", 484, 14, true},
    {&TForm1::lblMdbTable, u"lblMdbTable", u"TMdbTable", 45, 220, true},
    {&TForm1::lblMemTableKv, u"lblMemTableKv", u"TMemTableKv", 190, 220, true},
    {&TForm1::lblQDataSet, u"lblQDataSet", u"TQDataSet", 635, 15, false},
    {&TForm1::Label1, u"Label1", u"TVirtTable", 325, 220, true},
    {&TForm1::Label2, u"Label2", u"TIdMemDataSet", 479, 220, true},
};

// The suffix names the build the process runs as.
constexpr const char16_t* kBitnessSuffix = sizeof(void*) == 8 ? u" (64-bit)" : u" (32-bit)";

}  // namespace

TForm1::TForm1(TComponent* AOwner) : TForm1(AOwner, ExecutableFolder()) {}

TForm1::TForm1(TComponent* AOwner, const String& ExecutableFolder)
    : TForm(AOwner), FExecutableFolder(ExecutableFolder) {
  CreateControls();
  FormCreate(this);
}

TForm1::~TForm1() { FormDestroy(this); }

void TForm1::CreateControls() {
  SetName(u"Form1");
  SetCaption(u"Vellum 内存表性能测试");
  SetBorderStyle(TFormBorderStyle::bsSingle);
  SetBorderIcons(biSystemMenu | biMinimize);
  SetPosition(TFormPosition::poScreenCenter);
  SetClientSize(598, 490);
  OnClose = [this](TObject* Sender, TCloseAction& Action) { FormClose(Sender, Action); };

  auto label = [this](TWinControl* parent, const char16_t* name, const char16_t* caption, int left, int top) {
    auto* l = new TLabel(this);
    l->SetName(name);
    l->SetParent(parent);
    l->SetBounds(left, top, 0, 0);
    l->SetCaption(caption);
    return l;
  };
  auto spin = [this](const char16_t* name, int left, int top, int tabOrder) {
    auto* s = new TSpinEdit(this);
    s->SetName(name);
    s->SetParent(this);
    s->SetBounds(left, top, 70, 22);
    s->SetMinValue(0);
    s->SetMaxValue(0);
    s->SetIncrement(10000);
    s->SetValue(50000);
    s->SetTabOrder(tabOrder);
    return s;
  };
  auto button = [this](TWinControl* parent, const char16_t* name, const TRect& r, int tabOrder, const char16_t* caption,
                       void (TForm1::*handler)(TObject*)) {
    auto* b = new TButton(this);
    b->SetName(name);
    b->SetParent(parent);
    b->SetBoundsRect(r);
    b->SetTabOrder(tabOrder);
    b->SetCaption(caption);
    b->OnClick = [this, handler](TObject* Sender) { (this->*handler)(Sender); };
    return b;
  };

  lblRecordCount = label(this, u"lblRecordCount", u"Append 行数", 14, 13);
  seAppend = spin(u"seAppend", 82, 9, 1);
  Label3 = label(this, u"Label3", u"Insert 行数", 22, 42);
  seInsert = spin(u"seInsert", 82, 37, 5);

  chkCompressionDecompressionFile = new TCheckBox(this);
  chkCompressionDecompressionFile->SetName(u"chkCompressionDecompressionFile");
  chkCompressionDecompressionFile->SetParent(this);
  chkCompressionDecompressionFile->SetBounds(158, 11, 251, 17);
  chkCompressionDecompressionFile->SetCaption(u"压缩/解压缩文件（SaveToFile/LoadFromFile）");
  chkCompressionDecompressionFile->SetTabOrder(2);

  ProgressBar1 = new TProgressBar(this);
  ProgressBar1->SetName(u"ProgressBar1");
  ProgressBar1->SetParent(this);
  ProgressBar1->SetBounds(158, 34, 155, 17);
  ProgressBar1->SetTabOrder(3);
  ProgressBar1->SetVisible(false);

  btnTestAll = button(this, u"btnTestAll", Bounds(441, 8, 135, 21), 0, u"测试", &TForm1::btnTestAllClick);
  btnTestAll->SetFontBold(true);
  btnTestAll->SetDefault(true);
  btnClose = button(this, u"btnClose", Bounds(441, 35, 135, 21), 4, u"关闭", &TForm1::btnCloseClick);
  btnClose->SetFontBold(true);
  btnClose->SetDefault(true);

  bvl1 = new TBevel(this);
  bvl1->SetName(u"bvl1");
  bvl1->SetParent(this);
  bvl1->SetBounds(-7, 71, 612, 2);
  bvl1->SetAnchors(akLeft | akTop | akRight);

  Panel1 = new TPanel(this);
  Panel1->SetName(u"Panel1");
  Panel1->SetParent(this);
  Panel1->SetBounds(-9, 70, 753, 419);
  Panel1->SetBevelOuter(TPanelBevel::bvNone);
  Panel1->SetTabOrder(6);

  for (const TPanelLabel& l : kPanelLabels) {
    TLabel* made = label(Panel1, l.Name, l.Caption, l.Left, l.Top);
    made->SetVisible(l.Visible);
    this->*l.Field = made;
  }
  for (const TGridButton& g : kGrid) {
    this->*g.Field = button(Panel1, g.Name, Bounds(g.Left, g.Top, kButtonWidth, kButtonHeight), g.TabOrder, g.Caption,
                            g.Handler);
  }
  // The ninth column is kept in the grid but never offered.
  for (TButton* b : {btnQDataSetAppend, btn7, btnQSaveToFile, btnQSaveToStream, btnQEmptyDataSet, btnQLoadFromFile,
                     btnQLoadFromStream}) {
    b->SetVisible(false);
    b->SetEnabled(false);
  }
}

// ---- start-up and shut-down ----

namespace {

// The window's engine columns: each column's buttons in the order Append, Insert, SaveToFile,
// SaveToStream, EmptyDataSet, LoadFromFile, LoadFromStream. This is the window's fixed layout; which
// columns have an engine is the engine table's business.
struct TEngineColumn {
  TEngineKind Kind;
  TButton* TForm1::*Buttons[7];
};

const TEngineColumn kEngineColumns[] = {
    {TEngineKind::ekFDMemTable, {&TForm1::btnFDAppend, &TForm1::btnFDInsert, &TForm1::btnFDSaveToFile,
                                 &TForm1::btnFDSaveToStream, &TForm1::btnFDEmptyDataSet, &TForm1::btnFDLoadFromFile,
                                 &TForm1::btnFDLoadFromStream}},
    {TEngineKind::ekClientDataSet, {&TForm1::btnAppend, &TForm1::btnCDSInsert, &TForm1::btnSaveToFile,
                                    &TForm1::btnSaveToStream, &TForm1::btnEmptyDataSet, &TForm1::btnLoadFromFile,
                                    &TForm1::btnLoadFromStream}},
    {TEngineKind::ekvlx, {&TForm1::btnvlxAppend, &TForm1::btnvlxInsert, &TForm1::btnvlxSaveToFile,
                          &TForm1::btnvlxSaveToStream, &TForm1::btnvlxEmptyDataSet, &TForm1::btnvlxLoadFromFile,
                          &TForm1::btnvlxLoadFromStream}},
    {TEngineKind::ekADO, {&TForm1::btnADOAppend, &TForm1::btnADOInsert, &TForm1::btnADOSaveToFile,
                          &TForm1::btnADOSaveToStream, &TForm1::btnADOEmptyDataSet, &TForm1::btnADOLoadFromFile,
                          &TForm1::btnADOLoadFromStream}},
    {TEngineKind::ekMdb, {&TForm1::btnMdbAppend, &TForm1::btnMdbInsert, &TForm1::btnMdbSaveToFile,
                          &TForm1::btnMdbSaveToStream, &TForm1::btnMdbTableEmptyDataSet, &TForm1::btnMdbLoadFromFile,
                          &TForm1::btnMdbLoadFromStream}},
    {TEngineKind::ekKv, {&TForm1::btnMemTableKvAppend, &TForm1::btnMemTableKvInsert, &TForm1::btnKvSaveToFile,
                         &TForm1::btnMemTableKvSaveToStream, &TForm1::btnMemTableKvEmptyDataSet,
                         &TForm1::btnMemTableKvLoadFromFile, &TForm1::btnMemTableKvLoadFromStream}},
    {TEngineKind::ekVirtTable, {&TForm1::btnVtAppend, &TForm1::btnVtInsert, &TForm1::btnVtSaveToFile,
                                &TForm1::btnVtSaveToStream, &TForm1::btnVtEmptyDataSet, &TForm1::btnVtLoadFromFile,
                                &TForm1::btnVtLoadFromStream}},
    {TEngineKind::ekIdMem, {&TForm1::Button1, &TForm1::Button7, &TForm1::Button3, &TForm1::Button5, &TForm1::Button2,
                            &TForm1::Button4, &TForm1::Button6}},
};
constexpr int kInsertButton = 1;

}  // namespace

void TForm1::FormCreate(TObject*) {
  // Every engine the table knows gets its column's dataset, in the table's order.
  for (const TEngineRow* row : EngineRows()) FDataSets[static_cast<std::size_t>(row->Kind)] = row->Create(this);

  FADOStream = std::make_unique<TMemoryStream>();
  FCDSStream = std::make_unique<TMemoryStream>();
  FFDStream = std::make_unique<TMemoryStream>();
  FvlxStream = std::make_unique<TMemoryStream>();
  FMdbStream = std::make_unique<TMemoryStream>();
  FQDataSetStream = std::make_unique<TMemoryStream>();
  FVtStream = std::make_unique<TMemoryStream>();
  FKvlibStream = std::make_unique<TMemoryStream>();
  FIdMemStream = std::make_unique<TMemoryStream>();

  FFilePath = IncludeTrailingPathDelimiter(FExecutableFolder);
  SetCaption(Caption() + u" with V10.1");
  FFilePath += u"BinaryStreamV10.1";
  // A folder that cannot be made shows up as the first save's own file error.
  if (!DirectoryExists(FFilePath)) ForceDirectories(FFilePath);
  FFilePath = IncludeTrailingPathDelimiter(FFilePath);
  SetCaption(Caption() + kBitnessSuffix);

  EnableBuiltColumns();
}

void TForm1::EnableBuiltColumns() {
  // A column whose engine is not built has no dataset: its buttons stay on the grid, disabled, so the
  // test-all walk passes them over.
  for (const TEngineColumn& c : kEngineColumns)
    if (DataSetOf(c.Kind) == nullptr)
      for (TButton* TForm1::*b : c.Buttons) (this->*b)->SetEnabled(false);
}

void TForm1::FormDestroy(TObject*) {
  // Freeing a component detaches it from its owner, so the window does not free it again; the rest
  // of the components go with the owner.
  FFDStream.reset();
  FCDSStream.reset();
  FADOStream.reset();
  FvlxStream.reset();
  FMdbStream.reset();
  FQDataSetStream.reset();
  FKvlibStream.reset();
  FVtStream.reset();
  for (TDataSet*& dataSet : FDataSets) {
    delete dataSet;
    dataSet = nullptr;
  }
  FIdMemStream.reset();
}

TFDMemTable* TForm1::FDMemTable() const { return static_cast<TFDMemTable*>(DataSetOf(TEngineKind::ekFDMemTable)); }
TClientDataSet* TForm1::ClientDataSet() const {
  return static_cast<TClientDataSet*>(DataSetOf(TEngineKind::ekClientDataSet));
}
TADODataSet* TForm1::ADODataSet() const { return static_cast<TADODataSet*>(DataSetOf(TEngineKind::ekADO)); }
TIdMemDataSet* TForm1::IdMemTable() const { return static_cast<TIdMemDataSet*>(DataSetOf(TEngineKind::ekIdMem)); }

void TForm1::FormClose(TObject*, TCloseAction&) {
  // Ends the process at once with exit code 0: nothing is freed and no finalisation runs.
  TerminateProcessNow();
}

void TForm1::btnCloseClick(TObject*) { Close(); }

// ---- click handlers ----

void TForm1::btnFDAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekFDMemTable)); }
void TForm1::btnFDSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekFDMemTable)); }
void TForm1::btnFDSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekFDMemTable), FFDStream.get()); }
void TForm1::btnFDEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekFDMemTable)); }
void TForm1::btnFDLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekFDMemTable)); }
void TForm1::btnFDLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekFDMemTable), FFDStream.get()); }

void TForm1::btnAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekClientDataSet)); }
void TForm1::btnSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekClientDataSet)); }
void TForm1::btnSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekClientDataSet), FCDSStream.get()); }
void TForm1::btnEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekClientDataSet)); }
void TForm1::btnLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekClientDataSet)); }
void TForm1::btnLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekClientDataSet), FCDSStream.get()); }

void TForm1::btnvlxAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekvlx)); }
void TForm1::btnvlxSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekvlx)); }
void TForm1::btnvlxSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekvlx), FvlxStream.get()); }
void TForm1::btnvlxEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekvlx)); }
void TForm1::btnvlxLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekvlx)); }
void TForm1::btnvlxLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekvlx), FvlxStream.get()); }

void TForm1::btnADOAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekADO)); }
void TForm1::btnADOSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekADO)); }
void TForm1::btnADOSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekADO), FADOStream.get()); }
void TForm1::btnADOEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekADO)); }
void TForm1::btnADOLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekADO)); }
void TForm1::btnADOLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekADO), FADOStream.get()); }

// The hidden ninth column's buttons are disabled and do nothing.
void TForm1::btnQDataSetAppendClick(TObject*) {}
void TForm1::btnQSaveToFileClick(TObject*) {}
void TForm1::btnQSaveToStreamClick(TObject*) {}
void TForm1::btnQEmptyDataSetClick(TObject*) {}
void TForm1::btnQLoadFromFileClick(TObject*) {}
void TForm1::btnQLoadFromStreamClick(TObject*) {}

void TForm1::btnMdbAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekMdb)); }
void TForm1::btnMdbSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekMdb)); }
void TForm1::btnMdbSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekMdb), FMdbStream.get()); }
void TForm1::btnMdbTableEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekMdb)); }
void TForm1::btnMdbLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekMdb)); }
void TForm1::btnMdbLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekMdb), FMdbStream.get()); }

void TForm1::btnMemTableKvAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekKv)); }
void TForm1::btnKvSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekKv)); }
void TForm1::btnMemTableKvSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekKv), FKvlibStream.get()); }
void TForm1::btnMemTableKvEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekKv)); }
void TForm1::btnMemTableKvLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekKv)); }
void TForm1::btnMemTableKvLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekKv), FKvlibStream.get()); }

void TForm1::btnVtAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekVirtTable)); }
void TForm1::btnVtSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekVirtTable)); }
void TForm1::btnVtSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekVirtTable), FVtStream.get()); }
void TForm1::btnVtEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekVirtTable)); }
void TForm1::btnVtLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekVirtTable)); }
void TForm1::btnVtLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekVirtTable), FVtStream.get()); }

void TForm1::Button1Click(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekIdMem)); }
void TForm1::Button7Click(TObject* Sender) { AppendOrInsertRows(Sender, DataSetOf(TEngineKind::ekIdMem)); }
void TForm1::Button3Click(TObject* Sender) { SaveEngineToFile(Sender, DataSetOf(TEngineKind::ekIdMem)); }
void TForm1::Button5Click(TObject* Sender) { SaveEngineToStream(Sender, DataSetOf(TEngineKind::ekIdMem), FIdMemStream.get()); }
void TForm1::Button2Click(TObject* Sender) { EmptyEngine(Sender, DataSetOf(TEngineKind::ekIdMem)); }
void TForm1::Button4Click(TObject* Sender) { LoadEngineFromFile(Sender, DataSetOf(TEngineKind::ekIdMem)); }
void TForm1::Button6Click(TObject* Sender) { LoadEngineFromStream(Sender, DataSetOf(TEngineKind::ekIdMem), FIdMemStream.get()); }

// ---- timing ----

void TForm1::StartTiming(TObject* Sender) {
  if (auto* control = dynamic_cast<TControl*>(Sender)) control->SetEnabled(false);
  FStopwatch = TStopwatch::StartNew();
}

void TForm1::StopTiming(TObject* Sender) {
  auto* button = dynamic_cast<TButton*>(Sender);
  if (button == nullptr) return;
  String text = button->Caption();
  // A caption that already shows a time keeps only the operation's name; a leading "-" is part of it.
  const std::size_t dash = text.find(u'-');
  if (dash != String::npos && dash > 0) text.resize(dash);
  button->SetCaption(Format(u"%s-%d ms", {text, static_cast<Int64>(FStopwatch.ElapsedMilliseconds())}));
  button->SetEnabled(true);
}

// ---- data files and their zip companions ----

String TForm1::DataFileName(const TDataSet* DataSet) const { return FFilePath + DataSet->ClassName() + u".dat"; }

void TForm1::ZipDataFile(const String& FileName) {
  TZipFile zip;
  zip.Open(ChangeFileExt(FileName, u".zip"), TZipMode::zmWrite);
  zip.Add(FileName, String(), zcDeflate);
  // Close writes the directory; calling it here lets its failure reach the caller.
  zip.Close();
}

void TForm1::UnzipDataFile(const String& ZipFileName) {
  TZipFile zip;
  zip.Open(ZipFileName, TZipMode::zmRead);
  zip.ExtractAll(ExtractFilePath(ZipFileName));
  zip.Close();
}

// ---- test-all ----

void TForm1::SetBoundsFromRect(TControl* Control, const TRect& Rect) {
  Control->SetBounds(Rect.Left, Rect.Top, Rect.Width(), Rect.Height());
}

void TForm1::ShowProgressBar(TControl* Control, int Count) {
  SetBoundsFromRect(ProgressBar1, Control->BoundsRect());
  ProgressBar1->SetMax(Count);
  ProgressBar1->SetPosition(0);
  ProgressBar1->Show();
  // Made before the buttons, the bar would otherwise stay hidden under the one it stands over.
  ProgressBar1->BringToFront();
}

void TForm1::ClickEmptyDataSetButtons() {
  for (int i = 0; i < Panel1->ControlCount(); ++i) {
    auto* b = dynamic_cast<TButton*>(Panel1->Controls(i));
    if (b != nullptr && b->Enabled() && b->Caption().find(u"EmptyDataSet") != String::npos) b->Click();
  }
}

namespace {

// Runs its action when the scope ends, normally or by an exception.
template <class F>
class TFinally {
 public:
  explicit TFinally(F f) : FAction(std::move(f)) {}
  ~TFinally() { FAction(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  F FAction;
};

}  // namespace

bool TForm1::TestAllSkips(const TButton* Button) const {
  // An engine's row may leave its Insert out of the walk above an Append count (the Kv engine's rule).
  for (const TEngineColumn& c : kEngineColumns) {
    if (this->*c.Buttons[kInsertButton] != Button) continue;
    const TEngineRow* row = EngineRowFor(c.Kind);
    return row != nullptr && row->TestAllSkipsInsertAbove > 0 && seAppend->Value() > row->TestAllSkipsInsertAbove;
  }
  return false;
}

void TForm1::btnTestAllClick(TObject* Sender) {
  auto* sender = dynamic_cast<TControl*>(Sender);
  if (sender == nullptr) return;
  const int count = Panel1->ControlCount();
  ShowProgressBar(sender, count);
  const Cardinal start = GetTickCount();
  Panel1->SetEnabled(false);
  sender->SetEnabled(false);
  TFinally restore([&] {
    ProgressBar1->Hide();
    Panel1->SetEnabled(true);
    sender->SetEnabled(true);
    sender->SetCaption(Format(u"测试 - %d ms", {static_cast<Int64>(TickDiff(start, GetTickCount()))}));
    // Disabling the button pushed the focus on into the Append count, where a stray key would replace
    // the count and Enter would no longer start a run.
    if (sender->CanFocus()) sender->SetFocus();
  });

  ClickEmptyDataSetButtons();
  for (int t = 0; t < count; ++t) {
    for (int i = 0; i < count; ++i) {
      TControl* c = Panel1->Controls(i);
      auto* b = dynamic_cast<TButton*>(c);
      if (b != nullptr && b->Enabled() && b->TabOrder() == t) {
        if (!TestAllSkips(b)) {
          b->Click();
          ProgressBar1->StepIt();
        }
        break;
      }
      // Lets the window repaint between runs.
      if (Application != nullptr) Application->ProcessMessages();
    }
  }
}

// ---- start-up list ----

void RegisterAppUnits(TUnitList& Units) {
  Units.Add({"EnforceMaxZipFileCompression", &InitializeEnforceMaxZipFileCompression, nullptr});
  RegisterMemTableDataKvUnit(Units);
  RegisterDataDriverKvUnit(Units);
}
