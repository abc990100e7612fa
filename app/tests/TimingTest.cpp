#include "app/tests/AppTestSupport.h"

namespace {

TEST_F(AppTest, StopTimingWritesTheOperationNameAndTheElapsedTime) {
  struct Case {
    const char16_t* before;
    const char* prefix;  // the caption must read prefix, "-", digits, " ms"
  };
  const Case cases[] = {
      {u"SaveToFile", "SaveToFile"},
      {u"SaveToFile-120 ms", "SaveToFile"},   // an earlier time is replaced
      {u"Append-7 ms-3 ms", "Append"},        // cut before the first "-"
      {u"-x", "-x"},                          // a leading "-" keeps the whole text
      {u"-", "-"},
      {u"-12 ms", "-12 ms"},
      {u"", ""},
      {u"测试-1 ms", "测试"},
  };
  TButton* b = form->btnFDSaveToFile;
  for (const Case& c : cases) {
    b->SetCaption(c.before);
    form->StartTiming(b);
    EXPECT_FALSE(b->Enabled());
    form->StopTiming(b);
    EXPECT_TRUE(b->Enabled());
    EXPECT_TRUE(ShowsTime(b->Caption(), c.prefix)) << StringToUTF8(c.before) << " -> " << StringToUTF8(b->Caption());
  }
}

TEST_F(AppTest, StopTimingLeavesOtherSendersAlone) {
  form->chkCompressionDecompressionFile->SetCaption(u"Box-1 ms");
  form->StartTiming(form->chkCompressionDecompressionFile);
  form->StopTiming(form->chkCompressionDecompressionFile);
  EXPECT_EQ(form->chkCompressionDecompressionFile->Caption(), u"Box-1 ms");
  form->StopTiming(form);
  EXPECT_EQ(form->btnTestAll->Caption(), u"测试");
}

}  // namespace
