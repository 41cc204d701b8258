#include "module/player/PinRoutines.h"

#include "directshow/media_type.h"
#include "module/player/PlayerLog.h"

namespace ZYL::player {
namespace {

using qnLogging::level::info;

// Owns a connection media type for the length of a scope.
struct ScopedMediaType {
    AM_MEDIA_TYPE type{};
    ~ScopedMediaType() { FreeMediaType(type); }
};

}  // namespace

bool IsFilterConnected(IBaseFilter* filter) {
    ComPtr<IEnumPins> pins;
    if (!filter || FAILED(filter->EnumPins(pins.Put())) || !pins)
        return false;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.Put(), nullptr) == S_OK && pin) {
        ComPtr<IPin> peer;
        if (pin->ConnectedTo(peer.Put()) == S_OK)
            return true;
    }
    return false;
}

ComPtr<IPin> GetFirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
    ComPtr<IEnumPins> pins;
    if (!filter || FAILED(filter->EnumPins(pins.Put())) || !pins)
        return nullptr;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.Put(), nullptr) == S_OK && pin) {
        PIN_DIRECTION actual{};
        if (SUCCEEDED(pin->QueryDirection(&actual)) && actual == direction)
            return pin;
    }
    return nullptr;
}

HRESULT ConnectAviSplitterTextPin(IFilterGraph* graph, IBaseFilter* textRenderer) {
    ComPtr<IBaseFilter> splitter;
    HRESULT hr = graph->FindFilterByName(L"AVI Splitter", splitter.Put());
    if (hr != S_OK || !splitter) {
        LogErr("Unable to get AVI Splitter from filter graph.", FAILED(hr) ? hr : E_FAIL);
        return FAILED(hr) ? hr : E_FAIL;
    }
    ComPtr<IEnumPins> pins;
    if (hr = splitter->EnumPins(pins.Put()); FAILED(hr) || !pins) {
        LogErr("Unable to get pin enumerator on AVI Splitter filter", FAILED(hr) ? hr : E_FAIL);
        return FAILED(hr) ? hr : E_FAIL;
    }
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.Put(), nullptr) == S_OK && pin) {
        PIN_DIRECTION direction{};
        if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT)
            continue;
        ScopedMediaType connection;
        if (hr = pin->ConnectionMediaType(&connection.type); FAILED(hr)) {
            LogErr("Unable to retrieve the media type descriptor", hr);
            return hr;
        }
        if (!(connection.type.majortype == MEDIATYPE_Text))
            continue;
        {
            ComPtr<IPin> peer;
            if (pin->ConnectedTo(peer.Put()) != S_OK || IsFilterConnected(textRenderer))
                return S_OK;
        }
        if (hr = pin->Disconnect(); FAILED(hr)) {
            LogErr("Unable to disconnect the TextPin from the AVI Splitter", hr);
            return hr;
        }
        ComPtr<IPin> textInput = GetFirstPin(textRenderer, PINDIR_INPUT);
        if (!textInput) {
            Log(info, "Unable to retrieve inbound pin on ZYL Text render filter.");
            return E_FAIL;
        }
        if (hr = pin->Connect(textInput.Get(), nullptr); FAILED(hr)) {
            LogErr(
                "Unable to connect the TextPin from the AVI Splitter to the ZYL Text render filter",
                hr);
        }
        return hr;
    }
    return S_OK;
}

HRESULT BypassColorSpaceConverter(IFilterGraph* graph) {
    ComPtr<IBaseFilter> h265;
    if (graph->FindFilterByName(L"Lead H265 Decoder", h265.Put()) != S_OK || !h265)
        return S_OK;
    ComPtr<IBaseFilter> converter;
    HRESULT hr = graph->FindFilterByName(L"Lead Color Space Converter", converter.Put());
    if (hr != S_OK || !converter) {
        LogErr("Unable to get Lead Color Space Converter.", FAILED(hr) ? hr : E_FAIL);
        return FAILED(hr) ? hr : E_FAIL;
    }
    if (IsFilterConnected(h265.Get()) || !IsFilterConnected(converter.Get()))
        return S_OK;

    ComPtr<IPin> in = GetFirstPin(converter.Get(), PINDIR_INPUT);
    if (!in)
        return E_FAIL;
    ComPtr<IPin> up;
    if (hr = in->ConnectedTo(up.Put()); FAILED(hr) || !up) {
        LogErr(
            "Unable to get output pin of the filter which is connected to the Lead Color Space "
            "Converter",
            FAILED(hr) ? hr : E_FAIL);
        return FAILED(hr) ? hr : E_FAIL;
    }
    if (hr = in->Disconnect(); FAILED(hr)) {
        LogErr("Unable to disconnect inbound pin of the Lead Color Space Converter", hr);
        return hr;
    }
    if (hr = up->Disconnect(); FAILED(hr)) {
        LogErr(
            "Unable to disconnect output pin of the filter which is connected to the Lead Color "
            "Space Converter",
            hr);
        return hr;
    }
    ComPtr<IPin> out = GetFirstPin(converter.Get(), PINDIR_OUTPUT);
    if (!out)
        return E_FAIL;
    ComPtr<IPin> down;
    if (hr = out->ConnectedTo(down.Put()); FAILED(hr) || !down) {
        LogErr(
            "Unable to get input pin of the filter which is connected to the Lead Color Space "
            "Converter",
            FAILED(hr) ? hr : E_FAIL);
        return FAILED(hr) ? hr : E_FAIL;
    }
    if (hr = out->Disconnect(); FAILED(hr)) {
        LogErr("Unable to disconnect outbound pin of the Lead Color Space Converter", hr);
        return hr;
    }
    if (hr = down->Disconnect(); FAILED(hr)) {
        LogErr(
            "Unable to disconnect input pin of the filter which is connected to the Lead Color "
            "Space Converter",
            hr);
        return hr;
    }
    if (up->Connect(down.Get(), nullptr) == S_OK)
        return S_OK;
    // Refused: the converter goes back where it was.
    if (hr = up->Connect(in.Get(), nullptr); FAILED(hr)) {
        LogErr("Unable to reconnect the Lead Color Space Converter output Pin", hr);
        return hr;
    }
    if (hr = out->Connect(down.Get(), nullptr); FAILED(hr)) {
        LogErr("Unable to reconnect the Lead Color Space Converter input Pin", hr);
        return hr;
    }
    return S_OK;
}

}  // namespace ZYL::player
