// The player's rewiring after automatic graph building, on engine graphs built from test
// filters: the AVI splitter's text pin moved onto the text renderer, the colour space converter
// taken out of a chain that connects without it and put back when the chain refuses, the line
// each failing step logs, and the external decoder filters a player inserts by class id,
// registered or not.
#include "module/player/PinRoutines.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "com/runtime.h"
#include "directshow/platform_classes.h"
#include "module/entry/ComServer.h"
#include "module/filters/sink_test.h"
#include "support/temp_dir.h"
#include "module/player/AVIPlayer.h"
#include "module/player/rewiring_filters.h"
#include "support/temp_dir.h"
#include "support/test_media.h"

using namespace zyl::test;
using namespace zyl::test::rewiring;
using ZYL::player::BypassColorSpaceConverter;
using ZYL::player::ConnectAviSplitterTextPin;
using ZYL::player::IsFilterConnected;

namespace {

constexpr std::uint32_t kErr = qnLogging::level::err;
constexpr std::uint32_t kInfo = qnLogging::level::info;

// The pin `pin` is connected to, or null; the pointer is only compared.
IPin* PeerOf(IPin* pin) {
    ComPtr<IPin> peer;
    pin->ConnectedTo(peer.Put());
    return peer.Get();
}

// A logged DirectShow failure: the text, " (", the code in lower-case hex, ")".
std::string Line(const std::string& text, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(hr));
    return text + " (" + code + ")";
}

// The same, for a failure whose code the procedure passes on from a filter.
::testing::AssertionResult IsFailureLine(const std::string& line, const std::string& text) {
    const std::string head = text + " (";
    const bool framed = line.size() == head.size() + 9 && line.compare(0, head.size(), head) == 0 &&
                        line.back() == ')';
    const std::string code = framed ? line.substr(head.size(), 8) : std::string();
    if (!framed || code.find_first_not_of("0123456789abcdef") != std::string::npos ||
        code[0] < '8') {
        return ::testing::AssertionFailure()
               << '"' << line << "\" is not \"" << text << " (<failure code>)\"";
    }
    return ::testing::AssertionSuccess();
}

// COM on the test thread, the module's log captured, and no object of the engine left behind.
class Rewiring : public SinkTest {
protected:
    void SetUp() override {
        SinkTest::SetUp();
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        dshow::RegisterPlatformClasses();
        before = CBaseObject::ObjectsActive();
    }
    void TearDown() override {
        EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "no filter, pin or graph left behind";
        CoUninitialize();
        SinkTest::TearDown();
    }
    // The texts logged at `level` since the log held `from` messages.
    std::vector<std::string> LoggedSince(std::size_t from, std::uint32_t level) const {
        std::vector<std::string> texts;
        const auto messages = log->messages();
        for (std::size_t i = from; i < messages.size(); ++i) {
            if (messages[i].level == level)
                texts.push_back(messages[i].text);
        }
        return texts;
    }
    std::size_t Mark() const { return log->messages().size(); }

    LONG before = 0;
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
    void Rewire() { ConnectAviSplitterTextPin(graph.Get(), textRenderer); }
    // The text pins still where automatic building put them.
    void ExpectTextUntouched() const {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(PeerOf(texts[i]), others[i]) << "text pin " << i;
            EXPECT_EQ(PeerOf(others[i]), texts[i]) << "text pin " << i;
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
    void Bypass() { BypassColorSpaceConverter(graph.Get()); }
    void ExpectThroughConverter() const {
        EXPECT_EQ(PeerOf(out), converter->Input());
        EXPECT_EQ(PeerOf(converter->Input()), out);
        EXPECT_EQ(PeerOf(converter->Output()), downIn);
        EXPECT_EQ(PeerOf(downIn), converter->Output());
    }
    void ExpectDirect() const {
        EXPECT_EQ(PeerOf(out), downIn);
        EXPECT_EQ(PeerOf(downIn), out);
    }

    PinFilter* decoder = nullptr;
    SourcePin* out = nullptr;
    TestConverter* converter = nullptr;
    PinFilter* renderer = nullptr;
    TakingPin* downIn = nullptr;
};

}  // namespace

TEST_F(Rewiring, TheSplittersTextPinMovesToTheTextRendererAndOnlyItsOwnSideLetsGo) {
    TextScene scene;
    scene.Rewire();
    EXPECT_EQ(PeerOf(scene.texts[0]), scene.textIn);
    EXPECT_EQ(PeerOf(scene.textIn), scene.texts[0]);
    EXPECT_EQ(PeerOf(scene.others[0]), scene.texts[0])
        << "IPin::Disconnect breaks only the pin's own side of the connection";
    EXPECT_EQ(PeerOf(scene.video), scene.videoIn) << "the video stream stays";
    EXPECT_TRUE(IsFilterConnected(scene.textRenderer));
    EXPECT_TRUE(Logged(kErr).empty());
}

