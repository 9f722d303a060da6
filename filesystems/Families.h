// Every file-system family, registered with the volume model in priority
// order. The start-up root, dvscan and the tests' main call this once,
// before any volume is made; no family registers itself from a static
// initialiser (a static library drops objects nobody references).
#pragma once

void RegisterFileSystemFamilies();
