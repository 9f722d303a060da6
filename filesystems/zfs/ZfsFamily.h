// The ZFS family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterZfsFamily();
