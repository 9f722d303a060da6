#include "app/Startup.h"

#include "carving/OfficeProps.h"
#include "carving/PhraseList.h"
#include "diagnostics/IoRecorder.h"
#include "filesystems/Families.h"
#include "foundation/Globals.h"
#include "foundation/SpecialOptions.h"
#include "storage/Drive.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

void InstallSubsystems() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // The start-up objects in their order: the events, the texts, the
  // message table, the buffer stack, the trace object and the I/O trace
  // recorder. The progress counters (after the texts) and the image lists
  // (before the trace object) join at their places with their subsystems;
  // the RAID parity tables are built on first use (storage/RaidParity.h).
  static StartupObject list[6];
  list[0] = kStartupEvents;
  list[1] = kStartupTexts;
  list[2] = kStartupMessages;
  list[3] = kStartupBufStack;
  list[4] = kStartupTrace;
  list[5] = kStartupIoRecorder;
  SetStartupList(list, sizeof list / sizeof list[0]);

  RegisterFileSystemFamilies();
  SetDriveOpenProbe(&ProbeOpenedDrive);
  SetPhraseListLoader(&LoadPhraseListFile);
  // Volumes name the carving type of a node's first cluster by the probe,
  // a zip as docx, pptx or xlsx by its member names.
  SetNodeTypeSniffer(&SniffNodeCarvedType);
}
