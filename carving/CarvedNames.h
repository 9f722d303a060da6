// Names and folders of carved files as the file list shows them: a file is
// named by its type's extension and running number, and sits in a folder
// named after the extension, below which cameras' pictures go into a folder
// of their EXIF date.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

// "jpg000012.jpg"; with a date (year, month and day all set) the Office
// Open XML kinds (docx, pptx, xlsx) are "2021-03-04_000012.docx". Empty for
// the kinds without an extension.
WString CarvedFileName(int type, uint32_t number, int year = 0, int month = 0, int day = 0);

// The folder of a carved file below "Extra files": the extension, and for
// cr2, jpg, nef and tif with an EXIF date in the file's first sector the
// date as a subfolder ("jpg\2019-05-17"). *fileTime (when given) gets the
// date's file time, 0 when there is none or it is not a real time.
WString CarvedFolder(int type, const uint8_t* firstSector, size_t bytes, uint64_t* fileTime = nullptr);

class HdrReader;

// Where a carved file shows in the file list: its name, its folder below
// "Extra files" and the file time it carries.
struct CarvedPlace {
  WString name;
  WString folder;
  uint64_t fileTime = 0;  // 0: none known
};
// docx, pptx and xlsx are named and foldered by the modification date of
// their document properties, read through the drive ("2021-03-04_000012.docx"
// in "docx\2021-03"; the scan's day when the properties give none); cr2,
// jpg, nef and tif sit in the folder of the EXIF date of their first sector;
// the others in the folder of their extension. `number` is the type's
// running number; the first sector (`bytes` of it) may be null.
CarvedPlace PlaceCarvedFile(HdrReader* drive, int type, int64_t startSector, uint64_t size, uint32_t number,
                            const uint8_t* firstSector, size_t bytes);
