#pragma once
// The server object's lists of groups (private and public).
//
// Ownership: a list holds plain pointers and no counted reference. A group
// enters its list when it is made (AddGroup, CloneGroup) and leaves it only
// when it is destroyed (or detached from a server that goes away), by
// reporting to its server; nobody else erases from a list. Main thread only.
#include <vector>

class TOPCGroup;

using TGroupList = std::vector<TOPCGroup*>;
