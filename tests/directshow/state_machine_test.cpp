// Stop, Pause and Run through each base, as a table of transitions: what each answers, what
// GetState then says, what got downstream, and that nothing is left once the filters are gone.
// Renderers complete a pause only with a sample or the end of the stream; the other bases at
// once.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "directshow/frame_source.h"
#include "directshow/graph_fixture.h"
#include "directshow/test_decoder.h"

using namespace zyl::test;

namespace {

constexpr REFERENCE_TIME kFrame = 40 * MILLISECONDS;
constexpr HRESULT kIntermediate = VFW_S_STATE_INTERMEDIATE;

enum class Op { Pause, Run, Stop, Sample, EndOfStream };

struct Step {
    Op op;
    HRESULT hr;          // the filter under test's answer; for a sample, the sender's
    FILTER_STATE state;  // what GetState then says
    HRESULT waited;      // and answers
    int received = -1;   // samples downstream by then (-1: not looked at)
};

// The filters are changed downstream first, as a graph changes them.
class StateMachine : public OwnedFilters {
protected:
    void Play(const std::vector<Step>& steps) {
        int sent = 0;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            SCOPED_TRACE(testing::Message() << "step " << i);
            if (s.op == Op::Sample) {
                const int number = sent++;
                streamers.emplace_back([this, number, hr = s.hr] {
                    EXPECT_EQ(upstream->Send(number, number * kFrame, (number + 1) * kFrame), hr);
                });
                if (!rendering)  // only a renderer holds a sample: the rest answer at once
                    JoinStreamers();
            } else if (s.op == Op::EndOfStream) {
                EXPECT_EQ(upstream->DeliverEndOfStream(), s.hr);
            } else {
                for (CBaseFilter* f : owned) {
                    const HRESULT hr = s.op == Op::Pause ? f->Pause()
                                       : s.op == Op::Run ? f->Run(0)
                                                         : f->Stop();
                    if (f == tested) {
                        EXPECT_EQ(hr, s.hr);
                    }
                }
                if (s.op == Op::Stop)
                    JoinStreamers();
            }
            FILTER_STATE state = State_Running;
            EXPECT_EQ(tested->GetState(s.waited == S_OK ? 5000 : 20, &state), s.waited);
            EXPECT_EQ(state, s.state);
            if (s.received >= 0) {
                EXPECT_EQ(received(static_cast<std::size_t>(s.received)), s.received);
                if (s.received == sent)  // all are out, so the senders are done
                    JoinStreamers();
            }
        }
    }
    // source -> M -> sink, M under test.
    template <class M>
    std::pair<M*, RecordingSink*> Between(const CMediaType& in, const GUID& out) {
        auto* sink = Own<RecordingSink>();
        auto* middle = Own<M>();
        auto* source = Own<SourceFilter>();
        source->pin().offers = {in};
        sink->pin().accepted = out;
        EXPECT_EQ(source->pin().Connect(middle->Input(), nullptr), S_OK);
        EXPECT_EQ(middle->Output()->Connect(&sink->pin(), nullptr), S_OK);
        tested = middle;
        upstream = &source->pin();
        Downstream(sink);
        return {middle, sink};
    }
    void Downstream(RecordingSink* sink) {
        received = [sink](std::size_t n) {
            sink->pin().WaitFor(n);
            return static_cast<int>(sink->pin().Samples().size());
        };
    }

    CBaseFilter* tested = nullptr;
    SourcePin* upstream = nullptr;  // where samples and the end of the stream come from
    bool rendering = false;
    std::function<int(std::size_t)> received;  // how many arrived downstream, once n have
};

}  // namespace

