// The connection point of both renderer filters as a COM client sees it: cookies and their
// reuse, refusals, the single-point enumerator, the connections enumerator with entries
// removed under it, the filter kept alive by its enumerators, the final-release lines, and
// subscriptions changing while text samples are delivered.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "module/filters/DShowTarget.h"
#include "module/filters/DShowTextTarget.h"
#include "module/filters/sink_graph.h"

using namespace zyl::test;

namespace {

struct VideoFilter {
    using Filter = COM::CDShowTarget;
    using Sink = VideoSink;
    static constexpr const IID& kIid = COM::IID_IZYLTransfer2;
    static constexpr const IID& kOtherIid = COM::IID_IZYLTextTransfer;
    static constexpr const char* kPointEnumeratorLine =
        "Final release of CConnectionPointEnumerator object occured";
    static constexpr const char* kFilterLine = "Final release of CDShowTarget object occured";
};

struct TextFilter {
    using Filter = COM::CDShowTextTarget;
    using Sink = TextSink;
    static constexpr const IID& kIid = COM::IID_IZYLTextTransfer;
    static constexpr const IID& kOtherIid = COM::IID_IZYLTransfer2;
    static constexpr const char* kPointEnumeratorLine =
        "Final release of CTextConnectionPointEnumerator object occured";
    static constexpr const char* kFilterLine = "Final release of CDShowTextTarget object occured";
};

constexpr const char* kConnectionsEnumeratorLine =
    "Final release of CConnectionsEnumerator object occured";

// A filter's reference count as seen through one more AddRef/Release pair.
ULONG Count(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

template <class T>
class ConnectionPoint : public SinkTest {
protected:
    using Filter = typename T::Filter;
    using Sink = typename T::Sink;

    void SetUp() override {
        SinkTest::SetUp();
        filter = Make<Filter>(nullptr, nullptr);
        ASSERT_EQ(filter->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(T::kIid, point.Put()), S_OK);
    }
    void TearDown() override {
        point.Reset();
        container.Reset();
        if (filter)
            filter->Release();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no filter left behind";
        SinkTest::TearDown();
    }
    // A new sink whose only reference the caller owns.
    Sink* NewSink(int id, HRESULT answer = S_OK) { return new Sink(T::kIid, id, recorder, answer); }
    DWORD Advise(Sink* sink) {
        DWORD cookie = 0xDEAD;
        EXPECT_EQ(point->Advise(static_cast<COM::CBasicIUnknown*>(sink), &cookie), S_OK);
        return cookie;
    }
    // The cookies the connections enumerator yields from the start.
    std::vector<DWORD> Cookies() {
        ComPtr<IEnumConnections> connections;
        EXPECT_EQ(point->EnumConnections(connections.Put()), S_OK);
        std::vector<DWORD> cookies;
        CONNECTDATA data{};
        ULONG fetched = 0;
        while (connections->Next(1, &data, &fetched) == S_OK) {
            cookies.push_back(data.dwCookie);
            data.pUnk->Release();
        }
        return cookies;
    }

    const LONG before = CBaseObject::ObjectsActive();
    Filter* filter = nullptr;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    SnapRecorder recorder;
};

using Filters = ::testing::Types<VideoFilter, TextFilter>;
class FilterNames {
public:
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, VideoFilter> ? "Video" : "Text";
    }
};
TYPED_TEST_SUITE(ConnectionPoint, Filters, FilterNames);

}  // namespace

