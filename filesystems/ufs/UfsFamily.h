// The UFS1/UFS2 family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterUfsFamily();
