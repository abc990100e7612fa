#include "app/tests/AppTestSupport.h"

namespace {

constexpr int kAuto = -1;  // a label's size follows its text

struct TControlRow {
  const char16_t* name;
  const char16_t* kind;
  const char16_t* parent;
  int left, top, width, height;
  int tabOrder;  // -1: the control takes no tab order
  const char16_t* caption;
  bool visible;
};

TEST_F(AppTest, TheWindowHoldsEveryControlWhereTheLayoutPutsIt) {
  const TControlRow formRows[] = {
      {u"lblRecordCount", u"TLabel", u"Form1", 14, 13, kAuto, kAuto, -1, u"Append 行数", true},
      {u"seAppend", u"TSpinEdit", u"Form1", 82, 9, 70, 22, 1, u"", true},
      {u"Label3", u"TLabel", u"Form1", 22, 42, kAuto, kAuto, -1, u"Insert 行数", true},
      {u"seInsert", u"TSpinEdit", u"Form1", 82, 37, 70, 22, 5, u"", true},
      {u"chkCompressionDecompressionFile", u"TCheckBox", u"Form1", 158, 11, 251, 17, 2,
       u"压缩/解压缩文件（SaveToFile/LoadFromFile）", true},
      {u"ProgressBar1", u"TProgressBar", u"Form1", 158, 34, 155, 17, 3, u"", false},
      {u"btnTestAll", u"TButton", u"Form1", 441, 8, 135, 21, 0, u"测试", true},
      {u"btnClose", u"TButton", u"Form1", 441, 35, 135, 21, 4, u"关闭", true},
      {u"bvl1", u"TBevel", u"Form1", -7, 71, 612, 2, -1, u"", true},
      {u"Panel1", u"TPanel", u"Form1", -9, 70, 753, 419, 6, u"", true},
  };
  // Panel1 in its control-list order: the nine labels, then the 63 buttons.
  const TControlRow panelRows[] = {
      {u"lblClientDataset", u"TLabel", u"Panel1", 193, 14, kAuto, kAuto, -1, u"TClientDataSet", true},
      {u"lblFDMemTable", u"TLabel", u"Panel1", 55, 14, kAuto, kAuto, -1, u"TFDMemTable", true},
      {u"lblvlxMemTable", u"TLabel", u"Panel1", 324, 14, kAuto, kAuto, -1, u"TvlxMemTable", true},
      {u"lblADODataSet", u"TLabel", u"Panel1", 484, 14, kAuto, kAuto, -1, u"TADODataSet", true},
      {u"lblMdbTable", u"TLabel", u"Panel1", 45, 220, kAuto, kAuto, -1, u"TMdbTable", true},
      {u"lblMemTableKv", u"TLabel", u"Panel1", 190, 220, kAuto, kAuto, -1, u"TMemTableKv", true},
      {u"lblQDataSet", u"TLabel", u"Panel1", 635, 15, kAuto, kAuto, -1, u"TQDataSet", false},
      {u"Label1", u"TLabel", u"Panel1", 325, 220, kAuto, kAuto, -1, u"TVirtTable", true},
      {u"Label2", u"TLabel", u"Panel1", 479, 220, kAuto, kAuto, -1, u"TIdMemDataSet", true},
      {u"btnFDAppend", u"TButton", u"Panel1", 27, 31, 135, 21, 0, u"Append", true},
      {u"btnAppend", u"TButton", u"Panel1", 168, 31, 135, 21, 2, u"Append", true},
      {u"btnFDEmptyDataSet", u"TButton", u"Panel1", 27, 130, 135, 21, 20, u"EmptyDataSet", true},
      {u"btnEmptyDataSet", u"TButton", u"Panel1", 168, 130, 135, 21, 21, u"EmptyDataSet", true},
      {u"btnSaveToFile", u"TButton", u"Panel1", 168, 81, 135, 21, 11, u"SaveToFile", true},
      {u"btnFDSaveToFile", u"TButton", u"Panel1", 27, 81, 135, 21, 10, u"SaveToFile", true},
      {u"btnLoadFromFile", u"TButton", u"Panel1", 168, 155, 135, 21, 26, u"LoadFromFile", true},
      {u"btnFDLoadFromFile", u"TButton", u"Panel1", 27, 155, 135, 21, 25, u"LoadFromFile", true},
      {u"btnSaveToStream", u"TButton", u"Panel1", 168, 105, 135, 21, 16, u"SaveToStream", true},
      {u"btnFDSaveToStream", u"TButton", u"Panel1", 27, 105, 135, 21, 15, u"SaveToStream", true},
      {u"btnFDLoadFromStream", u"TButton", u"Panel1", 27, 180, 135, 21, 30, u"LoadFromStream", true},
      {u"btnLoadFromStream", u"TButton", u"Panel1", 168, 180, 135, 21, 31, u"LoadFromStream", true},
      {u"btnvlxAppend", u"TButton", u"Panel1", 309, 31, 135, 21, 3, u"Append", true},
      {u"btnvlxEmptyDataSet", u"TButton", u"Panel1", 309, 130, 135, 21, 22, u"EmptyDataSet", true},
      {u"btnvlxSaveToFile", u"TButton", u"Panel1", 309, 81, 135, 21, 12, u"SaveToFile", true},
      {u"btnvlxLoadFromFile", u"TButton", u"Panel1", 309, 155, 135, 21, 27, u"LoadFromFile", true},
      {u"btnvlxSaveToStream", u"TButton", u"Panel1", 309, 105, 135, 21, 17, u"SaveToStream", true},
      {u"btnvlxLoadFromStream", u"TButton", u"Panel1", 309, 180, 135, 21, 32, u"LoadFromStream", true},
      {u"btnADOAppend", u"TButton", u"Panel1", 450, 31, 135, 21, 4, u"Append", true},
      {u"btnADOEmptyDataSet", u"TButton", u"Panel1", 450, 130, 135, 21, 23, u"EmptyDataSet", true},
      {u"btnADOSaveToFile", u"TButton", u"Panel1", 450, 81, 135, 21, 13, u"SaveToFile", true},
      {u"btnADOLoadFromFile", u"TButton", u"Panel1", 450, 155, 135, 21, 28, u"LoadFromFile", true},
      {u"btnADOSaveToStream", u"TButton", u"Panel1", 450, 105, 135, 21, 18, u"SaveToStream", true},
      {u"btnADOLoadFromStream", u"TButton", u"Panel1", 450, 180, 135, 21, 33, u"LoadFromStream", true},
      {u"btnFDInsert", u"TButton", u"Panel1", 27, 56, 135, 21, 5, u"Insert", true},
      {u"btnCDSInsert", u"TButton", u"Panel1", 168, 56, 135, 21, 6, u"Insert", true},
      {u"btnvlxInsert", u"TButton", u"Panel1", 309, 56, 135, 21, 7, u"Insert", true},
      {u"btnADOInsert", u"TButton", u"Panel1", 450, 56, 135, 21, 8, u"Insert", true},
      {u"btnMdbAppend", u"TButton", u"Panel1", 27, 236, 135, 21, 35, u"Append", true},
      {u"btnMdbTableEmptyDataSet", u"TButton", u"Panel1", 27, 333, 135, 21, 51, u"EmptyDataSet", true},
      {u"btnMdbSaveToFile", u"TButton", u"Panel1", 27, 285, 135, 21, 43, u"SaveToFile", true},
      {u"btnMdbLoadFromFile", u"TButton", u"Panel1", 27, 358, 135, 21, 55, u"LoadFromFile", true},
      {u"btnMdbSaveToStream", u"TButton", u"Panel1", 27, 309, 135, 21, 47, u"SaveToStream", true},
      {u"btnMdbLoadFromStream", u"TButton", u"Panel1", 27, 382, 135, 21, 59, u"LoadFromStream", true},
      {u"btnMdbInsert", u"TButton", u"Panel1", 27, 260, 135, 21, 39, u"Insert", true},
      {u"btnMemTableKvAppend", u"TButton", u"Panel1", 168, 260, 135, 21, 40, u"Append", true},
      {u"btnMemTableKvEmptyDataSet", u"TButton", u"Panel1", 168, 333, 135, 21, 52, u"EmptyDataSet", true},
      {u"btnKvSaveToFile", u"TButton", u"Panel1", 168, 285, 135, 21, 44, u"SaveToFile", true},
      {u"btnMemTableKvLoadFromFile", u"TButton", u"Panel1", 168, 358, 135, 21, 56, u"LoadFromFile", true},
      {u"btnMemTableKvSaveToStream", u"TButton", u"Panel1", 168, 309, 135, 21, 48, u"SaveToStream", true},
      {u"btnMemTableKvLoadFromStream", u"TButton", u"Panel1", 168, 382, 135, 21, 60, u"LoadFromStream", true},
      {u"btnMemTableKvInsert", u"TButton", u"Panel1", 168, 236, 135, 21, 36, u"Insert", true},
      {u"btnQDataSetAppend", u"TButton", u"Panel1", 591, 31, 135, 21, 1, u"Append", false},
      {u"btnQEmptyDataSet", u"TButton", u"Panel1", 591, 130, 135, 21, 24, u"EmptyDataSet", false},
      {u"btnQSaveToFile", u"TButton", u"Panel1", 591, 81, 135, 21, 14, u"SaveToFile", false},
      {u"btnQLoadFromFile", u"TButton", u"Panel1", 591, 155, 135, 21, 29, u"LoadFromFile", false},
      {u"btnQSaveToStream", u"TButton", u"Panel1", 591, 105, 135, 21, 19, u"SaveToStream", false},
      {u"btnQLoadFromStream", u"TButton", u"Panel1", 591, 180, 135, 21, 34, u"LoadFromStream", false},
      {u"btn7", u"TButton", u"Panel1", 591, 56, 135, 21, 9, u"Insert", false},
      {u"btnVtAppend", u"TButton", u"Panel1", 309, 236, 135, 21, 37, u"Append", true},
      {u"btnVtEmptyDataSet", u"TButton", u"Panel1", 309, 333, 135, 21, 53, u"EmptyDataSet", true},
      {u"btnVtSaveToFile", u"TButton", u"Panel1", 309, 285, 135, 21, 45, u"SaveToFile", true},
      {u"btnVtLoadFromFile", u"TButton", u"Panel1", 309, 358, 135, 21, 57, u"LoadFromFile", true},
      {u"btnVtSaveToStream", u"TButton", u"Panel1", 309, 309, 135, 21, 49, u"SaveToStream", true},
      {u"btnVtLoadFromStream", u"TButton", u"Panel1", 309, 382, 135, 21, 61, u"LoadFromStream", true},
      {u"btnVtInsert", u"TButton", u"Panel1", 309, 260, 135, 21, 41, u"Insert", true},
      {u"Button1", u"TButton", u"Panel1", 450, 236, 135, 21, 38, u"Append", true},
      {u"Button2", u"TButton", u"Panel1", 450, 333, 135, 21, 54, u"EmptyDataSet", true},
      {u"Button3", u"TButton", u"Panel1", 450, 285, 135, 21, 46, u"SaveToFile", true},
      {u"Button4", u"TButton", u"Panel1", 450, 358, 135, 21, 58, u"LoadFromFile", true},
      {u"Button5", u"TButton", u"Panel1", 450, 309, 135, 21, 50, u"SaveToStream", true},
      {u"Button6", u"TButton", u"Panel1", 450, 382, 135, 21, 62, u"LoadFromStream", true},
      {u"Button7", u"TButton", u"Panel1", 450, 260, 135, 21, 42, u"Insert", true},
  };

  auto check = [&](TWinControl* parent, const TControlRow* rows, int count) {
    ASSERT_EQ(parent->ControlCount(), count) << StringToUTF8(parent->Name());
    for (int i = 0; i < count; ++i) {
      const TControlRow& row = rows[i];
      TControl* c = parent->Controls(i);
      const std::string name = StringToUTF8(row.name);
      EXPECT_EQ(c->Name(), row.name) << "position " << i;
      EXPECT_EQ(c->ClassName(), row.kind) << name;
      EXPECT_EQ(c->Owner(), form) << name;
      EXPECT_EQ(c->Parent()->Name(), row.parent) << name;
      EXPECT_EQ(c->Left(), row.left) << name;
      EXPECT_EQ(c->Top(), row.top) << name;
      if (row.width != kAuto) {
        EXPECT_EQ(c->Width(), row.width) << name;
      }
      if (row.height != kAuto) {
        EXPECT_EQ(c->Height(), row.height) << name;
      }
      EXPECT_EQ(c->TabOrder(), row.tabOrder) << name;
      EXPECT_EQ(c->Caption(), row.caption) << name;
      EXPECT_EQ(c->Visible(), row.visible) << name;
    }
  };
  check(form, formRows, static_cast<int>(std::size(formRows)));
  check(form->Panel1, panelRows, static_cast<int>(std::size(panelRows)));
}

TEST_F(AppTest, TheWindowItself) {
  EXPECT_EQ(form->Caption(), String(u"Vellum 内存表性能测试 with V10.1") +
                                 (sizeof(void*) == 8 ? u" (64-bit)" : u" (32-bit)"));
  EXPECT_EQ(form->ClientWidth(), 598);
  EXPECT_EQ(form->ClientHeight(), 490);
  EXPECT_EQ(form->BorderStyle(), TFormBorderStyle::bsSingle);
  EXPECT_EQ(form->BorderIcons(), biSystemMenu | biMinimize);
  EXPECT_EQ(form->Position(), TFormPosition::poScreenCenter);
  EXPECT_EQ(form->Font().pixelSize(), 11);

  for (TButton* b : {form->btnTestAll, form->btnClose}) {
    EXPECT_TRUE(b->FontBold());
    EXPECT_TRUE(b->Default());
  }
  for (TSpinEdit* s : {form->seAppend, form->seInsert}) {
    EXPECT_EQ(s->Value(), 50000);
    EXPECT_EQ(s->Increment(), 10000);
    EXPECT_EQ(s->MinValue(), 0);
    EXPECT_EQ(s->MaxValue(), 0);
  }
  EXPECT_FALSE(form->chkCompressionDecompressionFile->Checked());
  EXPECT_EQ(form->bvl1->Anchors(), akLeft | akTop | akRight);
  EXPECT_EQ(form->Panel1->BevelOuter(), TPanelBevel::bvNone);
}

TEST_F(AppTest, TheHiddenColumnIsInvisibleAndDisabled) {
  for (const char16_t* name : {u"btnQDataSetAppend", u"btn7", u"btnQSaveToFile", u"btnQSaveToStream",
                               u"btnQEmptyDataSet", u"btnQLoadFromFile", u"btnQLoadFromStream"}) {
    TButton* b = GridButton(name);
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(b->Visible()) << StringToUTF8(name);
    EXPECT_FALSE(b->Enabled()) << StringToUTF8(name);
  }
  EXPECT_FALSE(form->lblQDataSet->Visible());
}

TEST_F(AppTest, ClosingTheWindowEndsTheProcessWithExitCodeZero) {
  form->Show();
  form->btnClose->Click();
  ASSERT_EQ(exitCodes, std::vector<int>{0});
  form->Widget()->close();  // the window's own close command
  EXPECT_EQ(exitCodes, (std::vector<int>{0, 0}));
}

}  // namespace
