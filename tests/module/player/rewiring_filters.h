// Stand-ins for the filters around the pins the player rewires: a filter with any pins (a
// splitter, decoder or renderer), and a video converter that can refuse its input, which the
// external decoder server library serves under the class ids the player inserts. Pins are
// (dis)connected and knobs set on the test thread while the graph is stopped.
#pragma once

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "directshow/test_filters.h"
#include "directshow/transform.h"

namespace zyl::test::rewiring {

// A text stream's type as a demultiplexer offers it.
inline CMediaType TextType() {
    CMediaType type(&MEDIATYPE_Text);
    type.SetSubtype(&GUID_NULL);
    type.lSampleSize = 256;
    return type;
}

// An input pin taking one major type and, unless `subtype` is GUID_NULL, one subtype.
class TakingPin final : public CBaseInputPin {
public:
    TakingPin(CBaseFilter* filter, CCritSec* lock, const GUID& takenMajor, const GUID& takenSubtype)
        : CBaseInputPin(L"taking pin", filter, lock, nullptr, L"In"),
          major(takenMajor),
          subtype(takenSubtype) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        return *type->Type() == major && (subtype == GUID_NULL || *type->Subtype() == subtype)
                   ? S_OK
                   : S_FALSE;
    }
    GUID major;
    GUID subtype;
};

// A filter whose pins are added before it joins a graph, in the order they enumerate.
class PinFilter final : public CBaseFilter {
public:
    PinFilter() : CBaseFilter(L"pin filter", nullptr, &m_lock, GUID_NULL) {}
    SourcePin& AddOutput(std::vector<CMediaType> offers) {
        auto pin = std::make_unique<SourcePin>(this, &m_lock);
        pin->offers = std::move(offers);
        return Keep(std::move(pin));
    }
    TakingPin& AddInput(const GUID& major, const GUID& subtype = GUID_NULL) {
        return Keep(std::make_unique<TakingPin>(this, &m_lock, major, subtype));
    }
    int GetPinCount() override { return static_cast<int>(m_pins.size()); }
    CBasePin* GetPin(int n) override {
        return n >= 0 && n < GetPinCount() ? m_pins[static_cast<std::size_t>(n)].get() : nullptr;
    }

private:
    template <class P>
    P& Keep(std::unique_ptr<P> pin) {
        P& kept = *pin;
        CAutoLock lock(&m_lock);
        m_pins.push_back(std::move(pin));
        IncrementPinVersion();
        return kept;
    }

    CCritSec m_lock;  // outlives the pins, which point at it
    std::vector<std::unique_ptr<CBasePin>> m_pins;
};

// Takes any video and hands it on as `outputSubtype`, or as it came when that is GUID_NULL.
// With refuseInput set its input pin takes nothing.
class TestConverter final : public CTransformFilter {
public:
    explicit TestConverter(REFCLSID clsid = GUID_NULL, const GUID& output = GUID_NULL)
        : CTransformFilter(L"test converter", nullptr, clsid), outputSubtype(output) {}

    HRESULT CheckInputType(const CMediaType* type) override {
        return !refuseInput && *type->Type() == MEDIATYPE_Video ? S_OK : S_FALSE;
    }
    HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
        return *out->Type() == MEDIATYPE_Video && *out->Subtype() == OutputFor(*in) ? S_OK
                                                                                    : S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position > 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = m_input.CurrentMediaType();
        const GUID subtype = OutputFor(*type);
        type->SetSubtype(&subtype);
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
        const LONG size = static_cast<LONG>(m_input.CurrentMediaType().lSampleSize);
        ALLOCATOR_PROPERTIES request{1, size > 0 ? size : 16, 1, 0}, actual{};
        return allocator->SetProperties(&request, &actual);
    }
    HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
        BYTE* from = nullptr;
        BYTE* to = nullptr;
        in->GetPointer(&from);
        out->GetPointer(&to);
        const LONG length = std::min(in->GetActualDataLength(), out->GetSize());
        std::copy(from, from + length, to);
        return out->SetActualDataLength(length);
    }

    GUID outputSubtype;
    bool refuseInput = false;

private:
    GUID OutputFor(const CMediaType& in) const {
        return outputSubtype == GUID_NULL ? *in.Subtype() : outputSubtype;
    }
};

}  // namespace zyl::test::rewiring
