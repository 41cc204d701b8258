// Pin inspection and the two rewiring procedures the player runs after automatic graph
// building: the AVI splitter's text pin onto the text renderer, and the colour space converter
// taken out of a chain that does not need it. Called on the constructing thread while the graph
// is stopped; they take no lock of their own (the graph serialises its calls) and log every
// failing step. Their outcome never ends construction.
#pragma once

#include "com/com_ptr.h"
#include "directshow/dshow_interfaces.h"

namespace ZYL::player {

// True as soon as one of the filter's pins is connected.
bool IsFilterConnected(IBaseFilter* filter);
// The first pin of the given direction, or none.
ComPtr<IPin> GetFirstPin(IBaseFilter* filter, PIN_DIRECTION direction);

// The AVI splitter's first text pin, when connected elsewhere while the text renderer is not,
// is moved onto the text renderer.
HRESULT ConnectAviSplitterTextPin(IFilterGraph* graph, IBaseFilter* textRenderer);
// Outside an H.265 chain the colour space converter is taken out when the filters around it
// connect directly, and put back otherwise.
HRESULT BypassColorSpaceConverter(IFilterGraph* graph);

}  // namespace ZYL::player
