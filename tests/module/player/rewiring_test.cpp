// The player's rewiring after automatic graph building, on engine graphs built from test
// filters: the AVI splitter's text pin moved onto the text renderer, the colour space converter
// taken out of a chain that connects without it and put back when the chain refuses, what a
// failing step leaves, and the external decoder filters a player inserts by class id,
// registered or not.
#include "module/player/PinRoutines.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "com/runtime.h"
#include "directshow/platform_classes.h"
#include "module/entry/ComServer.h"
#include "module/filters/sink_test.h"
#include "module/player/AVIPlayer.h"
#include "module/player/rewiring_filters.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

using namespace zyl::test;
using namespace zyl::test::rewiring;
using ZYL::player::BypassColorSpaceConverter;
using ZYL::player::ConnectAviSplitterTextPin;

namespace {

constexpr std::uint32_t kErr = qnLogging::level::err;

// The pin's peer, or null; only compared.
IPin* PeerOf(IPin* pin) {
    ComPtr<IPin> peer;
    pin->ConnectedTo(peer.Put());
    return peer.Get();
}

// COM on the test thread, the module's log captured, and no object of the engine left behind.
class Rewiring : public SinkTest {
protected:
    void SetUp() override {
        SinkTest::SetUp();
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        dshow::RegisterPlatformClasses();
    }
    void TearDown() override {
        CoUninitialize();
        SinkTest::TearDown();
    }
    std::size_t Errors() const { return Logged(kErr).size(); }
};

// An engine graph and the test's own references to the filters in it.
class TestGraph {
public:
    TestGraph() {
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IFilterGraph, graph.PutVoid()),
                  S_OK);
    }
    TestGraph(const TestGraph&) = delete;
    TestGraph& operator=(const TestGraph&) = delete;
    ~TestGraph() {
        graph.Reset();  // removes and disconnects every filter
        for (IBaseFilter* filter : m_filters)
            filter->Release();
    }
    template <class F>
    F* Add(const wchar_t* name, F* filter) {
        m_filters.push_back(filter);
        EXPECT_EQ(graph->AddFilter(filter, name), S_OK);
        return filter;
    }
    HRESULT Connect(IPin* out, IPin* in) { return graph->ConnectDirect(out, in, nullptr); }

    ComPtr<IFilterGraph> graph;

private:
    std::vector<IBaseFilter*> m_filters;
};

// The pins of a converter chain a case expects each pin to be connected to; Any is not looked at.
enum class Peer { None, Out, ConvIn, ConvOut, DownIn, Any };

struct TextSceneOptions {
    const wchar_t* splitterName = L"AVI Splitter";
    int textPins = 1;
    bool videoConnected = true;
    bool rendererHasInput = true;
    GUID rendererTakes = MEDIATYPE_Text;
};

// What automatic building leaves for a file with text: a splitter stand-in with an unconnected
// input pin, a video pin on a video renderer and text pins each on a text filter that is not
// the module's, next to the module's text renderer (here any filter), unconnected.
class TextScene : public TestGraph {
public:
    explicit TextScene(const TextSceneOptions& options = {}) {
        auto* s = Make<PinFilter>();
        s->AddInput(MEDIATYPE_Stream);
        video = &s->AddOutput({VideoType(MEDIASUBTYPE_RGB32, 8, 8)});
        for (int i = 0; i < options.textPins; ++i)
            texts.push_back(&s->AddOutput({TextType()}));
        splitter = Add(options.splitterName, s);

        auto* v = Make<PinFilter>();
        videoIn = &v->AddInput(MEDIATYPE_Video);
        Add(L"Video Renderer", v);
        for (int i = 0; i < options.textPins; ++i) {
            auto* other = Make<PinFilter>();
            others.push_back(&other->AddInput(MEDIATYPE_Text));
            Add(i == 0 ? L"Other Text Renderer" : L"Another Text Renderer", other);
        }
        auto* t = Make<PinFilter>();
        if (options.rendererHasInput)
            textIn = &t->AddInput(options.rendererTakes);
        else
            t->AddOutput({TextType()});
        textRenderer = Add(L"ZYL Text Memory Renderer", t);

        if (options.videoConnected) {
            EXPECT_EQ(Connect(video, videoIn), S_OK);
        }
        for (std::size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(Connect(texts[i], others[i]), S_OK);
        }
    }

