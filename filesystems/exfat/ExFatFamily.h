// The exFAT family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterExFatFamily();
