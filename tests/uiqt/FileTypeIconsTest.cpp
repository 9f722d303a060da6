// The file-type icon lookup against the system's shared MIME database
// files: for every extension that /usr/share/mime/globs2 gives one type
// ("*.ext", no other pattern claiming it), the type found is that type, and
// its generic icon is the one /usr/share/mime/generic-icons names (when it
// names one). Also the icon-location test.
#include <gtest/gtest.h>

#include <QIcon>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/TempFolder.h"
#include "tests/uiqt/QtApp.h"
#include "ui/FileTypeIcons.h"
#include "ui/core/IconLocation.h"

class FileTypeIconsTest : public QtAppTest {};

TEST_F(FileTypeIconsTest, TypesAndGenericIconsEqualTheMimeDatabaseFiles) {
  std::ifstream globs("/usr/share/mime/globs2"), generic("/usr/share/mime/generic-icons");
  if (!globs || !generic) GTEST_SKIP() << "no shared MIME database";
  // extension -> the types that claim it (any case of the pattern).
  std::map<std::string, std::set<std::string>> claims;
  std::string line;
  while (std::getline(globs, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream f(line);
    std::string weight, type, pattern;
    std::getline(f, weight, ':');
    std::getline(f, type, ':');
    std::getline(f, pattern, ':');
    std::string ext = pattern.size() > 2 && pattern.rfind("*.", 0) == 0 ? pattern.substr(2) : std::string();
    if (ext.empty() || ext.find_first_of("*?[]") != std::string::npos) continue;
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    claims[ext].insert(type);
  }
  std::map<std::string, std::string> genericIcons;
  while (std::getline(generic, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos) genericIcons[line.substr(0, colon)] = line.substr(colon + 1);
  }
  int compared = 0;
  for (const auto& [ext, types] : claims) {
    if (types.size() != 1 || ext.find('.') != std::string::npos) continue;
    const TypeIconNames names = IconNamesForExtension(QString::fromStdString(ext));
    const std::string type = *types.begin();
    // The database may know the type by an alias; compare only canonical
    // names it reports back.
    if (names.mimeType.toStdString() != type) {
      ADD_FAILURE() << ext << ": " << names.mimeType.toStdString() << " vs " << type;
      continue;
    }
    auto g = genericIcons.find(type);
    if (g != genericIcons.end()) {
      EXPECT_EQ(names.genericIcon.toStdString(), g->second) << ext;
    }
    compared++;
  }
  EXPECT_GT(compared, 300);
  EXPECT_FALSE(IconForExtension(QStringLiteral("png")).isNull());
  EXPECT_FALSE(IconForExtension(QStringLiteral("no-such-extension")).isNull()) << "our own picture";
}

TEST_F(FileTypeIconsTest, IconLocationNamesAFile) {
  TempFolder box("icons");
  const std::string file = box.Path() + "/app.ico";
  std::ofstream(file) << "x";
  const struct {
    std::string text;
    int expected;
  } cases[] = {{"", 0}, {file, 1}, {file + ",3", 1}, {file + ",-2", 1}, {box.Path() + "/none.ico,1", 0},
               {box.Path(), 0}, {file + ",3,4", 0}};
  for (const auto& c : cases) EXPECT_EQ(FileExistsIgnoringIndex(FromUtf8(c.text)), c.expected) << c.text;
}
