// The ReFS family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterRefsFamily();