    PinFilter* splitter = nullptr;
    SourcePin* video = nullptr;
    std::vector<SourcePin*> texts;
    TakingPin* videoIn = nullptr;
    std::vector<TakingPin*> others;
    PinFilter* textRenderer = nullptr;
    TakingPin* textIn = nullptr;
};

struct ChainOptions {
    GUID decoded = MEDIASUBTYPE_RGB32;  // what the decoder offers
    bool h265InGraph = true;
    bool h265Decodes = false;  // the decoder in the chain is the H.265 decoder
    bool converterInGraph = true;
    bool converterConnected = true;
};

// A video chain as automatic building leaves it with the external filters inserted: decoder,
// colour space converter (to RGB32), a renderer that takes RGB32 only, and the H.265 decoder.
class Chain : public TestGraph {
public:
    explicit Chain(const ChainOptions& options = {}) {
        auto* d = Make<PinFilter>();
        out = &d->AddOutput({VideoType(options.decoded, 8, 8)});
        decoder = Add(options.h265Decodes ? L"Lead H265 Decoder" : L"Video Decoder", d);
        if (options.h265InGraph && !options.h265Decodes)
            Add(L"Lead H265 Decoder", Make<TestConverter>());
        auto* r = Make<PinFilter>();
        downIn = &r->AddInput(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
        renderer = Add(L"Video Renderer", r);
        if (options.converterInGraph) {
            converter = Add(L"Lead Color Space Converter",
                            Make<TestConverter>(GUID_NULL, MEDIASUBTYPE_RGB32));
        }
        if (converter && options.converterConnected) {
            EXPECT_EQ(Connect(out, converter->Input()), S_OK);
            EXPECT_EQ(Connect(converter->Output(), downIn), S_OK);
        } else {
            EXPECT_EQ(Connect(out, downIn), S_OK);
        }
    }
    IPin* Named(Peer peer) const {
        IPin* const pins[] = {nullptr,
                              out,
                              converter ? converter->Input() : nullptr,
                              converter ? converter->Output() : nullptr,
                              downIn,
                              nullptr};
        return pins[static_cast<int>(peer)];
    }

    PinFilter* decoder = nullptr;
    SourcePin* out = nullptr;
    TestConverter* converter = nullptr;
    PinFilter* renderer = nullptr;
    TakingPin* downIn = nullptr;
};

// Where the splitter's first text pin ends up; its old peer keeps its own side either way,
// since IPin::Disconnect breaks only the pin's own side of a connection.
enum class TextPin { Moved, Untouched, LetGo };

// What a case does to its graph before the rewiring.
void TakeTextRenderer(TextScene& scene) {
    auto* subtitles = Make<PinFilter>();
    SourcePin& out = subtitles->AddOutput({TextType()});
    scene.Add(L"Subtitle Source", subtitles);
    EXPECT_EQ(scene.Connect(&out, scene.textIn), S_OK);
}
void PauseSplitter(TextScene& scene) {
    EXPECT_EQ(scene.splitter->Pause(), S_OK);
}
void LetConverterInputGo(Chain& chain) {
    EXPECT_EQ(chain.converter->Input()->Disconnect(), S_OK);
    EXPECT_EQ(chain.out->Disconnect(), S_OK);
}
void PauseConverter(Chain& chain) {
    EXPECT_EQ(chain.converter->Pause(), S_OK);
}
void PauseDecoder(Chain& chain) {
    EXPECT_EQ(chain.decoder->Pause(), S_OK);
}
void PauseRenderer(Chain& chain) {
    EXPECT_EQ(chain.renderer->Pause(), S_OK);
}
void ConverterRefuses(Chain& chain) {
    chain.converter->refuseInput = true;
}
void RendererRefuses(Chain& chain) {
    chain.downIn->subtype = MEDIASUBTYPE_NV12;
}

}  // namespace

