// The HFS/HFS+ family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterHfsFamily();
