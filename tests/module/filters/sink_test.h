// What the renderer filters' tests share: a subscriber that records what reaches it, and a
// fixture that captures the log, fails a test that leaves a filter, pin, subscriber or
// enumerator alive and hands samples to its filter as the streaming thread does. A sink's record
// is under its recorder's mutex; the live count is atomic.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "com/com_ptr.h"
#include "directshow/allocator.h"
#include "directshow/test_filters.h"
#include "module/filters/BasicIUnknown.h"
#include "module/filters/SinkInterfaces.h"
#include "module/logging/capture_target.h"
#include "module/logging/logstream.h"

namespace zyl::test {

// Every SampleSnapped call of the sinks sharing it: sink id, sample bytes up to its actual length.
struct SnapRecorder {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> calls;
    std::vector<std::pair<int, std::string>> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

inline std::atomic<int> g_liveSinks{0};  // subscribers not yet destroyed

// A subscriber of either sink interface (I), as the player's sinks are: counted by
// CBasicIUnknown, recording each sample and answering with `answer`.
template <class I>
class SubscriberSink final : public COM::CBasicIUnknown, public I {
public:
    static constexpr const IID& kIid =
        std::is_same_v<I, COM::IZYLTransfer2> ? COM::IID_IZYLTransfer2 : COM::IID_IZYLTextTransfer;
    SubscriberSink(int id, SnapRecorder& recorder, HRESULT answer = S_OK)
        : m_id(id), m_recorder(recorder), m_answer(answer) {
        ++g_liveSinks;
    }
    ~SubscriberSink() override { --g_liveSinks; }
    HRESULT QueryInterface(REFIID riid, void** object) override {
        *object = riid == IID_IUnknown ? Unknown() : riid == kIid ? static_cast<I*>(this) : nullptr;
        if (!*object)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return CBasicIUnknown::AddRef(); }
    ULONG Release() override { return CBasicIUnknown::Release(); }
    HRESULT SampleSnapped(IUnknown* sample) override {
        ComPtr<IMediaSample> media;
        std::string text;
        BYTE* data = nullptr;
        if (sample && SUCCEEDED(sample->QueryInterface(IID_IMediaSample, media.PutVoid())) &&
            SUCCEEDED(media->GetPointer(&data)))
            text.assign(reinterpret_cast<const char*>(data),
                        static_cast<std::size_t>(media->GetActualDataLength()));
        std::lock_guard lock(m_recorder.mutex);
        m_recorder.calls.emplace_back(m_id, std::move(text));
        return m_answer;
    }
    IUnknown* Unknown() { return static_cast<COM::CBasicIUnknown*>(this); }

private:
    const int m_id;
    SnapRecorder& m_recorder;
    const HRESULT m_answer;
};

using TextSink = SubscriberSink<COM::IZYLTextTransfer>;
using VideoSink = SubscriberSink<COM::IZYLTransfer2>;

// The reference count one more AddRef/Release pair sees.
inline ULONG Count(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Log capture with every level open, and the leak check: no filter or pin of the engine and no
// subscriber outlives the test. Enumerators each hold their filter, so ReleaseFilter (the
// test's last reference) finds any one left.
class SinkTest : public LoggingTest {
protected:
    void SetUp() override {
        LoggingTest::SetUp();
        qnLogging::set_level_mask(qnLogging::root_logger(), qnLogging::mask::all);
        log = capture();
    }
    void TearDown() override {
        EXPECT_EQ(CBaseObject::ObjectsActive(), objectsBefore) << "a filter or pin left behind";
        EXPECT_EQ(g_liveSinks.load(), sinksBefore) << "a subscriber left behind";
        LoggingTest::TearDown();
    }
    static void ReleaseFilter(IUnknown* filter) {
        EXPECT_EQ(filter->Release(), 0u) << "an enumerator or another reference still holds it";
    }
    std::vector<std::string> Logged(std::uint32_t level) const {
        std::vector<std::string> texts;
        for (const auto& m : log->messages())
            if (m.level == level)
                texts.push_back(m.text);
        return texts;
    }

    const LONG objectsBefore = CBaseObject::ObjectsActive();
    const int sinksBefore = g_liveSinks.load();
    std::shared_ptr<CaptureTarget> log;
};

// One renderer filter F, created for each test; the test's reference is its last.
template <class F>
class Target : public SinkTest {
protected:
    void TearDown() override {
        if (filter)  // null when the test let it go itself
            ReleaseFilter(static_cast<IBaseFilter*>(filter));
        SinkTest::TearDown();
    }
    // Hands `bytes` over as the streaming thread does, `actual` of them counted as data.
    HRESULT Render(std::vector<BYTE> bytes, LONG actual) {
        auto* sample = new CMediaSample(L"test sample", nullptr, nullptr, bytes.data(),
                                        static_cast<LONG>(bytes.size()));
        sample->AddRef();
        sample->SetActualDataLength(actual);
        const HRESULT hr = filter->DoRenderSample(sample);
        sample->Release();
        return hr;
    }

    F* filter = Make<F>(nullptr, nullptr);
};

}  // namespace zyl::test
