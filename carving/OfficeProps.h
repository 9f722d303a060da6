// The document properties of an Office Open XML file. A stand-in until
// the carving parsers exist: the properties are never read.
#pragma once
#include <cstdint>

#include "platform/Text.h"

// Fills the defaults (type 0, name "Unknown", the current time) and returns
// 0: the document properties were not read.
int ReadOfficeXmlProps(int64_t startSector, int64_t fileSize, const void* node, uint8_t* refinedType,
                       WString* name, uint64_t* fileTime);
