// The audio decoder and the audio renderer through real graphs over files made at test time:
// intelligent connect ending audio in them, IBasicAudio through the graph (ranges, refusals, no
// audio renderer), whole streams consumed unclocked and paced by the clock on the null device,
// seeks starting at their target, wide layouts downmixed, types refused, the gain on known
// samples, and no object left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com/com_ptr.h"
#include "com/runtime.h"
#include "directshow/filter_graph.h"
#include "directshow/media/audio_decoder.h"
#include "directshow/media/audio_renderer.h"
#include "directshow/media/ffmpeg.h"
#include "directshow/media/media_filters.h"
#include "directshow/test_filters.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

using namespace zyl::test;
using namespace dshow::media;

namespace {

constexpr int kRate = 48000;
constexpr REFERENCE_TIME kSecond = 10'000'000;

// Writes `seconds` of tones at half scale, each channel its own pitch (440 Hz times its
// number), through the ffmpeg command's `codec`; false without the command.
bool WriteTones(const std::string& path, const char* codec, int channels, double seconds) {
    std::string tones;
    for (int c = 0; c < channels; ++c)
        tones +=
            (c ? "|" : "") + std::string("0.5*sin(2*PI*") + std::to_string(440 * (c + 1)) + "*t)";
    return zyl::test::media::FfmpegCommand({"-y", "-f", "lavfi", "-i",
                                            "aevalsrc=" + tones + ":s=" + std::to_string(kRate) +
                                                ":d=" + std::to_string(seconds),
                                            "-c:a", codec, path})
        .has_value();
}

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

ComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
    ComPtr<IEnumPins> pins;
    if (!filter || FAILED(filter->EnumPins(pins.Put())))
        return {};
    for (;;) {
        ComPtr<IPin> pin;
        if (pins->Next(1, pin.Put(), nullptr) != S_OK)
            return {};
        PIN_DIRECTION direction;
        if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted)
            return pin;
    }
}

// The filter on the other side of a filter's first pin of the given direction.
ComPtr<IBaseFilter> Neighbour(IBaseFilter* filter, PIN_DIRECTION side) {
    const ComPtr<IPin> pin = FirstPin(filter, side);
    ComPtr<IPin> peer;
    if (!pin || FAILED(pin->ConnectedTo(peer.Put())))
        return {};
    PIN_INFO info{};
    if (FAILED(peer->QueryPinInfo(&info)))
        return {};
    return ComPtr<IBaseFilter>::Attach(info.pFilter);
}

