#include "app/Unit1.h"

#include <algorithm>

#include "app/EnforceMaxZipFileCompression.h"
#include "engines/fieldlist/IdDataSet.h"
#include "platform/classes/Files.h"
#include "platform/engines/Engines.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Init.h"
#include "platform/rtl/Random.h"
#include "platform/zip/Zip.h"

TForm1* Form1 = nullptr;

// ---- the row generator's name table ----

const char16_t* const SurnameTable[kSurnameCount] = {
    u"赵", u"钱", u"孙", u"李", u"周", u"吴", u"郑", u"王", u"冯", u"陈", u"褚", u"卫", u"蒋", u"沈", u"韩", u"杨",
    u"朱", u"秦", u"尤", u"许", u"何", u"吕", u"施", u"张", u"孔", u"曹", u"严", u"华", u"金", u"魏", u"陶", u"姜",
    u"戚", u"谢", u"邹", u"喻", u"柏", u"水", u"窦", u"章", u"云", u"苏", u"潘", u"葛", u"奚", u"范", u"彭", u"郎",
    u"鲁", u"韦", u"昌", u"马", u"苗", u"凤", u"花", u"方", u"俞", u"任", u"袁", u"柳", u"酆", u"鲍", u"史", u"唐",
    u"费", u"廉", u"岑", u"薛", u"雷", u"贺", u"倪", u"汤", u"滕", u"殷", u"罗", u"毕", u"郝", u"邬", u"安", u"常",
    u"乐", u"于", u"时", u"傅", u"皮", u"卞", u"齐", u"康", u"伍", u"余", u"元", u"卜", u"顾", u"孟", u"平", u"黄",
    u"和", u"穆", u"萧", u"尹", u"姚", u"邵", u"堪", u"汪", u"祁", u"毛", u"禹", u"狄", u"米", u"贝", u"明", u"臧",
    u"计", u"伏", u"成", u"戴", u"谈", u"宋", u"茅", u"庞", u"熊", u"纪", u"舒", u"屈", u"项", u"祝", u"董", u"粱",
    u"杜", u"阮", u"蓝", u"闵", u"席", u"季", u"麻", u"强", u"贾", u"路", u"娄", u"危", u"江", u"童", u"颜", u"郭",
    u"梅", u"盛", u"林", u"刁", u"钟", u"徐", u"邱", u"骆", u"高", u"夏", u"蔡", u"田", u"樊", u"胡", u"凌", u"霍",
    u"虞", u"万", u"支", u"柯", u"昝", u"管", u"卢", u"莫", u"经", u"房", u"裘", u"缪", u"干", u"解", u"应", u"宗",
    u"丁", u"宣", u"贲", u"邓", u"郁", u"单", u"杭", u"洪", u"包", u"诸", u"左", u"石", u"崔", u"吉", u"钮", u"龚",
    u"程", u"嵇", u"邢", u"滑", u"裴", u"陆", u"荣", u"翁", u"荀", u"羊", u"於", u"惠", u"甄", u"麴", u"家", u"封",
    u"芮", u"羿", u"储", u"靳", u"汲", u"邴", u"糜", u"松", u"井", u"段", u"富", u"巫", u"乌", u"焦", u"巴", u"弓",
    u"牧", u"隗", u"山", u"谷", u"车", u"侯", u"宓", u"蓬", u"全", u"郗", u"班", u"仰", u"秋", u"仲", u"伊", u"宫",
    u"宁", u"仇", u"栾", u"暴", u"甘", u"钭", u"厉", u"戎", u"祖", u"武", u"符", u"刘", u"景", u"詹", u"束", u"龙",
    u"叶", u"幸", u"司", u"韶", u"郜", u"黎", u"蓟", u"薄", u"印", u"宿", u"白", u"怀", u"蒲", u"邰", u"从", u"鄂",
    u"索", u"咸", u"籍", u"赖", u"卓", u"蔺", u"屠", u"蒙", u"池", u"乔", u"阴", u"欎", u"胥", u"能", u"苍", u"双",
    u"闻", u"莘", u"党", u"翟", u"谭", u"贡", u"劳", u"逄", u"姬", u"申", u"扶", u"堵", u"冉", u"宰", u"郦", u"雍",
    u"舄", u"璩", u"桑", u"桂", u"濮", u"牛", u"寿", u"通", u"边", u"扈", u"燕", u"冀", u"郏", u"浦", u"尚", u"农",
    u"温", u"别", u"庄", u"晏", u"柴", u"瞿", u"阎", u"充", u"慕", u"连", u"茹", u"习", u"宦", u"艾", u"鱼", u"容",
    u"向", u"古", u"易", u"慎", u"戈", u"廖", u"庚", u"终", u"暨", u"居", u"衡", u"步", u"都", u"耿", u"满", u"弘",
    u"匡", u"国", u"文", u"寇", u"广", u"禄", u"阙", u"东", u"殴", u"殳", u"沃", u"利", u"蔚", u"越", u"夔", u"隆",
    u"师", u"巩", u"厍", u"聂", u"晁", u"勾", u"敖", u"融", u"冷", u"訾", u"辛", u"阚", u"那", u"简", u"饶", u"空",
    u"曾", u"毋", u"沙", u"乜", u"养", u"鞠", u"须", u"丰", u"巢", u"关", u"蒯", u"相", u"查", u"後", u"荆", u"红",
    u"游", u"竺", u"权", u"逯", u"盖", u"益", u"桓", u"公", u"万俟", u"司马", u"上官", u"欧阳", u"夏侯", u"诸葛", u"闻人", u"东方",
    u"赫连", u"皇甫", u"尉迟", u"公羊", u"澹台", u"公冶", u"宗政", u"濮阳", u"淳于", u"单于", u"太叔", u"申屠", u"公孙", u"仲孙", u"轩辕", u"令狐",
    u"钟离", u"宇文", u"长孙", u"慕容", u"鲜于", u"闾丘", u"司徒", u"司空", u"亓官", u"司寇", u"仉", u"督", u"子车", u"颛孙", u"端木", u"巫马",
    u"公西", u"漆雕", u"乐正", u"壤驷", u"公良", u"拓拔", u"夹谷", u"宰父", u"谷粱", u"晋", u"楚", u"闫", u"法", u"汝", u"鄢", u"涂",
    u"钦", u"段干", u"百里", u"东郭", u"南门", u"呼延", u"归", u"海", u"羊舌", u"微生", u"岳", u"帅", u"缑", u"亢", u"况", u"后",
    u"有", u"琴", u"梁丘", u"左丘", u"东门", u"西门", u"商", u"牟", u"佘", u"佴", u"伯", u"赏", u"南宫", u"墨", u"哈", u"谯",
    u"笪", u"年", u"爱", u"阳", u"佟", u"第五", u"言", u"福",
};

