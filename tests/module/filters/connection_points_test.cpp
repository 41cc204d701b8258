// The connection point of both renderer filters as a COM client sees it: cookies and their reuse,
// the enumerators with entries removed under them and the filter kept alive by them.
#include <gtest/gtest.h>

#include "module/filters/DShowTarget.h"
#include "module/filters/DShowTextTarget.h"
#include "module/filters/sink_test.h"

using namespace zyl::test;

namespace {

// A filter, its subscribers' kind and the other kind, which it refuses.
template <class F, class S, class O>
struct Kind {
    using Filter = F;
    using Sink = S;
    using OtherSink = O;
};
using VideoFilter = Kind<COM::CDShowTarget, VideoSink, TextSink>;
using TextFilter = Kind<COM::CDShowTextTarget, TextSink, VideoSink>;

template <class T>
class ConnectionPoint : public Target<typename T::Filter> {
protected:
    void SetUp() override {
        Target<typename T::Filter>::SetUp();
        ASSERT_EQ(filter->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(T::Sink::kIid, point.Put()), S_OK);
    }
    void TearDown() override {
        point.Reset();
        container.Reset();
        Target<typename T::Filter>::TearDown();
    }
    // A new sink whose only reference the caller owns.
    typename T::Sink* NewSink(int id) { return new typename T::Sink(id, recorder); }
    DWORD Advise(IUnknown* sink) {
        DWORD cookie = 0xDEAD;
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
        return cookie;
    }
    using Target<typename T::Filter>::filter;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    SnapRecorder recorder;
};

using Filters = ::testing::Types<VideoFilter, TextFilter>;
TYPED_TEST_SUITE(ConnectionPoint, Filters);

}  // namespace

TYPED_TEST(ConnectionPoint, CookiesStartAtZeroAndAFreedOneIsTakenOnlyWhenTheSearchReachesIt) {
    auto* wrong = new typename TypeParam::OtherSink(9, this->recorder);
    DWORD cookie = 0;
    EXPECT_EQ(this->point->Advise(wrong->Unknown(), &cookie), E_NOINTERFACE) << "the other kind";
    wrong->Release();  // the fixture finds it gone: no reference kept

    auto* a = this->NewSink(0);
    auto* b = this->NewSink(1);
    auto* c = this->NewSink(2);
    auto* d = this->NewSink(3);
    EXPECT_EQ(this->Advise(a->Unknown()), 0u);
    EXPECT_EQ(this->Advise(b->Unknown()), 1u);
    EXPECT_EQ(Count(a->Unknown()), 2u) << "the subscription holds one reference";
    EXPECT_EQ(this->point->Unadvise(0), S_OK);
    EXPECT_EQ(Count(a->Unknown()), 1u) << "Unadvise gives it back";
    EXPECT_EQ(this->Advise(c->Unknown()), 2u) << "one subscriber left and cookie 1 in use";
    EXPECT_EQ(this->point->Unadvise(1), S_OK);
    EXPECT_EQ(this->Advise(d->Unknown()), 1u) << "one subscriber left and cookie 1 free again";
    EXPECT_EQ(this->point->Unadvise(0), E_FAIL) << "already gone";
    EXPECT_EQ(this->point->Unadvise(2), S_OK);
    EXPECT_EQ(this->point->Unadvise(1), S_OK);
    for (auto* sink : {a, b, c, d})
        sink->Release();
}

// The enumerator walks in cookie order, hands out references of the caller's own, never
// touches an entry removed under it (its sink is already destroyed), and keeps its filter alive
// once the caller has let go of it, as the point enumerator does.
TYPED_TEST(ConnectionPoint, EnumeratorsNeverUseAnEntryRemovedUnderThemAndKeepTheFilterAlive) {
    auto* a = this->NewSink(0);
    this->Advise(a->Unknown());
    for (int id : {1, 2, 3}) {  // owned by their subscriptions alone: Unadvise destroys them
        auto* sink = this->NewSink(id);
        this->Advise(sink->Unknown());
        sink->Release();
    }
    ComPtr<IEnumConnections> connections;
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(this->point->EnumConnections(connections.Put()), S_OK);
    ASSERT_EQ(this->container->EnumConnectionPoints(points.Put()), S_OK);
    CONNECTDATA data[2] = {};
    ULONG fetched = 0;
    ASSERT_EQ(connections->Next(2, data, &fetched), S_OK);
    EXPECT_EQ(data[0].dwCookie, 0u);
    EXPECT_EQ(data[1].dwCookie, 1u);
    EXPECT_EQ(data[0].pUnk, a->Unknown());
    EXPECT_EQ(Count(a->Unknown()), 3u) << "with a reference of the caller's";
    data[0].pUnk->Release();
    data[1].pUnk->Release();
    ASSERT_EQ(this->point->Unadvise(2), S_OK) << "the next entry goes";
    ASSERT_EQ(this->point->Unadvise(0), S_OK);
    a->Release();
    this->point.Reset();
    this->container.Reset();
    this->filter->Release();
    this->filter = nullptr;
    ASSERT_EQ(connections->Next(1, data, &fetched), S_OK) << "the filter and cookie 3 live on";
    EXPECT_EQ(data[0].dwCookie, 3u);
    data[0].pUnk->Release();
    EXPECT_EQ(connections->Next(1, data, &fetched), E_FAIL);
    connections.Reset();
    IConnectionPoint* got = nullptr;
    ASSERT_EQ(points->Next(1, &got, &fetched), S_OK);
    got->Release();
    EXPECT_GT(CBaseObject::ObjectsActive(), this->objectsBefore) << "the point enumerator holds it";
    // The fixture finds the filter and its subscribers gone once the last enumerator goes.
}