TEST_F(Rewiring, TheSplittersFirstTextPinMovesToTheTextRendererOrStaysWhereItCannot) {
    using enum TextPin;
    struct Case {
        const char* what;
        TextSceneOptions options;
        void (*prepare)(TextScene&);
        TextPin outcome;
        std::size_t errors;
    };
    const Case cases[] = {
        {"one text pin", {}, nullptr, Moved, 0},
        {"two text pins", {.textPins = 2}, nullptr, Moved, 0},
        {"the text renderer is taken", {}, TakeTextRenderer, Untouched, 0},
        {"no AVI Splitter", {.splitterName = L"MPEG-2 Splitter"}, nullptr, Untouched, 1},
        {"a pin before the text pin unconnected", {.videoConnected = false}, nullptr, Untouched, 1},
        {"the splitter is not stopped", {}, PauseSplitter, Untouched, 1},
        {"the text renderer has no input", {.rendererHasInput = false}, nullptr, LetGo, 0},
        {"the text renderer refuses text", {.rendererTakes = MEDIATYPE_Video}, nullptr, LetGo, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TextScene scene(c.options);
        if (c.prepare)
            c.prepare(scene);
        IPin* const rendererPeer = scene.textIn ? PeerOf(scene.textIn) : nullptr;
        const std::size_t errors = Errors();
        ConnectAviSplitterTextPin(scene.graph.Get(), scene.textRenderer);
        scene.splitter->Stop();
        EXPECT_EQ(Errors() - errors, c.errors) << "a failing step is logged once";
        EXPECT_EQ(PeerOf(scene.others[0]), scene.texts[0]);
        EXPECT_EQ(PeerOf(scene.video), c.options.videoConnected ? scene.videoIn : nullptr);
        for (std::size_t i = 1; i < scene.texts.size(); ++i)
            EXPECT_EQ(PeerOf(scene.texts[i]), scene.others[i]) << "only the first moves";
        if (c.outcome == TextPin::Moved) {
            EXPECT_EQ(PeerOf(scene.texts[0]), scene.textIn);
            EXPECT_EQ(PeerOf(scene.textIn), scene.texts[0]);
        } else if (c.outcome == TextPin::Untouched) {
            EXPECT_EQ(PeerOf(scene.texts[0]), scene.others[0]);
            EXPECT_EQ(PeerOf(scene.textIn), rendererPeer);
        } else {
            EXPECT_EQ(PeerOf(scene.texts[0]), nullptr);
            EXPECT_TRUE(!scene.textIn || !PeerOf(scene.textIn));
        }
    }
}

TEST_F(Rewiring, TheConverterIsBypassedWhereTheChainConnectsWithoutItAndAFailingStepStops) {
    using enum Peer;
    struct Case {
        const char* what;
        ChainOptions options;
        void (*prepare)(Chain&);
        std::array<Peer, 4> peers;  // of the decoder's output, converter in and out, renderer
        std::size_t errors;
    };
    const GUID kRGB24 = MEDIASUBTYPE_RGB24;  // the renderer takes RGB32 only
    const std::array through{ConvIn, Out, DownIn, ConvOut};
    const std::array direct{DownIn, None, None, Out};
    const Case cases[] = {
        {"the neighbours connect directly", {}, nullptr, direct, 0},
        {"the renderer refuses the decoder", {.decoded = MEDIASUBTYPE_RGB24}, nullptr, through, 0},
        {"the H.265 decoder feeds it", {.h265Decodes = true}, nullptr, through, 0},
        {"no H.265 decoder in the graph", {.h265InGraph = false}, nullptr, through, 0},
        {"the converter is not in the chain", {.converterConnected = false}, nullptr, direct, 0},
        {"no converter", {.converterInGraph = false}, nullptr, {DownIn, Any, Any, Out}, 1},
        {"the converter's input let go", {}, LetConverterInputGo, {None, None, DownIn, ConvOut}, 1},
        {"the converter is not stopped", {}, PauseConverter, through, 1},
        {"the decoder is not stopped", {}, PauseDecoder, {ConvIn, None, DownIn, Any}, 1},
        {"the renderer is not stopped", {}, PauseRenderer, {Any, Any, None, ConvOut}, 1},
        {"the converter refuses the decoder",
         {.decoded = kRGB24},
         ConverterRefuses,
         {None, None, None, Any},
         1},
        {"the renderer refuses the converter",
         {.decoded = kRGB24},
         RendererRefuses,
         {ConvIn, Out, None, None},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Chain chain(c.options);
        if (c.prepare)
            c.prepare(chain);
        const std::size_t errors = Errors();
        BypassColorSpaceConverter(chain.graph.Get());
        for (IBaseFilter* filter :
             {static_cast<IBaseFilter*>(chain.decoder), static_cast<IBaseFilter*>(chain.renderer)})
            filter->Stop();
        if (chain.converter)
            chain.converter->Stop();
        EXPECT_EQ(Errors() - errors, c.errors) << "a failing step is logged once";
        const Peer pins[] = {Out, ConvIn, ConvOut, DownIn};
        for (std::size_t i = 0; i < 4; ++i) {
            if (c.peers[i] != Any) {
                EXPECT_EQ(PeerOf(chain.Named(pins[i])), chain.Named(c.peers[i])) << "pin " << i;
            }
        }
    }
}

// A whole player on a small uncompressed AVI, with this program's renderer filters registered in
// a temporary registry: without the external filters it is built without them and says which
// are missing; with them they join its graph and nothing but the graph holds them.
using ExternalDecoders = Rewiring;
TEST_F(ExternalDecoders, UnregisteredOnesAreNamedRegisteredOnesJoinTheGraphAndAreLetGoWithIt) {
    TempDir dir;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string file = media::RawAvi(dir.path().string(), 24, 16, 8, 3);
    const std::wstring wide(file.begin(), file.end());
    const wchar_t* const kExternal[] = {L"Lead H264 Decoder", L"Lead H265 Decoder",
                                        L"Lead Color Space Converter"};
    const auto found = [](ZYL::CAVIPlayer& player, const wchar_t* name) {
        void* graph = nullptr;
        player.GetEngineObjects(&graph, nullptr, nullptr);
        const auto builder = ComPtr<IGraphBuilder>::Attach(static_cast<IGraphBuilder*>(graph));
        ComPtr<IBaseFilter> filter;
        return builder && builder->FindFilterByName(name, filter.Put()) == S_OK;
    };
    {
        ZYL::CAVIPlayer player(wide.c_str());
        EXPECT_EQ(player.Format().width, 16) << "the player was built on";
        const auto errors = Logged(kErr);
        for (const wchar_t* name : kExternal) {
            const std::string text(name, name + std::wcslen(name));
            EXPECT_FALSE(found(player, name)) << text;
            EXPECT_EQ(
                std::count(errors.begin(), errors.end(), "Unable to create " + text + " filter."),
                1)
                << "the user learns what is missing";
        }
    }
    const std::string server = std::string(ZYLAVI_TEST_FAKES) + "/libexternal_test_filters.so";
    void* library = dlopen(server.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto reg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(library, "DllRegisterServer"));
    ASSERT_TRUE(reg && reg() == S_OK);
    dlclose(library);
    CoFreeUnusedLibraries();
    const std::size_t loaded = com::LoadedServerCount();
    const std::size_t errors = Errors();
    {
        ZYL::CAVIPlayer player(wide.c_str());
        for (const wchar_t* name : kExternal)
            EXPECT_TRUE(found(player, name));
        EXPECT_EQ(Errors(), errors);
    }
    CoFreeUnusedLibraries();
    EXPECT_EQ(com::LoadedServerCount(), loaded)
        << "the server unloads: nothing but the graph held its filters";
}
