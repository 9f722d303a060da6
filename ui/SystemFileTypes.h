// The file types the system knows (its MIME database), for the Look-for list
// and the list's Type column.
#pragma once
#include "ui/core/FileTypeIndex.h"

// Refills the index: each suffix of the database with the description of
// the type the database prefers for it, under one image.
void LoadSystemFileTypes(FileTypeIndex& index, int image);
