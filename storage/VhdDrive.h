// A VHD or VHDX file, or a chain of differencing files written
// "VHD(parent|child)", as one read-only drive of the disk inside.
#pragma once
#include "storage/VirtualDisk.h"

class VHDDrive : public ImageChainDrive {
 public:
  VHDDrive() = default;
  void InitDrive(WStringView name) override;
  // A disk read through its block map (not straight through the file).
  bool IsCompound() const override { return diskType != 2; }

  // 2 read straight through (a fixed disk, or a file that is no dynamic
  // one), 3 dynamic, 4 differencing, 5 VHDX.
  int diskType = 2;

 protected:
  WStringView Keyword() const override { return u"VHD("; }
  std::unique_ptr<ImageChainDrive> MakeParent() const override { return std::make_unique<VHDDrive>(); }
  void OpenFormat() override;
};
