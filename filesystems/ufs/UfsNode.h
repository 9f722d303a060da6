// The UFS node (kind 0x40): ext's Unix node, its list holding fragment
// addresses (32-bit on UFS1, 64-bit on UFS2).
#pragma once

struct cnode;

// A new UFS node; null when out of memory.
cnode* CreateUfsNode();
