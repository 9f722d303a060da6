// The file-type index behind the Look-for list and the Type column: lower-
// case extension -> the type's description and image. The window layer
// fills it from the system's MIME database.
#pragma once
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "platform/Text.h"
#include "ui/core/ListStore.h"

class FileTypeIndex {
 public:
  // Adds a type; the extension is kept lower-case, "exe" and extensions
  // with a "." are skipped, and the first description of an extension stays.
  void Add(WStringView extension, WStringView description, int image);
  void Clear() { types_.clear(); }
  size_t Count() const { return types_.size(); }
  // The description of a lower-case extension; empty when unknown.
  WString Description(WStringView lowerExtension) const;
  int Image(WStringView lowerExtension) const;  // -1 when unknown
  // Look-for rows in extension order: the text "%s (*.%s)" (description,
  // extension) and the extension; types whose description begins with
  // "CLSID" have none.
  std::vector<std::pair<WString, WString>> LookForRows() const;
  // The Type column's lookup over this index (it must outlive the lookup).
  TypeLookup Lookup() const;

 private:
  struct Entry {
    WString description;
    int image = -1;
  };
  std::map<WString, Entry> types_;
};