TEST_F(Rewiring, OnlyTheFirstTextPinMoves) {
    TextScene scene({.textPins = 2});
    scene.Rewire();
    EXPECT_EQ(PeerOf(scene.textIn), scene.texts[0]);
    EXPECT_EQ(PeerOf(scene.texts[1]), scene.others[1]);
    EXPECT_EQ(PeerOf(scene.others[1]), scene.texts[1]);
}

TEST_F(Rewiring, TheTextPinStaysWhenTheTextRendererIsTakenOrThereIsNoSplitter) {
    {
        SCOPED_TRACE("the text renderer already has a stream");
        TextScene scene;
        auto* subtitles = Make<PinFilter>();
        SourcePin& subtitleOut = subtitles->AddOutput({TextType()});
        scene.Add(L"Subtitle Source", subtitles);
        ASSERT_EQ(scene.Connect(&subtitleOut, scene.textIn), S_OK);
        const std::size_t mark = Mark();
        scene.Rewire();
        scene.ExpectTextUntouched();
        EXPECT_EQ(PeerOf(scene.textIn), &subtitleOut);
        EXPECT_TRUE(LoggedSince(mark, kErr).empty());
    }
    {
        SCOPED_TRACE("no filter is named AVI Splitter");
        TextScene scene({.splitterName = L"MPEG-2 Splitter"});
        const std::size_t mark = Mark();
        scene.Rewire();
        scene.ExpectTextUntouched();
        EXPECT_EQ(PeerOf(scene.textIn), nullptr);
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{
                      Line("Unable to get AVI Splitter from filter graph.", VFW_E_NOT_FOUND)}));
    }
}

TEST_F(Rewiring, AFailingTextStepLogsItsLineAndEndsTheMove) {
    {
        SCOPED_TRACE("an output pin before the text pin is not connected");
        TextScene scene({.videoConnected = false});
        const std::size_t mark = Mark();
        scene.Rewire();
        scene.ExpectTextUntouched();
        EXPECT_EQ(PeerOf(scene.textIn), nullptr);
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{
                      Line("Unable to retrieve the media type descriptor", VFW_E_NOT_CONNECTED)}));
    }
    {
        SCOPED_TRACE("the splitter is not stopped");
        TextScene scene;
        ASSERT_EQ(scene.splitter->Pause(), S_OK);
        const std::size_t mark = Mark();
        scene.Rewire();
        EXPECT_EQ(scene.splitter->Stop(), S_OK);
        scene.ExpectTextUntouched();
        EXPECT_EQ(
            LoggedSince(mark, kErr),
            (std::vector<std::string>{Line("Unable to disconnect the TextPin from the AVI Splitter",
                                           VFW_E_NOT_STOPPED)}));
    }
    {
        SCOPED_TRACE("the text renderer has no input pin");
        TextScene scene({.rendererHasInput = false});
        const std::size_t mark = Mark();
        scene.Rewire();
        EXPECT_EQ(PeerOf(scene.texts[0]), nullptr) << "let go before the renderer was asked";
        EXPECT_EQ(PeerOf(scene.others[0]), scene.texts[0]);
        EXPECT_TRUE(LoggedSince(mark, kErr).empty());
        EXPECT_EQ(LoggedSince(mark, kInfo),
                  (std::vector<std::string>{
                      "Unable to retrieve inbound pin on ZYL Text render filter."}));
    }
    {
        SCOPED_TRACE("the text renderer refuses text");
        TextScene scene({.rendererTakes = MEDIATYPE_Video});
        const std::size_t mark = Mark();
        scene.Rewire();
        EXPECT_EQ(PeerOf(scene.texts[0]), nullptr);
        EXPECT_EQ(PeerOf(scene.textIn), nullptr);
        const auto lines = LoggedSince(mark, kErr);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(IsFailureLine(
            lines[0],
            "Unable to connect the TextPin from the AVI Splitter to the ZYL Text render filter"));
    }
}

TEST_F(Rewiring, TheConverterIsBypassedWhenItsNeighboursConnectDirectly) {
    Chain chain;
    chain.Bypass();
    chain.ExpectDirect();
    EXPECT_FALSE(IsFilterConnected(chain.converter));
    EXPECT_TRUE(Logged(kErr).empty());
}

