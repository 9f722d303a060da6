#include "ui/core/FileTypeIndex.h"

#include "platform/Format.h"

void FileTypeIndex::Add(WStringView extension, WStringView description, int image) {
  if (extension.empty() || extension.find(u'.') != WStringView::npos) return;
  WString lower(extension);
  for (char16_t& c : lower) c = AsciiLower(c);
  if (lower == u"exe") return;
  types_.emplace(std::move(lower), Entry{WString(description), image});
}

WString FileTypeIndex::Description(WStringView lowerExtension) const {
  auto it = types_.find(WString(lowerExtension));
  return it == types_.end() ? WString() : it->second.description;
}

int FileTypeIndex::Image(WStringView lowerExtension) const {
  auto it = types_.find(WString(lowerExtension));
  return it == types_.end() ? -1 : it->second.image;
}

std::vector<std::pair<WString, WString>> FileTypeIndex::LookForRows() const {
  std::vector<std::pair<WString, WString>> rows;
  rows.reserve(types_.size());
  for (const auto& [ext, e] : types_) {
    if (e.description.rfind(u"CLSID", 0) == 0) continue;
    rows.emplace_back(FormatW(u"%s (*.%s)", e.description, ext), ext);
  }
  return rows;
}

TypeLookup FileTypeIndex::Lookup() const {
  return [this](WStringView lowerExtension) { return Description(lowerExtension); };
}
