// Pin helpers the graph manager's parts share: a filter's pins by direction, a pin's filter,
// and whether a filter is a connected renderer. Called under the graph lock; each call takes
// the filter's own lock briefly.
#pragma once

#include <vector>

#include "com/com_ptr.h"
#include "directshow/dshow_interfaces.h"

namespace dshow::graph {

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter, PIN_DIRECTION direction,
                                 bool unconnectedOnly);
// The filter a pin belongs to, without a reference: the graph holds it.
IBaseFilter* FilterOf(IPin* pin);
bool IsConnected(IPin* pin);
// A renderer ends a stream: it has no output pins and at least one connected input.
bool IsConnectedRenderer(IBaseFilter* filter);

}  // namespace dshow::graph