// A renderer taking what the audio renderer takes and recording what reaches it.
class AudioRecorder final : public CBaseRenderer {
public:
    struct Sample {
        REFERENCE_TIME start = 0, stop = 0;
        bool discontinuity = false;
        LONG bytes = 0;
        double peak = 0;  // largest magnitude, 1 for full scale
    };
    AudioRecorder() : CBaseRenderer(GUID_NULL, L"recorder", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* type) override {
        int channels = 0, rate = 0;
        return ReadPcm16(*type, &channels, &rate) ? S_OK : S_FALSE;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override {
        Sample s;
        sample->GetTime(&s.start, &s.stop);
        s.discontinuity = sample->IsDiscontinuity() == S_OK;
        s.bytes = sample->GetActualDataLength();
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        for (LONG i = 0; i + 1 < s.bytes; i += 2) {
            std::int16_t value;
            std::memcpy(&value, data + i, sizeof value);
            s.peak = std::max(s.peak, std::abs(value / 32768.0));
        }
        std::lock_guard lock(m_mutex);
        m_samples.push_back(s);
        return S_OK;
    }
    std::vector<Sample> Samples() {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }

private:
    std::mutex m_mutex;
    std::vector<Sample> m_samples;
};

class AudioRendererGraph : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        RegisterMediaFilters();
        before = CBaseObject::ObjectsActive();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
    }
    void TearDown() override {
        if (control)
            control->Stop();
        control.Reset();
        events.Reset();
        graph.Reset();
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no filter, pin or sample left";
        CoUninitialize();
    }

    std::string Aac(double seconds = 1.0, int channels = 2) {
        const std::string path = dir.file("tone" + std::to_string(channels) + ".m4a");
        EXPECT_TRUE(WriteTones(path, "aac", channels, seconds)) << "no ffmpeg command";
        return path;
    }
    std::string FloatWav(double seconds = 1.0, int channels = 6) {
        const std::string path = dir.file("tone" + std::to_string(channels) + ".wav");
        EXPECT_TRUE(WriteTones(path, "pcm_f32le", channels, seconds)) << "no ffmpeg command";
        return path;
    }

    ComPtr<IBaseFilter> Find(const wchar_t* name) {
        ComPtr<IBaseFilter> filter;
        graph->FindFilterByName(name, filter.Put());
        return filter;
    }
    CAudioRenderer* Renderer() {
        const ComPtr<IBaseFilter> filter = Find(L"Audio Renderer");
        return filter ? dynamic_cast<CAudioRenderer*>(filter.Get()) : nullptr;
    }
    void Unclocked() {
        ComPtr<IMediaFilter> filter;
        ASSERT_EQ(graph.As(filter, IID_IMediaFilter), S_OK);
        ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    }
    // Runs to the end of the stream and stops.
    void RunToCompletion(LONG patience = 10000) {
        ASSERT_EQ(graph.As(control, IID_IMediaControl), S_OK);
        ASSERT_EQ(graph.As(events, IID_IMediaEventEx), S_OK);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(patience, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        ASSERT_EQ(control->Stop(), S_OK);
    }
    // Source → (intelligent connect) → recorder, for looking at what the decoder gives.
    AudioRecorder* ConnectRecorder(const std::string& path) {
        ComPtr<IBaseFilter> source;
        EXPECT_EQ(graph->AddSourceFilter(Wide(path).c_str(), L"source", source.Put()), S_OK);
        recorder = Make<AudioRecorder>();
        EXPECT_EQ(graph->AddFilter(recorder, L"recorder"), S_OK);
        recorder->Release();  // the graph holds it
        const ComPtr<IPin> out = FirstPin(source.Get(), PINDIR_OUTPUT);
        const ComPtr<IPin> in = FirstPin(recorder, PINDIR_INPUT);
        EXPECT_TRUE(out && in);
        if (out && in) {
            EXPECT_EQ(graph->Connect(out.Get(), in.Get()), S_OK);
        }
        return recorder;
    }

    LONG before = 0;
    ScopedEnv nullDevice{"ZYLAVI_AUDIO", "null"};
    TempDir dir;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEventEx> events;
    AudioRecorder* recorder = nullptr;
};

}  // namespace

TEST_F(AudioRendererGraph, RenderFileEndsCompressedAudioInTheDecoderAndTheRenderer) {
    ASSERT_EQ(graph->RenderFile(Wide(Aac()).c_str(), nullptr), S_OK);
    const ComPtr<IBaseFilter> decoder = Find(L"Audio Decoder");
    const ComPtr<IBaseFilter> renderer = Find(L"Audio Renderer");
    ASSERT_TRUE(decoder && renderer);
    EXPECT_EQ(Neighbour(renderer.Get(), PINDIR_INPUT).Get(), decoder.Get());
    const ComPtr<IBaseFilter> source = Neighbour(decoder.Get(), PINDIR_INPUT);
    ASSERT_TRUE(source);
    ComPtr<IFileSourceFilter> file;
    EXPECT_EQ(source->QueryInterface(IID_IFileSourceFilter, file.PutVoid()), S_OK)
        << "the decoder reads straight from the source";

    AM_MEDIA_TYPE type{};
    ASSERT_EQ(FirstPin(renderer.Get(), PINDIR_INPUT)->ConnectionMediaType(&type), S_OK);
    int channels = 0, rate = 0;
    EXPECT_TRUE(ReadPcm16(type, &channels, &rate));
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, kRate);
    FreeMediaType(type);
}