TYPED_TEST(ConnectionPoint, CookiesStartAtZeroAndAFreedOneIsTakenOnlyWhenTheSearchReachesIt) {
    auto* a = this->NewSink(0);
    auto* b = this->NewSink(1);
    auto* c = this->NewSink(2);
    auto* d = this->NewSink(3);
    EXPECT_EQ(this->Advise(a), 0u);
    EXPECT_EQ(this->Advise(b), 1u);
    EXPECT_EQ(a->Count(), 2u) << "the subscription holds one reference";
    EXPECT_EQ(this->point->Unadvise(0), S_OK);
    EXPECT_EQ(a->Count(), 1u) << "Unadvise gives it back";
    EXPECT_EQ(this->Advise(c), 2u) << "one subscriber left and cookie 1 in use";
    EXPECT_EQ(this->point->Unadvise(1), S_OK);
    EXPECT_EQ(this->Advise(d), 1u) << "one subscriber left and cookie 1 free again";
    EXPECT_EQ(this->Cookies(), (std::vector<DWORD>{1, 2}));

    EXPECT_EQ(this->point->Unadvise(7), E_FAIL);
    EXPECT_EQ(this->point->Unadvise(0), E_FAIL) << "already gone";
    EXPECT_EQ(this->Cookies(), (std::vector<DWORD>{1, 2})) << "a refused Unadvise changes nothing";
    for (auto* sink : {a, b, c, d})
        sink->Release();
}

TYPED_TEST(ConnectionPoint, RefusesNullsAndSinksWithoutTheConnectionInterface) {
    DWORD cookie = 0xDEAD;
    EXPECT_EQ(this->point->Advise(nullptr, &cookie), E_POINTER);
    auto* sink = this->NewSink(0);
    EXPECT_EQ(this->point->Advise(static_cast<COM::CBasicIUnknown*>(sink), nullptr), E_POINTER);
    // A sink of the other filter's interface.
    auto* wrong = new
        typename std::conditional_t<std::is_same_v<typename TypeParam::Sink, TextSink>, VideoSink,
                                    TextSink>(TypeParam::kOtherIid, 9, this->recorder);
    EXPECT_EQ(this->point->Advise(static_cast<COM::CBasicIUnknown*>(wrong), &cookie),
              E_NOINTERFACE);
    EXPECT_EQ(cookie, 0xDEADu) << "no cookie for a refused sink";
    EXPECT_EQ(wrong->Count(), 1u) << "and no reference kept";
    EXPECT_TRUE(this->Cookies().empty());
    EXPECT_EQ(sink->Count(), 1u);
    wrong->Release();
    sink->Release();
}

TYPED_TEST(ConnectionPoint, ContainerAndPointFindEachOther) {
    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(this->container->FindConnectionPoint(TypeParam::kOtherIid, other.Put()),
              E_NOINTERFACE);
    EXPECT_FALSE(other);
    EXPECT_EQ(this->container->FindConnectionPoint(TypeParam::kIid, nullptr), E_POINTER);
    ComPtr<IConnectionPoint> queried;
    ASSERT_EQ(this->filter->QueryInterface(IID_IConnectionPoint, queried.PutVoid()), S_OK);
    EXPECT_EQ(queried.Get(), this->point.Get());
    IID iid{};
    EXPECT_EQ(this->point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, TypeParam::kIid);
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(this->point->GetConnectionPointContainer(back.Put()), S_OK);
    EXPECT_EQ(back.Get(), this->container.Get());
    EXPECT_EQ(this->point->GetConnectionPointContainer(nullptr), E_POINTER);
    EXPECT_EQ(this->filter->NonDelegatingQueryInterface(IID_IConnectionPoint, nullptr), E_POINTER);
}

TYPED_TEST(ConnectionPoint, PointEnumeratorYieldsTheOnePointOnceUntilReset) {
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(this->container->EnumConnectionPoints(points.Put()), S_OK);
    IConnectionPoint* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(2, got, &fetched), E_FAIL) << "only a count of 1 is served";
    EXPECT_EQ(points->Next(1, nullptr, &fetched), E_FAIL);
    EXPECT_EQ(points->Next(1, got, nullptr), E_FAIL);
    ASSERT_EQ(points->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0], this->point.Get());
    got[0]->Release();
    EXPECT_EQ(points->Next(1, got, &fetched), E_FAIL) << "already delivered";
    EXPECT_EQ(points->Skip(1), E_FAIL);
    EXPECT_EQ(points->Skip(0), S_OK);
    EXPECT_EQ(points->Skip(2), E_FAIL);

    ComPtr<IEnumConnectionPoints> delivered;
    ASSERT_EQ(points->Clone(delivered.Put()), S_OK);
    EXPECT_EQ(delivered->Next(1, got, &fetched), E_FAIL) << "a clone keeps the position";
    EXPECT_EQ(points->Reset(), S_OK);
    EXPECT_EQ(points->Skip(1), S_OK);
    EXPECT_EQ(points->Next(1, got, &fetched), E_FAIL) << "skipped counts as delivered";
    EXPECT_EQ(points->Reset(), S_OK);
    ComPtr<IEnumConnectionPoints> fresh;
    ASSERT_EQ(points->Clone(fresh.Put()), S_OK);
    ASSERT_EQ(fresh->Next(1, got, &fetched), S_OK);
    got[0]->Release();

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(points->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
    ComPtr<IUnknown> wrong;
    EXPECT_EQ(points->QueryInterface(IID_IEnumConnections, wrong.PutVoid()), E_NOINTERFACE);
    EXPECT_EQ(points->QueryInterface(IID_IEnumConnectionPoints, nullptr), E_POINTER);
}

