// HTML or XML at the start of a sector: crafted cases, and the HTML and XML
// files of /usr/share compared with `file --mime-type`.
#include "carving/HdrAscii.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestUtil.h"
#include "volumes/FileTypes.h"

namespace {

uint16_t Sig(const std::string& text) {
  return HdrAscii::SigFind(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(HdrAscii, Cases) {
  const std::string pad(40, ' ');
  struct Case {
    std::string text;
    uint16_t result;
  };
  const Case cases[] = {
      {"<!DOCTYPE html><html><body></body></html>", kSigHtml},
      {"<!doctype HTML PUBLIC \"-//W3C//DTD\">", kSigHtml},
      {"<html lang=\"en\"><head></head>", kSigHtml},
      {"<HTML><HEAD><TITLE>x</TITLE>", kSigHtml},
      {"\r\n\t   \n<html><head><title>x</title>", kSigHtml},
      {std::string(300, ' ') + "<html><head><title>x</title>", kSigHtml},
      {"<?xml version=\"1.0\"?><note><to>x</to></note>", kTypeXml},
      {"<?xml version=\"1.0\"?>\n<!DOCTYPE HTML PUBLIC \"x\">", kSigHtml},
      {"<?xml version=\"1.0\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\">", kSigHtml},
      {"<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\">", kTypeXml},
      {"<?xml version=\"1.0\"?>", kTypeXml},
      {"<?xml version=\"1.0\"?><?xml version=\"1.0\"?><html><body>", kTypeXml},
      {"<?XML version=\"1.0\"?><note><to>x</to></note>", kNoFileType},
      {"<?xml-stylesheet href=\"a.css\"?><html><head>", kNoFileType},
      {"<!-- comment --><html><head><title>x", kNoFileType},
      {"<body><p>hello world</p></body>", kNoFileType},
      {"Hello <html> world, this is text", kNoFileType},
      {std::string("\0<html><head><title>x</title>", 30), kNoFileType},
      // Fewer than 16 bytes from the "<".
      {pad + "<html><head>", kNoFileType},
      {"<html><head></he", kSigHtml},
      {"<html><head></h", kNoFileType},
      {"", kNoFileType},
  };
  for (const Case& c : cases) EXPECT_EQ(Sig(c.text), c.result) << c.text;
  EXPECT_EQ(HdrAscii::SigFind(nullptr, 100), kNoFileType);
}

// The system's own HTML and XML files: where SigFind names a kind, `file`
// agrees; files that start with their HTML element or doctype are named
// HTML.
TEST(HdrAscii, SystemFilesAgainstFile) {
  if (!HaveTool("file") || !HaveTool("find")) GTEST_SKIP() << "file or find missing";
  // One `file` run over the whole list: "path: mime" per line.
  const std::string out = RunCommand(
      "find /usr/share -xdev -type f \\( -name '*.html' -o -name '*.htm' -o -name '*.xml' -o -name '*.xhtml' "
      "-o -name '*.svg' \\) -size +1k 2>/dev/null | sort | head -400 | file -N --mime-type -f - 2>/dev/null");
  size_t named = 0, checked = 0;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.rfind(": ");
    if (colon == std::string::npos) continue;
    const std::string path = line.substr(0, colon);
    std::string mime = line.substr(colon + 2);
    mime.erase(0, mime.find_first_not_of(' '));
    std::ifstream f(path, std::ios::binary);
    std::vector<char> head(512, 0);
    f.read(head.data(), head.size());
    const size_t got = size_t(f.gcount());
    if (got < 16) continue;
    const uint16_t sig = HdrAscii::SigFind(reinterpret_cast<const uint8_t*>(head.data()), got);
    ++checked;
    if (sig == kSigHtml) {
      // XHTML behind an XML declaration is HTML here; `file` calls it XML.
      const std::string text(head.data(), got);
      const bool declared = text.find("<?xml ") == text.find_first_not_of(" \t\r\n");
      if (mime.find("html") == std::string::npos) {
        EXPECT_TRUE(declared && mime == "text/xml") << path << ": " << mime;
      }
      ++named;
    } else if (sig == kTypeXml) {
      EXPECT_TRUE(mime.find("xml") != std::string::npos || mime == "text/plain") << path << ": " << mime;
      ++named;
    }
  }
  if (checked == 0) GTEST_SKIP() << "no HTML or XML files under /usr/share";
  EXPECT_GT(named, 0u);
}

}  // namespace
