#pragma once
// TOPCGroupRemoved: what a destroyed group leaves behind in its server
// object's removed-groups list, so that RemoveGroup of a group that is
// already gone still answers S_OK once (a client may release a group before
// removing it).
#include "ComTypes.h"
#include "GroupList.h"

#include <string>

struct TOPCGroupRemoved {
    std::string name;
    const TGroupList* list = nullptr; // the list the group was in
    DWORD serverHandle = 0;
    DWORD removalCount = 0;           // RemoveGroup calls seen since the group went
};