TYPED_TEST(ConnectionPoint, ConnectionsEnumeratorWalksInCookieOrderAndFailsWithoutMoving) {
    auto* a = this->NewSink(0);
    auto* b = this->NewSink(1);
    this->Advise(a);
    this->Advise(b);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(this->point->EnumConnections(connections.Put()), S_OK);
    CONNECTDATA data[3] = {};
    ULONG fetched = 7;
    EXPECT_EQ(connections->Next(3, data, &fetched), E_FAIL);
    EXPECT_EQ(connections->Next(2, nullptr, &fetched), E_FAIL);
    EXPECT_EQ(connections->Next(2, data, nullptr), E_FAIL);
    EXPECT_EQ(connections->Next(0, data, &fetched), S_OK);
    EXPECT_EQ(fetched, 0u);
    ASSERT_EQ(connections->Next(2, data, &fetched), S_OK) << "the failures moved nothing";
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(data[0].dwCookie, 0u);
    EXPECT_EQ(data[1].dwCookie, 1u);
    EXPECT_EQ(data[0].pUnk, static_cast<IUnknown*>(static_cast<COM::CBasicIUnknown*>(a)))
        << "the subscriber's IUnknown";
    EXPECT_EQ(a->Count(), 3u) << "with a reference of the caller's";
    data[0].pUnk->Release();
    data[1].pUnk->Release();
    EXPECT_EQ(connections->Next(1, data, &fetched), E_FAIL);

    EXPECT_EQ(connections->Reset(), S_OK);
    EXPECT_EQ(connections->Skip(3), E_FAIL);
    EXPECT_EQ(connections->Skip(1), S_OK) << "a failed Skip stays where it was";
    ComPtr<IEnumConnections> clone;
    ASSERT_EQ(connections->Clone(clone.Put()), S_OK);
    ASSERT_EQ(clone->Next(1, data, &fetched), S_OK);
    EXPECT_EQ(data[0].dwCookie, 1u) << "a clone starts where its original stands";
    data[0].pUnk->Release();
    EXPECT_EQ(connections->Skip(0), S_OK);
    EXPECT_EQ(connections->Skip(1), S_OK);
    EXPECT_EQ(connections->Skip(1), E_FAIL);

    ComPtr<IUnknown> wrong;
    EXPECT_EQ(connections->QueryInterface(IID_IEnumConnectionPoints, wrong.PutVoid()),
              E_NOINTERFACE);
    a->Release();
    b->Release();
}

TYPED_TEST(ConnectionPoint, AnEntryRemovedUnderTheEnumeratorIsNeverUsed) {
    auto* a = this->NewSink(0);
    this->Advise(a);
    // Owned by their subscriptions alone: Unadvise destroys them.
    for (int id : {1, 2}) {
        auto* sink = this->NewSink(id);
        this->Advise(sink);
        sink->Release();
    }
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(this->point->EnumConnections(connections.Put()), S_OK);
    CONNECTDATA data{};
    ULONG fetched = 0;
    ASSERT_EQ(connections->Next(1, &data, &fetched), S_OK);
    data.pUnk->Release();
    // Cookie 1 is next; its sink dies with the subscription.
    ASSERT_EQ(this->point->Unadvise(1), S_OK);
    ASSERT_EQ(connections->Next(1, &data, &fetched), S_OK);
    EXPECT_EQ(data.dwCookie, 2u);
    data.pUnk->Release();
    ComPtr<IEnumConnections> clone;
    ASSERT_EQ(connections->Clone(clone.Put()), S_OK);
    ASSERT_EQ(this->point->Unadvise(2), S_OK);
    EXPECT_EQ(connections->Next(1, &data, &fetched), E_FAIL);
    EXPECT_EQ(clone->Skip(1), E_FAIL);
    this->point->Unadvise(0);
    a->Release();
}

