// The disk-image dialog's "D:name" command: the cluster runs of the runs
// list in the support folder copied from the drive into one new file of
// the destination folder, through a plain volume object over the drive.
#pragma once
#include "platform/Text.h"

class Drive;

struct RunsListCopy {
  // The list's place: "$runs_list$.csv" in the support folder.
  static WString ListPath();
  // A name that stays inside the folder: one component, not "." or "..".
  static bool PlainName(WStringView name);
  // Copies the runs into folder/name, cut to the list's byte count. 0, or
  // -1 with the last error set (a name that is not one plain component, a
  // list that cannot be read, a failed read or write).
  static int Run(Drive& drive, WStringView folder, WStringView name, WStringView listPath);
};
