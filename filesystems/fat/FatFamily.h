// The FAT12/16/32 family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterFatFamily();