TEST_F(Rewiring, TheConverterGoesBackWhenTheDirectConnectionIsRefused) {
    Chain chain({.decoded = MEDIASUBTYPE_RGB24});
    chain.Bypass();
    chain.ExpectThroughConverter();
    EXPECT_EQ(*chain.converter->Input()->CurrentMediaType().Subtype(), MEDIASUBTYPE_RGB24);
    EXPECT_EQ(*chain.converter->Output()->CurrentMediaType().Subtype(), MEDIASUBTYPE_RGB32);
    EXPECT_TRUE(Logged(kErr).empty());
}

TEST_F(Rewiring, TheConverterStaysWhereNothingCallsForTheBypass) {
    {
        SCOPED_TRACE("the H.265 decoder feeds it");
        Chain chain({.h265Decodes = true});
        chain.Bypass();
        chain.ExpectThroughConverter();
    }
    {
        SCOPED_TRACE("no H.265 decoder in the graph");
        Chain chain({.h265InGraph = false});
        chain.Bypass();
        chain.ExpectThroughConverter();
    }
    {
        SCOPED_TRACE("the converter is in the graph but not in the chain");
        Chain chain({.converterConnected = false});
        chain.Bypass();
        chain.ExpectDirect();
        EXPECT_FALSE(IsFilterConnected(chain.converter));
    }
    EXPECT_TRUE(Logged(kErr).empty());
}

TEST_F(Rewiring, AFailingBypassStepLogsItsLineAndEndsTheBypass) {
    {
        SCOPED_TRACE("no converter in the graph");
        Chain chain({.converterInGraph = false});
        const std::size_t mark = Mark();
        chain.Bypass();
        chain.ExpectDirect();
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{
                      Line("Unable to get Lead Color Space Converter.", VFW_E_NOT_FOUND)}));
    }
    {
        SCOPED_TRACE("the converter's input has been let go of");
        Chain chain;
        ASSERT_EQ(chain.converter->Input()->Disconnect(), S_OK);
        ASSERT_EQ(chain.out->Disconnect(), S_OK);
        const std::size_t mark = Mark();
        chain.Bypass();
        EXPECT_EQ(PeerOf(chain.converter->Output()), chain.downIn);
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{Line("Unable to get output pin of the filter which is "
                                                 "connected to the Lead Color Space Converter",
                                                 VFW_E_NOT_CONNECTED)}));
    }
    {
        SCOPED_TRACE("the converter is not stopped");
        Chain chain;
        ASSERT_EQ(chain.converter->Pause(), S_OK);
        const std::size_t mark = Mark();
        chain.Bypass();
        EXPECT_EQ(chain.converter->Stop(), S_OK);
        chain.ExpectThroughConverter();
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{
                      Line("Unable to disconnect inbound pin of the Lead Color Space Converter",
                           VFW_E_NOT_STOPPED)}));
    }
    {
        SCOPED_TRACE("the decoder is not stopped");
        Chain chain;
        ASSERT_EQ(chain.decoder->Pause(), S_OK);
        const std::size_t mark = Mark();
        chain.Bypass();
        EXPECT_EQ(chain.decoder->Stop(), S_OK);
        EXPECT_EQ(PeerOf(chain.converter->Input()), nullptr);
        EXPECT_EQ(PeerOf(chain.out), chain.converter->Input()) << "its own side stays";
        EXPECT_EQ(PeerOf(chain.converter->Output()), chain.downIn);
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{Line("Unable to disconnect output pin of the filter "
                                                 "which is connected to the Lead Color Space "
                                                 "Converter",
                                                 VFW_E_NOT_STOPPED)}));
    }
    {
        SCOPED_TRACE("the renderer is not stopped");
        Chain chain;
        ASSERT_EQ(chain.renderer->Pause(), S_OK);
        const std::size_t mark = Mark();
        chain.Bypass();
        EXPECT_EQ(chain.renderer->Stop(), S_OK);
        EXPECT_EQ(PeerOf(chain.converter->Output()), nullptr);
        EXPECT_EQ(PeerOf(chain.downIn), chain.converter->Output()) << "its own side stays";
        EXPECT_EQ(LoggedSince(mark, kErr),
                  (std::vector<std::string>{Line("Unable to disconnect input pin of the filter "
                                                 "which is connected to the Lead Color Space "
                                                 "Converter",
                                                 VFW_E_NOT_STOPPED)}));
    }
    {
        SCOPED_TRACE("the converter refuses the decoder on the way back");
        Chain chain({.decoded = MEDIASUBTYPE_RGB24});
        chain.converter->refuseInput = true;
        const std::size_t mark = Mark();
        chain.Bypass();
        EXPECT_FALSE(IsFilterConnected(chain.decoder));
        EXPECT_FALSE(IsFilterConnected(chain.converter));
        const auto lines = LoggedSince(mark, kErr);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(IsFailureLine(lines[0],
                                  "Unable to reconnect the Lead Color Space Converter output Pin"));
    }
    {
        SCOPED_TRACE("the renderer refuses the converter on the way back");
        Chain chain({.decoded = MEDIASUBTYPE_RGB24});
        chain.downIn->subtype = MEDIASUBTYPE_NV12;
        const std::size_t mark = Mark();
        chain.Bypass();
        EXPECT_EQ(PeerOf(chain.out), chain.converter->Input());
        EXPECT_EQ(PeerOf(chain.converter->Output()), nullptr);
        EXPECT_FALSE(IsFilterConnected(chain.renderer));
        const auto lines = LoggedSince(mark, kErr);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(IsFailureLine(lines[0],
                                  "Unable to reconnect the Lead Color Space Converter input Pin"));
    }
}

