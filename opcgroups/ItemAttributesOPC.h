#pragma once
// TOPCItemAttributes: the attributes of one item as IEnumOPCItemAttributes
// reports them, taken as a snapshot when the enumerator is made.
#include "OPCtypes.h"

#include <string>

struct TOPCItemAttributes {
    BOOL active = 0;
    OPCEUTYPE euType = OPC_NOENUM;
    LONG euInfo = 0;          // reported as the VT_I4 variant EU info
    std::string accessPath;   // always empty: access paths are ignored
    std::string itemId;
    VARTYPE requestedType = VT_EMPTY;
    VARTYPE canonicalType = VT_EMPTY;
    OPCHANDLE clientHandle = 0;
    OPCHANDLE serverHandle = 0;
    DWORD accessRights = 0;
    DWORD blobSize = 0;       // no blobs
};
