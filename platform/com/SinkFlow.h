#pragma once
// ISinkFlow: how callbacks to a sink in another process are getting through.
// A sink that the marshaling layer stands in for answers it; an in-process
// sink does not, and is always open.
//
// - Open: callbacks go out as they are made.
// - Congested: the client has not taken what was already sent off its
//   connection (past the per-client bound). Completions made now are kept
//   in order and sent when it drains; a group makes no data change for it
//   meanwhile and keeps its items' changes for the next update.
// - Dropped: the client stayed congested too long; everything kept for it
//   is gone and nothing more is sent. Its group lets go of the sink.
//
// Main thread only.
#include "Unknown.h"

enum class SinkFlowState { Open, Congested, Dropped };

// {077B939C-9B1A-4DA3-9099-0A8D62D4013F}
inline constexpr IID IID_ISinkFlow = MakeGuid(0x077B939C, 0x9B1A, 0x4DA3, 0x90, 0x99, 0x0A, 0x8D, 0x62, 0xD4, 0x01, 0x3F);

struct ISinkFlow : IUnknown {
    virtual SinkFlowState FlowState() = 0;
};
