// The ext2/3/4 family's registration (filesystems/Families.cpp calls it).
#pragma once

void RegisterExtFamily();

struct cnode;

// Whether an ext node's inode uses an extent tree, in place of the
// family's own answer from its node record (tests; null: the node's).
using ExtentTreeTest = bool (*)(const cnode* node);
void SetExtentTreeTest(ExtentTreeTest test);
