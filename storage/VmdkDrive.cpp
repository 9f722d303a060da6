#include "storage/VmdkDrive.h"

#include <sys/stat.h>

#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "platform/Format.h"
#include "storage/VmdkFormat.h"

void VMDKDrive::InitDrive(WStringView name) {
  TRACE_FN("VMDKDrive::Init");
  ImageChainDrive::InitDrive(name);
}

void VMDKDrive::OpenFormat() {
  TRACE_FN("VMDKDrive::InitFiles");
  VmdkLayout layout;
  if (!OpenVmdkLayout(FileBytes(), &layout)) {
    if (layout.textDescriptor) RefuseDescriptor(layout.descriptor);
    throw DvCodeError{0};
  }
  extentKind = layout.extentKind;
  SetGeometry(vmdk::kSector, layout.sectorCount);
  map_ = std::move(layout.map);
  link_ = std::move(layout.link);
}

void VMDKDrive::RefuseDescriptor(const VmdkDescriptor& d) {
  // The extents are named relative to the descriptor's folder.
  const WString self = name_;
  const size_t slash = self.rfind(u'/');
  const WString folder = slash == WString::npos ? WString() : self.substr(0, slash + 1);
  std::vector<WString> paths, missing;
  for (const WString& e : d.extents) {
    const WString p = !e.empty() && e[0] == u'/' ? e : folder + e;
    struct stat st;
    if (stat(ToUtf8(p).c_str(), &st) != 0) missing.push_back(p);
    paths.push_back(p);
  }
  if (paths.empty()) Refuse(FormatW(u"%s is a VMDK text descriptor that names no extent file.", self));
  if (paths.size() == 1 && missing.empty())
    Refuse(FormatW(u"%s is a VMDK text descriptor: open its extent file %s instead.", self, paths[0]));
  if (paths.size() == 1)
    Refuse(FormatW(u"%s is a VMDK text descriptor naming the extent file %s, which is missing.", self, paths[0]));
  WString list;
  for (const WString& p : paths) list += (list.empty() ? u"" : u", ") + p;
  WString text = FormatW(
      u"%s is a VMDK text descriptor of %u extent files (%s): this version reads one extent file "
      u"at a time.",
      self, uint32_t(paths.size()), list);
  for (const WString& m : missing) text += FormatW(u" %s is missing.", m);
  Refuse(text);
}
