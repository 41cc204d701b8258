// Filters and pins from the base classes: negotiation, refusal, rewiring, state and streaming,
// and the references they hold.
#include <gtest/gtest.h>

#include "com/runtime.h"
#include "directshow/filter.h"
#include "directshow/graph_fixture.h"

using namespace zyl::test;

namespace {

class BaseFilters : public OwnedFilters {
protected:
    void SetUp() override {
        sink = Own<RecordingSink>();
        source = Own<SourceFilter>();
        source->pin().offers = {VideoType(MEDIASUBTYPE_RGB24, 32, 24),
                                VideoType(MEDIASUBTYPE_RGB32, 32, 24)};
    }
    SourceFilter* source = nullptr;
    RecordingSink* sink = nullptr;
};

}  // namespace

TEST_F(BaseFilters, NegotiatesTheFirstTypeBothSidesAccept) {
    ASSERT_EQ(source->pin().Connect(&sink->pin(), nullptr), S_OK);
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(sink->pin().ConnectionMediaType(&type), S_OK);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_RGB32) << "RGB24 was offered first and refused";
    FreeMediaType(type);
    IPin* peer = nullptr;
    ASSERT_EQ(source->pin().ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer, static_cast<IPin*>(&sink->pin()));
    peer->Release();
    EXPECT_EQ(source->pin().Connect(&sink->pin(), nullptr), VFW_E_ALREADY_CONNECTED);
}

TEST_F(BaseFilters, RefusalsNameTheirReason) {
    sink->pin().accepted = MEDIASUBTYPE_NV12;
    EXPECT_TRUE(FAILED(source->pin().Connect(&sink->pin(), nullptr)));
    EXPECT_FALSE(source->pin().IsConnected());
    EXPECT_FALSE(sink->pin().IsConnected());
    sink->pin().accepted = MEDIASUBTYPE_RGB32;
    const CMediaType rgb24 = VideoType(MEDIASUBTYPE_RGB24, 32, 24);
    EXPECT_EQ(source->pin().Connect(&sink->pin(), &rgb24), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(source->pin().Connect(&Own<SourceFilter>()->pin(), nullptr), VFW_E_INVALID_DIRECTION);
    IPin* none = nullptr;
    EXPECT_EQ(sink->pin().ConnectedTo(&none), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(sink->pin().Disconnect(), S_FALSE);
}

TEST_F(BaseFilters, RewiringNeedsStoppedFilters) {
    ASSERT_EQ(source->pin().Connect(&sink->pin(), nullptr), S_OK);
    ASSERT_EQ(source->Pause(), S_OK);
    EXPECT_EQ(source->pin().Disconnect(), VFW_E_NOT_STOPPED);
    source->Stop();
    EXPECT_EQ(source->pin().Disconnect(), S_OK);
    EXPECT_EQ(sink->pin().Disconnect(), S_OK);
    const CMediaType rgb32 = VideoType(MEDIASUBTYPE_RGB32, 32, 24);
    EXPECT_EQ(source->pin().Connect(&sink->pin(), &rgb32), S_OK)
        << "connects again after a disconnect";
}

TEST_F(BaseFilters, AnInputPinRefusesSamplesWhileFlushingOrStopped) {
    ASSERT_EQ(source->pin().Connect(&sink->pin(), nullptr), S_OK);
    ASSERT_EQ(sink->Pause(), S_OK);
    ASSERT_EQ(source->Pause(), S_OK);
    sink->pin().BeginFlush();
    EXPECT_EQ(source->pin().Send(1, 0, 1), S_FALSE) << "flushing: refused without error";
    sink->pin().EndFlush();
    EXPECT_EQ(source->pin().Send(2, 0, 1), S_OK);
    sink->Stop();
    EXPECT_EQ(source->pin().Send(3, 0, 1), VFW_E_NOT_COMMITTED)
        << "the stopped sink decommitted the allocator";
    source->Stop();
    ASSERT_EQ(source->Pause(), S_OK);  // commits the shared allocator again; the sink stays stopped
    IMediaSample* sample = nullptr;
    ASSERT_EQ(source->pin().GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(sink->pin().Receive(sample), VFW_E_WRONG_STATE);
    sample->Release();
    EXPECT_EQ(sink->pin().Numbers(), std::vector<int>{2});
}

TEST_F(BaseFilters, PinsAndInformation) {
    IEnumPins* pins = nullptr;
    ASSERT_EQ(source->EnumPins(&pins), S_OK);
    IPin* pin = nullptr;
    EXPECT_EQ(pins->Next(1, &pin, nullptr), S_OK);
    PIN_INFO info{};
    pin->QueryPinInfo(&info);
    EXPECT_STREQ(info.achName, L"Output");
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    info.pFilter->Release();
    pin->Release();
    EXPECT_EQ(pins->Next(1, &pin, nullptr), S_FALSE);
    source->IncrementPinVersion();
    EXPECT_EQ(pins->Next(1, &pin, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
    pins->Reset();
    EXPECT_EQ(pins->Next(1, &pin, nullptr), S_OK);
    pin->Release();
    pins->Release();

    IPin* found = nullptr;
    ASSERT_EQ(sink->FindPin(L"In", &found), S_OK);
    LPWSTR id = nullptr;
    found->QueryId(&id);
    EXPECT_STREQ(id, L"In");
    CoTaskMemFree(id);
    found->Release();
    EXPECT_EQ(sink->FindPin(L"Nope", &found), VFW_E_NOT_FOUND);

    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(source->pin().EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(types->Next(3, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(listed[1]->subtype, MEDIASUBTYPE_RGB32);
    DeleteMediaType(listed[0]);
    DeleteMediaType(listed[1]);
    types->Release();
    const CMediaType rgb24 = VideoType(MEDIASUBTYPE_RGB24, 32, 24);
    EXPECT_EQ(sink->pin().QueryAccept(&rgb24), S_FALSE);
}