String RandomContactName() {
  const int n = Random(2) + 1;
  String given;
  for (int i = 0; i < n; ++i) given.push_back(static_cast<char16_t>(0x4E00 + Random(20902)));
  return String(SurnameTable[Random(kSurnameCount)]) + given;
}

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

void TForm1::FormCreate(TObject*) {
  FFDMemTable = CreateFDMemTable();
  FClientDataSet = CreateClientDataSet();
  // The vlx memory table is created here once that engine is built.
  FADODataSet = CreateADODataSet();
  // The Mdb table, then the Kv memory table, are created here once those engines are built.

  FADOStream = std::make_unique<TMemoryStream>();
  FCDSStream = std::make_unique<TMemoryStream>();
  FFDStream = std::make_unique<TMemoryStream>();
  FvlxStream = std::make_unique<TMemoryStream>();
  FMdbStream = std::make_unique<TMemoryStream>();
  FQDataSetStream = std::make_unique<TMemoryStream>();

  // The vlx binary stream format object is created here with the vlx engine.

  FVtStream = std::make_unique<TMemoryStream>();
  // The virtual table is created here once that engine is built.
  FKvlibStream = std::make_unique<TMemoryStream>();
  FIdMemTable = CreateIdMemDataSet();
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
  struct Column {
    const void* DataSet;
    std::initializer_list<TButton*> Buttons;
  };
  const Column columns[] = {
      {FFDMemTable, {btnFDAppend, btnFDInsert, btnFDSaveToFile, btnFDSaveToStream, btnFDEmptyDataSet,
                     btnFDLoadFromFile, btnFDLoadFromStream}},
      {FClientDataSet, {btnAppend, btnCDSInsert, btnSaveToFile, btnSaveToStream, btnEmptyDataSet, btnLoadFromFile,
                        btnLoadFromStream}},
      {FvlxMemTable, {btnvlxAppend, btnvlxInsert, btnvlxSaveToFile, btnvlxSaveToStream, btnvlxEmptyDataSet,
                      btnvlxLoadFromFile, btnvlxLoadFromStream}},
      {FADODataSet, {btnADOAppend, btnADOInsert, btnADOSaveToFile, btnADOSaveToStream, btnADOEmptyDataSet,
                     btnADOLoadFromFile, btnADOLoadFromStream}},
      {FMdbTable, {btnMdbAppend, btnMdbInsert, btnMdbSaveToFile, btnMdbSaveToStream, btnMdbTableEmptyDataSet,
                   btnMdbLoadFromFile, btnMdbLoadFromStream}},
      {FMemTableKv, {btnMemTableKvInsert, btnMemTableKvAppend, btnKvSaveToFile, btnMemTableKvSaveToStream,
                     btnMemTableKvEmptyDataSet, btnMemTableKvLoadFromFile, btnMemTableKvLoadFromStream}},
      {FVirtTable, {btnVtAppend, btnVtInsert, btnVtSaveToFile, btnVtSaveToStream, btnVtEmptyDataSet,
                    btnVtLoadFromFile, btnVtLoadFromStream}},
      {FIdMemTable, {Button1, Button7, Button3, Button5, Button2, Button4, Button6}},
  };
  // A column whose engine is not built has no dataset: its buttons stay on the grid, disabled, so the
  // test-all walk passes them over.
  for (const Column& c : columns)
    if (c.DataSet == nullptr)
      for (TButton* b : c.Buttons) b->SetEnabled(false);
}

