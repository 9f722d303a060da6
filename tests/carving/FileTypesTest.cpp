#include "carving/FileTypes.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FileTypes, TableHoldsThreeInternalKindsThenSortedExtensions) {
  for (int t = 0; t < 3; ++t) EXPECT_TRUE(FileTypeExtension(t).empty()) << t;
  EXPECT_STREQ(FileTypeName(kTypeInfo2), "INFO2");
  EXPECT_STREQ(FileTypeName(kTypeIdx), "IDX");
  EXPECT_STREQ(FileTypeName(kTypeBmap), "BMAP");
  EXPECT_TRUE(FileTypeExtension(kTypeAvi) == u"avi");
  EXPECT_TRUE(FileTypeExtension(kTypeZip) == u"zip");
  for (int t = 4; t < kFileTypeCount; ++t)
    EXPECT_LT(CompareNoCase(FileTypeExtension(t - 1), FileTypeExtension(t)), 0) << t;
  EXPECT_TRUE(FileTypeExtension(-1).empty());
  EXPECT_TRUE(FileTypeExtension(kFileTypeCount).empty());
  EXPECT_STREQ(FileTypeName(kFileTypeCount), "?");
}

TEST(FileTypes, EveryExtensionFindsItsOwnIndex) {
  for (int t = kTypeAvi; t < kFileTypeCount; ++t) {
    WString name = u"file." + WString(FileTypeExtension(t));
    EXPECT_EQ(ExtensionToType(name), t) << FileTypeName(t);
    WString upper;
    for (char16_t c : name) upper += AsciiUpper(c);
    EXPECT_EQ(ExtensionToType(upper), t) << FileTypeName(t);
  }
}

struct ExtCase {
  const char16_t* name;
  int type;
};

class ExtensionCases : public testing::TestWithParam<ExtCase> {};

TEST_P(ExtensionCases, Classifies) {
  EXPECT_EQ(int(ExtensionToType(GetParam().name)), GetParam().type) << ToUtf8(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Names, ExtensionCases,
                         testing::Values(ExtCase{u"IMG_0001.JPG", kTypeJpg}, ExtCase{u"a.jpg", kTypeJpg},
                                         ExtCase{u"a.JpG", kTypeJpg}, ExtCase{u"noext", kNoFileType},
                                         ExtCase{u"ends.", kNoFileType}, ExtCase{u"", kNoFileType},
                                         ExtCase{u"backup.tar.zip", kTypeZip}, ExtCase{u"r.docx", kTypeDocx},
                                         ExtCase{u"r.doc", kTypeDoc}, ExtCase{u"r.docxx", kNoFileType},
                                         ExtCase{u"r.do", kNoFileType}, ExtCase{u".zip", kTypeZip},
                                         ExtCase{u"a.zip/inner", kNoFileType}, ExtCase{u"x.mp3", kTypeMp3},
                                         ExtCase{u"x.aaa", kNoFileType}, ExtCase{u"x.zzz", kNoFileType},
                                         ExtCase{u"x.j\u00E9g", kNoFileType}));

TEST(FileTypes, HdrTypeMatchesByExtension) {
  struct Case {
    const char16_t* name;
    int type;
    bool matches;
  };
  const Case cases[] = {
      {u"a.doc", kTypeDoc, true},    {u"a.doc", kTypeXls, true},    {u"a.doc", kTypePpt, true},
      {u"a.DOC", kTypePpt, true},    {u"a.doc", kTypeDocx, false},  {u"a.doc", kTypeZip, false},
      {u"a.zip", kTypeZip, true},    {u"a.zip", kTypeDocx, true},   {u"a.zip", kTypePptx, true},
      {u"a.zip", kTypeXlsx, true},   {u"a.zip", kTypeDoc, false},   {u"a.docx", kTypeZip, false},
      {u"a.docx", kTypeDocx, true},  {u"a.xls", kTypeDoc, false},   {u"a.xlsx", kTypeXlsx, true},
      {u"a.jpg", kTypeJpg, true},    {u"a.jpg", kTypeTif, false},   {u"a.tif", kTypeCr2, false},
      {u"noext", kTypeJpg, false},   {u"a.xyz", kTypeZip, false},   {u"a.", kTypeDoc, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HdrTypeMatches(c.type, c.name), c.matches) << ToUtf8(c.name) << " as " << FileTypeName(c.type);
}

}  // namespace
