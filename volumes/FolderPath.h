// The folder path of a node found without a walk of its folders (a family
// that meets entries in whatever order its metadata holds them): its parent
// chain through the volume's name index (nodeIndex: id, name, parent id of
// every folder found), with a one-entry cache in the volume.
#pragma once

#include "platform/Text.h"

class CVol;
struct cnode;

// "\a\b\" for a node whose folders are a, then b; true when the chain
// reached the volume's root and every level had a name. A chain that breaks
// off (a folder not met yet), loops or passes 64 levels is rooted at
// "\Extra files\Folder<id>\" with the id where it broke, each level below it
// once; a level without a name is "Folder<id>". At most 1020 characters
// with the node's name.
bool GetHashDir(CVol& volume, const cnode& node, WString* path);