TEST_F(StateMachine, Renderer) {
    auto* renderer = Own<RecordingRenderer>();  // no clock: due at once
    auto* source = Own<SourceFilter>();
    source->pin().offers = {VideoType(MEDIASUBTYPE_RGB32, 8, 8)};
    ASSERT_EQ(source->pin().Connect(renderer->InputPin(), nullptr), S_OK);
    EventGraph graph;
    renderer->JoinFilterGraph(&graph, L"renderer");
    tested = renderer;
    upstream = &source->pin();
    rendering = true;
    received = [renderer](std::size_t n) {
        renderer->WaitFor(n);
        return static_cast<int>(renderer->Renders().size());
    };
    Play({
        {Op::Pause, S_FALSE, State_Paused, kIntermediate},  // no sample yet
        {Op::Pause, S_FALSE, State_Paused, kIntermediate},  // still none
        {Op::Sample, S_OK, State_Paused, S_OK, 0},          // held, not drawn
        {Op::Run, S_OK, State_Running, S_OK, 1},            // drawn once
        {Op::Pause, S_FALSE, State_Paused, kIntermediate},  // nothing held: waits for the next
        {Op::EndOfStream, S_OK, State_Paused, S_OK},        // or for the end
        {Op::Run, S_OK, State_Running, S_OK},               // which completes now
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Run, S_OK, State_Running, S_OK},  // the end of the stream is forgotten
        {Op::Sample, S_OK, State_Running, S_OK, 2},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Pause, S_FALSE, State_Paused, kIntermediate},  // after a stop, fresh data only
        {Op::Stop, S_OK, State_Stopped, S_OK},
    });
    for (const auto& r : renderer->Renders())
        EXPECT_EQ(r.state, State_Running) << "frame " << r.number;
    EXPECT_TRUE(graph.WaitFor(EC_COMPLETE, kPatience));
    EXPECT_EQ(graph.Events(), std::vector<LONG>{EC_COMPLETE}) << "once, on the run after it";
}

TEST_F(StateMachine, Source) {
    auto* sink = Own<RecordingSink>();
    auto* source = Own<FrameSource>(10);
    sink->pin().accepted = MEDIASUBTYPE_TestPacket;
    ASSERT_EQ(source->pin().Connect(&sink->pin(), nullptr), S_OK);
    tested = source;
    // Each run of ten ends its stream: a stop before that end arrives would swallow it.
    received = [sink](std::size_t n) {
        sink->pin().WaitFor(n);
        sink->pin().WaitEndOfStream(n / 10);
        return static_cast<int>(sink->pin().Samples().size());
    };
    Play({
        {Op::Pause, S_OK, State_Paused, S_OK, 10},  // the thread streams while paused
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Run, S_OK, State_Running, S_OK, 20},  // a new thread, from the start
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Pause, S_OK, State_Paused, S_OK, 30},
        {Op::Stop, S_OK, State_Stopped, S_OK},
    });
    EXPECT_EQ(sink->pin().EndsOfStream(), (std::vector<std::size_t>{10, 20, 30}));
    EXPECT_EQ(source->threads->created.load(), 3);
    EXPECT_EQ(source->threads->destroyed.load(), 3) << "each stop ends its thread";
}

TEST_F(StateMachine, Transform) {
    const auto [transform, sink] =
        Between<TenTimes>(VideoType(MEDIASUBTYPE_RGB32, 8, 8), MEDIASUBTYPE_RGB24);
    Play({
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Sample, S_OK, State_Paused, S_OK, 1},  // samples pass while paused
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::Sample, S_OK, State_Running, S_OK, 2},
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Sample, VFW_E_NOT_COMMITTED, State_Stopped, S_OK, 2},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::Sample, S_OK, State_Running, S_OK, 3},
        {Op::Stop, S_OK, State_Stopped, S_OK},
    });
    EXPECT_EQ(sink->pin().Numbers(), (std::vector<int>{0, 10, 30}));
    EXPECT_EQ(transform->starts.load(), 2) << "each time it leaves the stopped state";
    EXPECT_EQ(transform->stops.load(), 2);
}

TEST_F(StateMachine, Decoder) {
    const auto sink =
        Between<NumberDecoder>(VideoType(MEDIASUBTYPE_TestPacket, 8, 8, kFrame), MEDIASUBTYPE_RGB32)
            .second;
    Play({
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Sample, S_OK, State_Paused, S_OK, 0},  // held back by the codec
        {Op::Sample, S_OK, State_Paused, S_OK, 1},
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::EndOfStream, S_OK, State_Running, S_OK, 2},  // drained
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Sample, VFW_E_NOT_COMMITTED, State_Stopped, S_OK, 2},
        {Op::Run, S_OK, State_Running, S_OK},
        {Op::Sample, S_OK, State_Running, S_OK, 2},  // held back
        {Op::Stop, S_OK, State_Stopped, S_OK},       // and dropped with the codec's state
        {Op::Stop, S_OK, State_Stopped, S_OK},
        {Op::Pause, S_OK, State_Paused, S_OK},
        {Op::Sample, S_OK, State_Paused, S_OK, 2},  // nothing from before the stop comes out
        {Op::EndOfStream, S_OK, State_Paused, S_OK, 3},
        {Op::Stop, S_OK, State_Stopped, S_OK},
    });
    EXPECT_EQ(sink->pin().Numbers(), (std::vector<int>{0, 1, 4}));
    EXPECT_EQ(sink->pin().EndsOfStream(), (std::vector<std::size_t>{2, 3}));
}