TEST_F(AudioRendererGraph, BasicAudioThroughTheGraphKeepsItsRanges) {
    ASSERT_EQ(graph->RenderFile(Wide(Aac(0.2)).c_str(), nullptr), S_OK);
    ComPtr<IBasicAudio> audio;
    ASSERT_EQ(graph.As(audio, IID_IBasicAudio), S_OK);
    LONG value = 1;
    EXPECT_EQ(audio->get_Volume(&value), S_OK);
    EXPECT_EQ(value, 0) << "full volume to begin with";
    EXPECT_EQ(audio->get_Balance(&value), S_OK);
    EXPECT_EQ(value, 0) << "centred to begin with";

    for (LONG volume : {-10000, -2500, 0}) {
        EXPECT_EQ(audio->put_Volume(volume), S_OK);
        EXPECT_EQ(audio->get_Volume(&value), S_OK);
        EXPECT_EQ(value, volume);
    }
    EXPECT_EQ(audio->put_Volume(-1234), S_OK);
    for (LONG volume : {-10001, 1, 10000, -2147483647 - 1}) {
        EXPECT_EQ(audio->put_Volume(volume), E_INVALIDARG) << volume;
        EXPECT_EQ(audio->get_Volume(&value), S_OK);
        EXPECT_EQ(value, -1234) << "a refused value changes nothing";
    }
    for (LONG balance : {-10000, 0, 10000, 300}) {
        EXPECT_EQ(audio->put_Balance(balance), S_OK);
        EXPECT_EQ(audio->get_Balance(&value), S_OK);
        EXPECT_EQ(value, balance);
    }
    for (LONG balance : {-10001, 10001}) {
        EXPECT_EQ(audio->put_Balance(balance), E_INVALIDARG) << balance;
        EXPECT_EQ(audio->get_Balance(&value), S_OK);
        EXPECT_EQ(value, 300);
    }
    EXPECT_EQ(audio->get_Volume(nullptr), E_POINTER);
    EXPECT_EQ(audio->get_Balance(nullptr), E_POINTER);

    // The renderer's own interface: no automation behind IDispatch.
    const ComPtr<IBaseFilter> renderer = Find(L"Audio Renderer");
    ASSERT_TRUE(renderer);
    ComPtr<IBasicAudio> own;
    ASSERT_EQ(renderer->QueryInterface(IID_IBasicAudio, own.PutVoid()), S_OK);
    std::uint32_t count = 0;
    EXPECT_EQ(own->GetTypeInfoCount(&count), E_NOTIMPL);
    EXPECT_EQ(own->GetTypeInfo(0, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(own->GetIDsOfNames(IID_IBasicAudio, nullptr, 0, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(own->Invoke(0, IID_IBasicAudio, 0, 0, nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
}

TEST_F(AudioRendererGraph, AFileWithoutAudioHasNoBasicAudio) {
    const std::string path = zyl::test::media::RawAvi(dir.file(""), 24, 16, 16, 5);
    ComPtr<IBaseFilter> source;
    ASSERT_EQ(graph->AddSourceFilter(Wide(path).c_str(), L"source", source.Put()), S_OK);
    graph->RenderFile(Wide(path).c_str(), nullptr);  // whatever renders the pictures, or not
    EXPECT_FALSE(Find(L"Audio Renderer"));
    ComPtr<IBasicAudio> audio;
    ASSERT_EQ(graph.As(audio, IID_IBasicAudio), S_OK);
    LONG value = 0;
    EXPECT_EQ(audio->put_Volume(-100), E_NOTIMPL);
    EXPECT_EQ(audio->get_Volume(&value), E_NOTIMPL);
    EXPECT_EQ(audio->put_Balance(100), E_NOTIMPL);
    EXPECT_EQ(audio->get_Balance(&value), E_NOTIMPL);
}

TEST_F(AudioRendererGraph, UnclockedTheNullDeviceConsumesTheWholeStream) {
    // A stereo codec with frames of its own, and six float channels downmixed to two.
    const std::string files[] = {Aac(1.0), FloatWav(1.0)};
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        ASSERT_EQ(graph->RenderFile(Wide(path).c_str(), nullptr), S_OK);
        CAudioRenderer* renderer = Renderer();
        ASSERT_NE(renderer, nullptr);
        Unclocked();
        // Volume and balance change while the stream runs.
        std::atomic<bool> done{false};
        std::thread knobs([&] {
            ComPtr<IBasicAudio> audio;
            graph.As(audio, IID_IBasicAudio);
            for (LONG step = 0; !done; step = (step + 1) % 100) {
                audio->put_Volume(-step * 100);
                audio->put_Balance(step * 200 - 10000);
                std::this_thread::yield();
            }
        });
        RunToCompletion();
        done = true;
        knobs.join();
        EXPECT_FALSE(renderer->PlaysToServer());
        const LONGLONG frames = renderer->RenderedFrames();
        if (path.ends_with(".wav")) {
            EXPECT_EQ(frames, kRate) << "PCM is consumed to the sample";
        } else {
            // The codec's padding after the end is cut; the time stamps' 100 ns rounding may
            // cost or add a sample.
            EXPECT_NEAR(static_cast<double>(frames), kRate, 1);
        }
        control.Reset();
        events.Reset();
    }
}

TEST_F(AudioRendererGraph, OnTheClockTheNullDeviceTakesTheStreamsDuration) {
    ASSERT_EQ(graph->RenderFile(Wide(FloatWav(0.5, 2)).c_str(), nullptr), S_OK);
    const auto start = std::chrono::steady_clock::now();
    RunToCompletion();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(400)) << "samples wait for their time";
    EXPECT_EQ(Renderer()->RenderedFrames(), kRate / 2);
}

TEST_F(AudioRendererGraph, WithoutASoundServerTheStreamPlaysOnTheNullDevice) {
    // The sound server asked for does not exist: the renderer falls back, the stream goes on.
    ScopedEnv anyDevice{"ZYLAVI_AUDIO", ""};
    ScopedEnv server{"PULSE_SERVER", "unix:" + dir.file("no-server")};
    ASSERT_EQ(graph->RenderFile(Wide(FloatWav(0.25, 2)).c_str(), nullptr), S_OK);
    Unclocked();
    RunToCompletion();
    CAudioRenderer* renderer = Renderer();
    ASSERT_NE(renderer, nullptr);
    EXPECT_FALSE(renderer->PlaysToServer());
    EXPECT_EQ(renderer->RenderedFrames(), kRate / 4);
}

// Needs a sound server: ZYLAVI_TEST_PULSE_SERVER names it (as PULSE_SERVER would).
TEST_F(AudioRendererGraph, ASoundServerPlaysTheStreamOnTheClock) {
    const char* address = std::getenv("ZYLAVI_TEST_PULSE_SERVER");
    if (!address)
        GTEST_SKIP() << "no sound server named in ZYLAVI_TEST_PULSE_SERVER";
    ScopedEnv anyDevice{"ZYLAVI_AUDIO", ""};
    ScopedEnv server{"PULSE_SERVER", address};
    ASSERT_EQ(graph->RenderFile(Wide(Aac(1.0)).c_str(), nullptr), S_OK);
    ASSERT_EQ(graph.As(control, IID_IMediaControl), S_OK);
    ASSERT_EQ(graph.As(events, IID_IMediaEventEx), S_OK);
    ComPtr<IBasicAudio> audio;
    ASSERT_EQ(graph.As(audio, IID_IBasicAudio), S_OK);
    EXPECT_EQ(audio->put_Volume(-600), S_OK);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    // Deliberate: a listener hears it play for a moment before pausing.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Renderer()->PlaysToServer());
    // A pause and a seek back flush what the server holds; the stream goes on from there.
    EXPECT_TRUE(SUCCEEDED(control->Pause()));
    ComPtr<IMediaSeeking> seeking;
    ASSERT_EQ(graph.As(seeking, IID_IMediaSeeking), S_OK);
    LONGLONG to = kSecond / 2;
    EXPECT_EQ(seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr,
                                    AM_SEEKING_NoPositioning),
              S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    LONG code = 0;
    ASSERT_EQ(events->WaitForCompletion(10000, &code), S_OK);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(Renderer()->PlaysToServer()) << "the server took every write";
    // 0.2 s, then the last half second less the lead.
    EXPECT_GE(took, std::chrono::milliseconds(550));
    EXPECT_LT(took, std::chrono::milliseconds(5000));
    EXPECT_EQ(control->Stop(), S_OK);
}

TEST_F(AudioRendererGraph, StopAndSeekWhilePlayingOnTheClock) {
    ASSERT_EQ(graph->RenderFile(Wide(Aac(3.0)).c_str(), nullptr), S_OK);
    ASSERT_EQ(graph.As(control, IID_IMediaControl), S_OK);
    ComPtr<IMediaSeeking> seeking;
    ASSERT_EQ(graph.As(seeking, IID_IMediaSeeking), S_OK);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        // Deliberate: a user seeks and stops while the sound plays, not before it starts.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        LONGLONG to = kSecond;
        EXPECT_EQ(seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr,
                                        AM_SEEKING_NoPositioning),
                  S_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // deliberate, as above
        EXPECT_TRUE(SUCCEEDED(control->Pause()));
        EXPECT_EQ(control->Stop(), S_OK) << "a stop never waits for the stream's end";
    }
    EXPECT_GT(Renderer()->RenderedFrames(), 0);
}

// What each filter's input takes: 16-bit PCM of one or two channels at a rate for the renderer,
// any codec FFmpeg knows for the decoder; nothing whose format block cannot be read.
TEST_F(AudioRendererGraph, TypesTheRendererAndTheDecoderRefuse) {
    const auto edited = [](auto edit) {
        CMediaType type = Pcm16Type(2, 44100);
        edit(type, *reinterpret_cast<WAVEFORMATEX*>(type.pbFormat));
        return type;
    };
    const CMediaType video =
        edited([](CMediaType& t, WAVEFORMATEX&) { t.majortype = MEDIATYPE_Video; });
    const struct {
        const char* what;
        CLSID filter;
        CMediaType type;
        bool accepted;
    } cases[] = {
        {"mono 8 kHz", CLSID_AudioRenderer, Pcm16Type(1, 8000), true},
        {"stereo", CLSID_AudioRenderer, Pcm16Type(2, 44100), true},
        {"three channels", CLSID_AudioRenderer, Pcm16Type(3, 44100), false},
        {"no rate", CLSID_AudioRenderer, Pcm16Type(2, 0), false},
        {"8-bit samples", CLSID_AudioRenderer,
         edited([](CMediaType&, WAVEFORMATEX& w) { w.wBitsPerSample = 8, w.nBlockAlign = 2; }),
         false},
        {"misaligned", CLSID_AudioRenderer,
         edited([](CMediaType&, WAVEFORMATEX& w) { w.nBlockAlign = 2; }), false},
        {"format too short", CLSID_AudioRenderer,
         edited([](CMediaType& t, WAVEFORMATEX&) { t.cbFormat = sizeof(WAVEFORMATEX) - 2; }),
         false},
        {"video", CLSID_AudioRenderer, video, false},
        {"PCM is one more codec", CLSID_AudioDecoder, Pcm16Type(2, 44100), true},
        {"no channels", CLSID_AudioDecoder,
         edited([](CMediaType&, WAVEFORMATEX& w) { w.nChannels = 0; }), false},
        {"unknown codec", CLSID_AudioDecoder,
         edited([](CMediaType& t, WAVEFORMATEX&) { t.subtype = CodecSubtype(0x7FFFFFF0); }), false},
        {"video", CLSID_AudioDecoder, video, false},
        {"no format", CLSID_AudioDecoder,
         edited([](CMediaType& t, WAVEFORMATEX&) { t.ResetFormatBuffer(); }), false},
    };
    for (const auto& c : cases) {
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(CoCreateInstance(c.filter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   filter.PutVoid()),
                  S_OK);
        const ComPtr<IPin> in = FirstPin(filter.Get(), PINDIR_INPUT);
        ASSERT_TRUE(in);
        EXPECT_EQ(in->QueryAccept(&c.type) == S_OK, c.accepted) << c.what;
    }
}
TEST_F(AudioRendererGraph, ConstructedAndReleasedWithoutAGraph) {
    for (const CLSID& clsid : {CLSID_AudioRenderer, CLSID_AudioDecoder}) {
        ComPtr<IBaseFilter> filter;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   filter.PutVoid()),
                  S_OK);
        ComPtr<IMediaFilter> media;
        EXPECT_EQ(filter->QueryInterface(IID_IMediaFilter, media.PutVoid()), S_OK);
        EXPECT_TRUE(SUCCEEDED(media->Pause()));
        EXPECT_TRUE(SUCCEEDED(media->Stop()));
    }
}

using AudioDecoderGraph = AudioRendererGraph;

TEST_F(AudioDecoderGraph, ASeekStartsTheSoundAtItsTarget) {
    // One codec frame of the tone, the longest a decoder may start before the target.
    constexpr REFERENCE_TIME kFrame = 1024 * kSecond / kRate;
    const std::string files[] = {Aac(1.0), FloatWav(1.0, 2)};
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        AudioRecorder* sink = ConnectRecorder(path);
        EXPECT_TRUE(Find(L"Audio Decoder")) << "nothing else turns these into 16-bit PCM";
        ComPtr<IMediaSeeking> seeking;
        ASSERT_EQ(graph.As(seeking, IID_IMediaSeeking), S_OK);
        LONGLONG to = kSecond / 2;
        ASSERT_EQ(seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr,
                                        AM_SEEKING_NoPositioning),
                  S_OK);
        Unclocked();
        RunToCompletion();
        const auto samples = sink->Samples();
        ASSERT_FALSE(samples.empty());
        EXPECT_GE(samples.front().start, 0) << "nothing from before the target";
        EXPECT_LT(samples.front().start, kFrame);
        EXPECT_TRUE(samples.front().discontinuity);
        LONGLONG bytes = 0;
        for (const auto& s : samples)
            bytes += s.bytes;
        EXPECT_NEAR(static_cast<double>(bytes) / 4, kRate / 2, 1) << "the rest of the file";
        for (std::size_t i = 1; i < samples.size(); ++i)
            EXPECT_GE(samples[i].start, samples[i - 1].start) << "times never go back";
        control.Reset();
        events.Reset();
    }
}

