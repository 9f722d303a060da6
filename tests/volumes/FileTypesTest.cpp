#include "volumes/FileTypes.h"

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

TEST(FileTypes, ClassifiesNames) {
  const ExtCase cases[] = {{u"IMG_0001.JPG", kTypeJpg}, {u"a.jpg", kTypeJpg},
                                         {u"a.JpG", kTypeJpg}, {u"noext", kNoFileType},
                                         {u"ends.", kNoFileType}, {u"", kNoFileType},
                                         {u"backup.tar.zip", kTypeZip}, {u"r.docx", kTypeDocx},
                                         {u"r.doc", kTypeDoc}, {u"r.docxx", kNoFileType},
                                         {u"r.do", kNoFileType}, {u".zip", kTypeZip},
                                         {u"a.zip/inner", kNoFileType}, {u"x.mp3", kTypeMp3},
                                         {u"x.aaa", kNoFileType}, {u"x.zzz", kNoFileType},
                                         {u"x.j\u00E9g", kNoFileType}};
  for (const auto& c : cases) EXPECT_EQ(int(ExtensionToType(c.name)), c.type) << ToUtf8(c.name);
}

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
