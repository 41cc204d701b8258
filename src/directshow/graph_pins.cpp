#include "directshow/graph_pins.h"

namespace dshow::graph {

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter, PIN_DIRECTION direction,
                                 bool unconnectedOnly) {
    std::vector<ComPtr<IPin>> result;
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.Put())) || !pins)
        return result;
    for (;;) {
        IPin* pin = nullptr;
        ULONG fetched = 0;
        if (pins->Next(1, &pin, &fetched) != S_OK || !pin)
            break;
        ComPtr<IPin> owned = ComPtr<IPin>::Attach(pin);
        PIN_DIRECTION d;
        if (FAILED(pin->QueryDirection(&d)) || d != direction)
            continue;
        if (unconnectedOnly) {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) == S_OK)
                continue;
        }
        result.push_back(std::move(owned));
    }
    return result;
}

IBaseFilter* FilterOf(IPin* pin) {
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info)) || !info.pFilter)
        return nullptr;
    info.pFilter->Release();  // the graph holds it; only its identity is wanted
    return info.pFilter;
}

bool IsConnected(IPin* pin) {
    ComPtr<IPin> peer;
    return pin->ConnectedTo(peer.Put()) == S_OK;
}

bool IsConnectedRenderer(IBaseFilter* filter) {
    if (!PinsOf(filter, PINDIR_OUTPUT, false).empty())
        return false;
    for (const auto& pin : PinsOf(filter, PINDIR_INPUT, false)) {
        if (IsConnected(pin.Get()))
            return true;
    }
    return false;
}

}  // namespace dshow::graph