namespace {

struct External {
    const wchar_t* name;
    CLSID clsid;
};
const External kExternal[] = {
    {L"Lead H264 Decoder",
     {0xE2B7DF25, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}}},
    {L"Lead H265 Decoder",
     {0xE2B7DE9C, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}}},
    {L"Lead Color Space Converter",
     {0xE2B7DAF2, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}}},
};

// Whole players on a small uncompressed AVI, with this program's renderer filters registered
// in a temporary registry and the external filters registered or not.
class ExternalDecoders : public Rewiring {
protected:
    void SetUp() override {
        Rewiring::SetUp();
        ASSERT_EQ(DllRegisterServer(), S_OK);
        file = media::RawAvi(dir.path().string(), 24, 16, 8, 3);
    }
    void RegisterExternalFilters() {
        const std::string server = std::string(ZYLAVI_TEST_FAKES) + "/libexternal_test_filters.so";
        void* library = dlopen(server.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto reg = reinterpret_cast<com::DllRegisterServerFn>(dlsym(library, "DllRegisterServer"));
        ASSERT_NE(reg, nullptr);
        EXPECT_EQ(reg(), S_OK);
        dlclose(library);
    }
    std::unique_ptr<ZYL::CAVIPlayer> Open() const {
        const std::wstring wide(file.begin(), file.end());
        return std::make_unique<ZYL::CAVIPlayer>(wide.c_str());
    }
    static ComPtr<IGraphBuilder> GraphOf(ZYL::CAVIPlayer& player) {
        void* graph = nullptr;
        player.GetEngineObjects(&graph, nullptr, nullptr);
        return ComPtr<IGraphBuilder>::Attach(static_cast<IGraphBuilder*>(graph));
    }

    TempDir dir;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
    std::string file;
};

}  // namespace

TEST_F(ExternalDecoders, RegisteredOnesJoinTheGraphUnderTheirNamesAndAreLetGoWithIt) {
    RegisterExternalFilters();
    CoFreeUnusedLibraries();
    const std::size_t loaded = com::LoadedServerCount();
    {
        const auto player = Open();
        const ComPtr<IGraphBuilder> graph = GraphOf(*player);
        ASSERT_TRUE(graph);
        for (const External& external : kExternal) {
            SCOPED_TRACE(std::string(external.name, external.name + std::wcslen(external.name)));
            ComPtr<IBaseFilter> filter;
            ASSERT_EQ(graph->FindFilterByName(external.name, filter.Put()), S_OK);
            CLSID clsid{};
            ASSERT_EQ(filter->GetClassID(&clsid), S_OK);
            EXPECT_EQ(clsid, external.clsid);
        }
        EXPECT_TRUE(Logged(kErr).empty());
    }
    CoFreeUnusedLibraries();
    EXPECT_EQ(com::LoadedServerCount(), loaded)
        << "the server unloads: nothing but the graph held its filters";
}

TEST_F(ExternalDecoders, UnregisteredOnesAreLoggedAndTheGraphIsBuiltWithoutThem) {
    const auto player = Open();
    EXPECT_EQ(Logged(kErr), (std::vector<std::string>{
                                "Unable to create Lead H264 Decoder filter.",
                                "Unable to insert Lead H264 Decoder filter into filter graph.",
                                "Unable to create Lead H265 Decoder filter.",
                                "Unable to insert Lead H265 Decoder filter into filter graph.",
                                "Unable to create Lead Color Space Converter filter.",
                                "Unable to insert Lead Color Space Converter into filter graph.",
                            }));
    const ComPtr<IGraphBuilder> graph = GraphOf(*player);
    ASSERT_TRUE(graph);
    for (const External& external : kExternal) {
        ComPtr<IBaseFilter> filter;
        EXPECT_EQ(graph->FindFilterByName(external.name, filter.Put()), VFW_E_NOT_FOUND);
    }
    EXPECT_EQ(player->Format().width, 16) << "the player was built on";
    EXPECT_EQ(player->Format().height, 8);
}
