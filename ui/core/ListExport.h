// The file list written as comma-separated text (UTF-16 little-endian with
// a byte-order mark): the header line, then one line per displayed row with
// the seven column texts as the list shows them, each in double quotes.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Text.h"

// Column texts longer than these are cut (Filename, Type, Folder, Volume,
// Status, Size, Modified Date); the folder path is never cut.
inline constexpr std::array<size_t, 7> kExportColumnLimits = {255, 255, SIZE_MAX, 3, 9, 31, 23};

// One field: in double quotes, a double quote inside doubled (so that names
// holding quotes, commas or line breaks stay one field), cut to limit
// characters (never inside a surrogate pair).
void AppendCsvField(WString& line, WStringView text, size_t limit);

// Writes the rows [0, rows) through rowText (called from several threads
// at once for different rows; the caller keeps the list unchanged). Creates
// or replaces the file; false when it cannot be made or a write fails or is
// short (a full disk). Rows go in blocks of blockRows; between is called
// between blocks.
bool ExportList(const std::string& fileName, int64_t rows, const std::array<WString, 7>& headers,
                const std::function<void(int64_t row, std::array<WString, 7>& cells)>& rowText,
                const std::function<void()>& between = {}, int64_t blockRows = 65536);