void TForm1::FormDestroy(TObject*) {
  // In declaration order. Freeing a component detaches it from its owner, so the window does not free
  // it again; the rest of the components go with the owner.
  auto free = [](auto*& component) {
    delete component;
    component = nullptr;
  };
  FFDStream.reset();
  FCDSStream.reset();
  FADOStream.reset();
  FvlxStream.reset();
  FMdbStream.reset();
  FQDataSetStream.reset();
  FKvlibStream.reset();
  FVtStream.reset();
  free(FClientDataSet);
  free(FFDMemTable);
  free(FvlxMemTable);
  free(FMdbTable);
  free(FMemTableKv);
  free(FvlxBinary);
  free(FADODataSet);
  free(FVirtTable);
  free(FIdMemTable);
  FIdMemStream.reset();
}

void TForm1::FormClose(TObject*, TCloseAction&) {
  // Ends the process at once with exit code 0: nothing is freed and no finalisation runs.
  TerminateProcessNow();
}

void TForm1::btnCloseClick(TObject*) { Close(); }

// ---- click handlers ----

void TForm1::btnFDAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FFDMemTable); }
void TForm1::btnFDSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FFDMemTable); }
void TForm1::btnFDSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FFDMemTable, FFDStream.get()); }
void TForm1::btnFDEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FFDMemTable); }
void TForm1::btnFDLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FFDMemTable); }
void TForm1::btnFDLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FFDMemTable, FFDStream.get()); }

void TForm1::btnAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FClientDataSet); }
void TForm1::btnSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FClientDataSet); }
void TForm1::btnSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FClientDataSet, FCDSStream.get()); }
void TForm1::btnEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FClientDataSet); }
void TForm1::btnLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FClientDataSet); }
void TForm1::btnLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FClientDataSet, FCDSStream.get()); }

