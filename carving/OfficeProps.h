// The document properties of an Office Open XML file being recovered: its
// last author and modification time, and whether it is a docx, xlsx or
// pptx.
#pragma once
#include <cstdint>

#include "platform/Text.h"

// Stand-in until the ZIP reader exists: fills the defaults (type 0, name
// "Unknown", the current time) and returns 0: the properties were not read.
int ReadOfficeXmlProps(int64_t startSector, int64_t fileSize, const void* node, uint8_t* refinedType,
                       WString* name, uint64_t* fileTime);