TEST_F(AudioDecoderGraph, WideLayoutsAreDownmixedToStereo) {
    AudioRecorder* sink = ConnectRecorder(FloatWav(0.3, 6));
    AM_MEDIA_TYPE type{};
    ASSERT_EQ(FirstPin(sink, PINDIR_INPUT)->ConnectionMediaType(&type), S_OK);
    int channels = 0, rate = 0;
    EXPECT_TRUE(ReadPcm16(type, &channels, &rate));
    FreeMediaType(type);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(rate, kRate);
    Unclocked();
    RunToCompletion();
    const auto samples = sink->Samples();
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples.front().start, 0);
    LONGLONG bytes = 0;
    double peak = 0;
    for (const auto& s : samples) {
        bytes += s.bytes;
        peak = std::max(peak, s.peak);
    }
    EXPECT_EQ(bytes, kRate * 3 / 10 * 4) << "every sample frame, two channels of two bytes";
    EXPECT_GT(peak, 0.2) << "the tones are heard, not lost in the mix";
}

TEST(AudioRendererVolume, TheGainReachesTheSamples) {
    const std::vector<std::int16_t> tone = {10000, -10000, 32767, -32768, 0, 1};
    std::vector<std::int16_t> out(tone.size());
    const auto apply = [&](int channels, LONG volume, LONG balance) {
        ApplyVolume(tone.data(), out.data(), tone.size() / static_cast<std::size_t>(channels),
                    channels, volume, balance);
        return out;
    };
    using V = std::vector<std::int16_t>;
    EXPECT_EQ(apply(2, 0, 0), tone) << "full volume, centred: untouched";
    EXPECT_EQ(apply(2, -2000, 0), (V{1000, -1000, 3277, -3277, 0, 0})) << "-20 dB is a tenth";
    EXPECT_EQ(apply(2, -600, 0), (V{5012, -5012, 16422, -16423, 0, 1})) << "-6 dB";
    EXPECT_EQ(apply(2, -10000, 0), (V{0, 0, 0, 0, 0, 0})) << "-100 dB is silence";
    EXPECT_EQ(apply(2, 0, 2000), (V{1000, -10000, 3277, -32768, 0, 1})) << "right: left cut";
    EXPECT_EQ(apply(2, 0, -2000), (V{10000, -1000, 32767, -3277, 0, 0})) << "left: right cut";
    EXPECT_EQ(apply(2, 0, 10000), (V{0, -10000, 0, -32768, 0, 1})) << "left silent";
    EXPECT_EQ(apply(2, -2000, -2000), (V{1000, -100, 3277, -328, 0, 0})) << "both add up";
    EXPECT_EQ(apply(1, -2000, 0), (V{1000, -1000, 3277, -3277, 0, 0})) << "one channel";

    std::vector<std::int16_t> same = tone;
    ApplyVolume(same.data(), same.data(), 3, 2, -2000, 0);
    EXPECT_EQ(same, (V{1000, -1000, 3277, -3277, 0, 0})) << "in place";
}
