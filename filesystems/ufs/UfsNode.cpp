#include "filesystems/ufs/UfsNode.h"

#include <new>

#include "filesystems/ext/UnixNode.h"

cnode* CreateUfsNode() { return new (std::nothrow) UnixNode(kNodeUfs); }