TYPED_TEST(ConnectionPoint, EnumeratorsKeepTheFilterAliveAndLogTheirFinalRelease) {
    const ULONG alone = Count(static_cast<IBaseFilter*>(this->filter));
    ComPtr<IEnumConnectionPoints> points;
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(this->container->EnumConnectionPoints(points.Put()), S_OK);
    ASSERT_EQ(this->point->EnumConnections(connections.Put()), S_OK);
    EXPECT_EQ(Count(static_cast<IBaseFilter*>(this->filter)), alone + 2)
        << "one filter reference per enumerator";
    this->point.Reset();
    this->container.Reset();
    this->filter->Release();
    this->filter = nullptr;
    EXPECT_EQ(this->CountLogged(TypeParam::kFilterLine), 0u) << "the enumerators hold it";
    connections.Reset();
    EXPECT_EQ(this->CountLogged(kConnectionsEnumeratorLine), 1u);
    EXPECT_EQ(this->CountLogged(TypeParam::kFilterLine), 0u);
    points.Reset();
    const auto lines = this->Logged(qnLogging::level::info);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], TypeParam::kPointEnumeratorLine);
    EXPECT_EQ(lines.back(), TypeParam::kFilterLine) << "the last enumerator let the filter go";
}

// Subscriptions change on the test thread while the graph's streaming thread delivers text.
using TextDelivery = SinkTest;
TEST_F(TextDelivery, AdviseAndUnadviseWhileSamplesFlow) {
    const LONG before = CBaseObject::ObjectsActive();
    SnapRecorder recorder;
    auto* filter = Make<COM::CDShowTextTarget>(nullptr, nullptr);
    {
        SinkGraph graph(filter);
        CMediaType text(&MEDIATYPE_Text);
        text.lSampleSize = 16;
        ASSERT_EQ(graph.Connect(text, filter->InputPin()), S_OK);
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(filter->FindConnectionPoint(COM::IID_IZYLTextTransfer, point.Put()), S_OK);
        auto* steady = new TextSink(COM::IID_IZYLTextTransfer, 0, recorder);
        DWORD steadyCookie = 0;
        ASSERT_EQ(point->Advise(static_cast<COM::CBasicIUnknown*>(steady), &steadyCookie), S_OK);
        ASSERT_TRUE(SUCCEEDED(graph.control->Run()));
        constexpr int kSamples = 200;
        std::atomic<bool> done{false};
        std::thread streaming([&] {
            const std::vector<BYTE> bytes = {'t', 0};
            for (int i = 0; i < kSamples; ++i)
                graph.Send(bytes, 2);
            done = true;
        });
        int rounds = 0;
        while (!done || rounds < 10) {
            auto* passing = new TextSink(COM::IID_IZYLTextTransfer, 1, recorder);
            DWORD cookie = 0;
            EXPECT_EQ(point->Advise(static_cast<COM::CBasicIUnknown*>(passing), &cookie), S_OK);
            passing->Release();
            ComPtr<IEnumConnections> connections;
            point->EnumConnections(connections.Put());
            connections->Skip(1);
            EXPECT_EQ(point->Unadvise(cookie), S_OK);
            ++rounds;
        }
        streaming.join();
        EXPECT_TRUE(graph.EndAndComplete());
        int steadyCalls = 0;
        for (const auto& call : recorder.Calls())
            steadyCalls += call.sink == 0;
        EXPECT_EQ(steadyCalls, kSamples) << "the steady subscriber saw every sample";
        EXPECT_EQ(point->Unadvise(steadyCookie), S_OK);
        steady->Release();
    }
    filter->Release();
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}
