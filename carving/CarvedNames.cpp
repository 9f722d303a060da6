#include "carving/CarvedNames.h"

#include <ctime>
#include <string_view>

#include "carving/OfficeProps.h"
#include "carving/TextHelpers.h"
#include "foundation/TimeUtil.h"
#include "platform/Format.h"
#include "volumes/FileTypes.h"

WString CarvedFileName(int type, uint32_t number, int year, int month, int day) {
  const WStringView ext = FileTypeExtension(type);
  if (ext.empty()) return WString();
  const WString e(ext);
  const bool office = type == kTypeDocx || type == kTypePptx || type == kTypeXlsx;
  if (office && year > 0 && month > 0 && day > 0)
    return FormatW(u"%04d-%02d-%02d_%06d.%s", year, month, day, int32_t(number), e);
  return FormatW(u"%s%06d.%s", e, int32_t(number), e);
}

WString CarvedFolder(int type, const uint8_t* firstSector, size_t bytes, uint64_t* fileTime) {
  if (fileTime) *fileTime = 0;
  WString folder(FileTypeExtension(type));
  const bool camera = type == kTypeCr2 || type == kTypeJpg || type == kTypeNef || type == kTypeTif;
  if (folder.empty() || !camera || !firstSector) return folder;
  const char* date = FindExifDateTime(firstSector, bytes);
  if (!date) return folder;
  const std::string_view text(date, 19);
  if (fileTime) *fileTime = DateTextToFileTime(text);
  // "2019:05:17 10:20:30" becomes "2019-05-17".
  std::string day(text.substr(0, 10));
  day[4] = day[7] = '-';
  return folder + u"\\" + FromUtf8(day);
}

CarvedPlace PlaceCarvedFile(HdrReader* drive, int type, int64_t startSector, uint64_t size, uint32_t number,
                            const uint8_t* firstSector, size_t bytes) {
  CarvedPlace place;
  const bool office = type == kTypeDocx || type == kTypePptx || type == kTypeXlsx;
  if (!office) {
    place.folder = CarvedFolder(type, firstSector, bytes, &place.fileTime);
    place.name = CarvedFileName(type, number);
    return place;
  }
  OfficeProps props;
  ReadOfficeXmlProps(drive, startSector, size, &props);
  place.fileTime = props.fileTime;
  const time_t seconds = time_t(FileTimeToUnixTime(props.fileTime));
  struct tm day {};
  if (!gmtime_r(&seconds, &day)) {
    place.folder = WString(FileTypeExtension(type));
    place.name = CarvedFileName(type, number);
    return place;
  }
  const int year = day.tm_year + 1900, month = day.tm_mon + 1;
  place.name = CarvedFileName(type, number, year, month, day.tm_mday);
  place.folder = WString(FileTypeExtension(type)) + FormatW(u"\\%04d-%02d", year, month);
  return place;
}
