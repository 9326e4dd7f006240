#pragma once
// ISlicedRequest: an object whose request is being served in slices (the
// marshaling layer serves a request with many entries a part at a time, so
// that the main thread gets back to its other work in between) is told when
// such a request starts and ends, so that nothing else it does meanwhile
// shows half of the request. Answered by OPC groups. Main thread only.
#include "Unknown.h"

// {CFB6C45C-92CB-43F0-95B4-8E3D34533AB8}
inline constexpr IID IID_ISlicedRequest = MakeGuid(0xCFB6C45C, 0x92CB, 0x43F0, 0x95, 0xB4, 0x8E, 0x3D, 0x34, 0x53, 0x3A, 0xB8);

struct ISlicedRequest : IUnknown {
    virtual void RequestInProgress(BOOL inProgress) = 0;
};
