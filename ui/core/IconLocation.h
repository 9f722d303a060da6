// Where a file type's icon comes from, without a window: the test of an
// icon location ("path" or "path,index") naming an existing file.
#pragma once
#include "platform/Text.h"

// 1 when the text names an existing file, or does so once cut at its last
// comma (a path, a comma and an icon index); 0 for an empty text or
// otherwise.
int FileExistsIgnoringIndex(WStringView location);
