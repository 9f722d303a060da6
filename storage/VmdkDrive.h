// A VMDK file (hosted sparse, copy-on-write sparse or flat extent), or a
// chain of them written "VMDK(base|child)", as one read-only drive.
#pragma once
#include "storage/VirtualDisk.h"

class VMDKDrive : public ImageChainDrive {
 public:
  VMDKDrive() = default;
  void InitDrive(WStringView name) override;
  // A chain of more than one file.
  bool IsCompound() const override { return chainDepth_ > 1; }

  // 0 flat, 1 hosted sparse, 2 copy-on-write sparse.
  int extentKind = 0;

 protected:
  WStringView Keyword() const override { return u"VMDK("; }
  std::unique_ptr<ImageChainDrive> MakeParent() const override { return std::make_unique<VMDKDrive>(); }
  void OpenFormat() override;

 private:
  // A text descriptor is refused naming its extent files (and which of
  // them are missing).
  [[noreturn]] void RefuseDescriptor(const struct VmdkDescriptor& descriptor);
};