void TForm1::btnvlxAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FvlxMemTable); }
void TForm1::btnvlxSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FvlxMemTable); }
void TForm1::btnvlxSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FvlxMemTable, FvlxStream.get()); }
void TForm1::btnvlxEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FvlxMemTable); }
void TForm1::btnvlxLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FvlxMemTable); }
void TForm1::btnvlxLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FvlxMemTable, FvlxStream.get()); }

void TForm1::btnADOAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FADODataSet); }
void TForm1::btnADOSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FADODataSet); }
void TForm1::btnADOSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FADODataSet, FADOStream.get()); }
void TForm1::btnADOEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FADODataSet); }
void TForm1::btnADOLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FADODataSet); }
void TForm1::btnADOLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FADODataSet, FADOStream.get()); }

// The hidden ninth column's buttons are disabled and do nothing.
void TForm1::btnQDataSetAppendClick(TObject*) {}
void TForm1::btnQSaveToFileClick(TObject*) {}
void TForm1::btnQSaveToStreamClick(TObject*) {}
void TForm1::btnQEmptyDataSetClick(TObject*) {}
void TForm1::btnQLoadFromFileClick(TObject*) {}
void TForm1::btnQLoadFromStreamClick(TObject*) {}

void TForm1::btnMdbAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FMdbTable); }
void TForm1::btnMdbSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FMdbTable); }
void TForm1::btnMdbSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FMdbTable, FMdbStream.get()); }
void TForm1::btnMdbTableEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FMdbTable); }
void TForm1::btnMdbLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FMdbTable); }
void TForm1::btnMdbLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FMdbTable, FMdbStream.get()); }

void TForm1::btnMemTableKvAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FMemTableKv); }
void TForm1::btnKvSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FMemTableKv); }
void TForm1::btnMemTableKvSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FMemTableKv, FKvlibStream.get()); }
void TForm1::btnMemTableKvEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FMemTableKv); }
void TForm1::btnMemTableKvLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FMemTableKv); }
void TForm1::btnMemTableKvLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FMemTableKv, FKvlibStream.get()); }

void TForm1::btnVtAppendClick(TObject* Sender) { AppendOrInsertRows(Sender, FVirtTable); }
void TForm1::btnVtSaveToFileClick(TObject* Sender) { SaveEngineToFile(Sender, FVirtTable); }
void TForm1::btnVtSaveToStreamClick(TObject* Sender) { SaveEngineToStream(Sender, FVirtTable, FVtStream.get()); }
void TForm1::btnVtEmptyDataSetClick(TObject* Sender) { EmptyEngine(Sender, FVirtTable); }
void TForm1::btnVtLoadFromFileClick(TObject* Sender) { LoadEngineFromFile(Sender, FVirtTable); }
void TForm1::btnVtLoadFromStreamClick(TObject* Sender) { LoadEngineFromStream(Sender, FVirtTable, FVtStream.get()); }

void TForm1::Button1Click(TObject* Sender) { AppendOrInsertRows(Sender, FIdMemTable); }
void TForm1::Button7Click(TObject* Sender) { AppendOrInsertRows(Sender, FIdMemTable); }
void TForm1::Button3Click(TObject* Sender) { SaveEngineToFile(Sender, FIdMemTable); }
void TForm1::Button5Click(TObject* Sender) { SaveEngineToStream(Sender, FIdMemTable, FIdMemStream.get()); }
void TForm1::Button2Click(TObject* Sender) { EmptyEngine(Sender, FIdMemTable); }
void TForm1::Button4Click(TObject* Sender) { LoadEngineFromFile(Sender, FIdMemTable); }
void TForm1::Button6Click(TObject* Sender) { LoadEngineFromStream(Sender, FIdMemTable, FIdMemStream.get()); }

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
        // Kv inserts above 50000 rows are left out of the run.
        if (!(seAppend->Value() > 50000 && b->Name() == u"btnMemTableKvInsert")) {
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
}
