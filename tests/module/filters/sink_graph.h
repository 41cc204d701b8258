// A graph around one of the module's renderer filters, as the player builds it: the filter
// and a test source in a real filter graph, connected directly, running without a clock, with
// the samples pushed from the test's thread and the graph's completion awaited. Also a
// subscriber that records what reaches it, and a log capture.
//
// The test thread drives the source; the graph's event queue has its own lock. A sink's record
// is under its recorder's mutex.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/platform_classes.h"
#include "directshow/test_filters.h"
#include "module/filters/BasicIUnknown.h"
#include "module/filters/SinkInterfaces.h"
#include "module/logging/capture_target.h"
#include "module/logging/logstream.h"
#include "support/temp_dir.h"

namespace zyl::test {

// Every SampleSnapped call of every sink sharing it, in call order.
struct SnapRecorder {
    struct Call {
        int sink;
        std::string text;  // the sample's bytes up to its actual length
    };
    std::mutex mutex;
    std::vector<Call> calls;
    std::vector<Call> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

// A subscriber of either sink interface (I), as the player's sinks are: counted by
// CBasicIUnknown, recording each sample and answering with `answer`.
template <class I>
class SubscriberSink final : public COM::CBasicIUnknown, public I {
public:
    SubscriberSink(const IID& iid, int id, SnapRecorder& recorder, HRESULT answer = S_OK)
        : m_iid(iid), m_id(id), m_recorder(recorder), m_answer(answer) {}
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown) {
            *object = static_cast<IUnknown*>(static_cast<COM::CBasicIUnknown*>(this));
        } else if (riid == m_iid) {
            *object = static_cast<I*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return CBasicIUnknown::AddRef(); }
    ULONG Release() override { return CBasicIUnknown::Release(); }
    HRESULT SampleSnapped(IUnknown* sample) override {
        ComPtr<IMediaSample> media;
        SnapRecorder::Call call{m_id, {}};
        if (sample && SUCCEEDED(sample->QueryInterface(IID_IMediaSample, media.PutVoid()))) {
            BYTE* data = nullptr;
            media->GetPointer(&data);
            call.text.assign(reinterpret_cast<const char*>(data),
                             static_cast<std::size_t>(media->GetActualDataLength()));
        }
        std::lock_guard lock(m_recorder.mutex);
        m_recorder.calls.push_back(std::move(call));
        return m_answer;
    }
    // The sink's count as a caller sees it after one more AddRef/Release pair.
    ULONG Count() {
        AddRef();
        return Release();
    }

private:
    const IID m_iid;
    const int m_id;
    SnapRecorder& m_recorder;
    const HRESULT m_answer;
};

using TextSink = SubscriberSink<COM::IZYLTextTransfer>;
using VideoSink = SubscriberSink<COM::IZYLTransfer2>;

// A source pin's delivery of one sample filled with `bytes`, `actual` of them counted as
// data, at `at` for one unit of time.
inline HRESULT SendBytes(SourcePin& pin, const std::vector<BYTE>& bytes, LONG actual,
                         REFERENCE_TIME at) {
    IMediaSample* sample = nullptr;
    if (HRESULT hr = pin.GetDeliveryBuffer(&sample, nullptr, nullptr, 0); FAILED(hr))
        return hr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::memcpy(data, bytes.data(),
                std::min(bytes.size(), static_cast<std::size_t>(sample->GetSize())));
    sample->SetActualDataLength(actual);
    REFERENCE_TIME start = at, end = at + 1;
    sample->SetTime(&start, &end);
    const HRESULT hr = pin.Deliver(sample);
    sample->Release();
    return hr;
}

// Log capture with every level open; each test starts with an empty record.
class SinkTest : public LoggingTest {
protected:
    void SetUp() override {
        LoggingTest::SetUp();
        qnLogging::set_level_mask(qnLogging::root_logger(), qnLogging::mask::all);
        log = capture();
    }
    // The texts logged at `level`, in order.
    std::vector<std::string> Logged(std::uint32_t level) const {
        std::vector<std::string> texts;
        for (const auto& m : log->messages()) {
            if (m.level == level)
                texts.push_back(m.text);
        }
        return texts;
    }
    std::size_t CountLogged(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& m : log->messages())
            n += m.text == text;
        return n;
    }
    std::shared_ptr<CaptureTarget> log;
};

// A real graph holding `filter` and a source offering `offers`.
class SinkGraph {
public:
    explicit SinkGraph(IBaseFilter* filter) {
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        dshow::RegisterPlatformClasses();
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        graph.As(control, IID_IMediaControl);
        graph.As(events, IID_IMediaEventEx);
        ComPtr<IMediaFilter> clockless;
        graph.As(clockless, IID_IMediaFilter);
        clockless->SetSyncSource(nullptr);
        source = Make<SourceFilter>();
        EXPECT_EQ(graph->AddFilter(filter, L"ZYL Memory Renderer"), S_OK);
        EXPECT_EQ(graph->AddFilter(source, L"Source"), S_OK);
    }
    ~SinkGraph() {
        control->Stop();
        control.Reset();
        events.Reset();
        graph.Reset();
        source->Release();
        CoUninitialize();
    }
    // Connects the source's pin, offering only `type`, to the filter's input pin.
    HRESULT Connect(const CMediaType& type, IPin* input) {
        source->pin().offers = {type};
        return graph->ConnectDirect(&source->pin(), input, nullptr);
    }
    HRESULT Send(const std::vector<BYTE>& bytes, LONG actual) {
        return SendBytes(source->pin(), bytes, actual, m_next++);
    }
    // Ends the stream and waits for the graph's completion.
    bool EndAndComplete() {
        source->pin().DeliverEndOfStream();
        for (;;) {
            LONG code;
            LONG_PTR p1, p2;
            if (FAILED(events->GetEvent(&code, &p1, &p2, 10000)))
                return false;
            events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE)
                return true;
        }
    }

    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    SourceFilter* source = nullptr;

private:
    REFERENCE_TIME m_next = 0;
};

}  // namespace zyl::test
