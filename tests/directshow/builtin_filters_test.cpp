// The engine's built-in filters: found without registry entries, merged with registered
// filters by merit, sources chosen by extension (the registry's table first) or by content,
// and a source naming itself in the graph.
#include "directshow/builtin_filters.h"

#include <gtest/gtest.h>

#include <fstream>

#include "com/com_ptr.h"
#include "directshow/filter_graph.h"
#include "directshow/frame_source.h"
#include "directshow/platform_classes.h"
#include "directshow/push_source.h"
#include "directshow/simple_unknown.h"
#include "directshow/test_decoder.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

using namespace zyl::test;

namespace {

inline constexpr CLSID CLSID_BuiltinFrames{
    0x1D6C2B80, 0x4E2F, 0x47A1, {0x8B, 0x33, 0x90, 0x2E, 0x5F, 0x61, 0xC4, 0x0A}};
inline constexpr CLSID CLSID_BuiltinDecoder{
    0x1D6C2B81, 0x4E2F, 0x47A1, {0x8B, 0x33, 0x90, 0x2E, 0x5F, 0x61, 0xC4, 0x0A}};

// A source that names itself after what it opened, as a splitter does.
class BuiltinFrames final : public FrameSource, public ISourceFilterName {
public:
    explicit BuiltinFrames(IUnknown*) : FrameSource(6, 5 * MILLISECONDS, 1) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override {
        if (riid == IID_ISourceFilterName)
            return GetInterface(static_cast<ISourceFilterName*>(this), object);
        return FrameSource::NonDelegatingQueryInterface(riid, object);
    }
    HRESULT GetSourceName(LPWSTR* name) override {
        static constexpr wchar_t kName[] = L"Frame Splitter";
        *name = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kName));
        std::wmemcpy(*name, kName, std::size(kName));
        return S_OK;
    }
};

class BuiltinDecoder final : public NumberDecoder {
public:
    explicit BuiltinDecoder(IUnknown*) {}
};

HRESULT PushSourceFactory(REFIID riid, void** factory) {
    struct Factory final : CSimpleUnknown<IClassFactory> {
        Factory() : CSimpleUnknown<IClassFactory>(IID_IClassFactory) {}
        HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) override {
            PushSource* made = Make<PushSource>();
            const HRESULT hr = made->NonDelegatingQueryInterface(iid, object);
            made->Release();
            return hr;
        }
        HRESULT LockServer(BOOL) override { return S_OK; }
    };
    static auto* instance = new Factory;  // lives as long as the process, like the others
    return instance->QueryInterface(riid, factory);
}

int ProbeFrames(const std::uint8_t* head, std::size_t size) {
    return size >= 4 && std::memcmp(head, "FRMS", 4) == 0 ? 100 : 0;
}

class Builtin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
        dshow::RegisterPlatformClasses();
        dshow::BuiltinFilter source;
        source.description = {
            CLSID_BuiltinFrames,
            L"Frame Splitter",
            MERIT_NORMAL,
            {{L"Output", true, false, {{MEDIATYPE_Video, MEDIASUBTYPE_ZylPacket}}}}};
        source.factory = &CPlatformClassFactory<BuiltinFrames>::Get;
        source.extensions = {L".FRAMES"};
        source.probe = &ProbeFrames;
        dshow::RegisterBuiltinFilter(source);
        dshow::BuiltinFilter decoder;
        decoder.description = {CLSID_BuiltinDecoder,
                               L"Frame Decoder",
                               MERIT_NORMAL,
                               {{L"In", false, false, {{MEDIATYPE_Video, MEDIASUBTYPE_TestPacket}}},
                                {L"Out", true, false, {{MEDIATYPE_Video, MEDIASUBTYPE_RGB32}}}}};
        decoder.factory = &CPlatformClassFactory<BuiltinDecoder>::Get;
        dshow::RegisterBuiltinFilter(decoder);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGraphBuilder, graph.PutVoid()),
                  S_OK);
        recorder = Make<RecordingRenderer>();
        ASSERT_EQ(graph->AddFilter(recorder, L"Recorder"), S_OK);
    }
    void TearDown() override {
        graph.Reset();
        recorder->Release();
        dshow::UnregisterBuiltinFilter(CLSID_BuiltinFrames);
        dshow::UnregisterBuiltinFilter(CLSID_BuiltinDecoder);
        com::RegisterPlatformClass(CLSID_PushSource, nullptr);
        EXPECT_EQ(CBaseObject::ObjectsActive(), before);
        CoUninitialize();
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir.file(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
    void PlaysThrough() {
        ComPtr<IMediaControl> control;
        ComPtr<IMediaEventEx> events;
        ASSERT_EQ(graph.As(control, IID_IMediaControl), S_OK);
        ASSERT_EQ(graph.As(events, IID_IMediaEventEx), S_OK);
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        control->Stop();
        EXPECT_EQ(recorder->Frames(), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    }

    const LONG before = CBaseObject::ObjectsActive();
    TempDir dir;
    ScopedEnv registry{"ZYLON_REGISTRY", dir.file("r.reg")};
    ComPtr<IGraphBuilder> graph;
    RecordingRenderer* recorder = nullptr;
};

}  // namespace

TEST_F(Builtin, ExtensionFindsTheSourceAndMeritTheDecoderWithoutRegistryEntries) {
    const auto available = dshow::AvailableFilters();
    EXPECT_TRUE(std::any_of(available.begin(), available.end(),
                            [](const auto& f) { return f.clsid == CLSID_BuiltinDecoder; }));
    ASSERT_EQ(graph->RenderFile(L"/nowhere/clip.frames", nullptr), S_OK)
        << "the file is the source's business, not the graph's";
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Frame Splitter", found.Put()), S_OK)
        << "the source named itself";
    EXPECT_EQ(graph->FindFilterByName(L"Frame Decoder", found.Put()), S_OK);
    PlaysThrough();
}

TEST_F(Builtin, UnknownExtensionsAreRecognisedByTheirFirstBytes) {
    const std::string clip = Write("clip.bin", "FRMS and then some frames");
    ASSERT_EQ(graph->RenderFile(Wide(clip).c_str(), nullptr), S_OK);
    PlaysThrough();
}

TEST_F(Builtin, WhatNobodyRecognisesIsRefusedWithTheReason) {
    const std::string other = Write("other.bin", "RIFF....something else");
    EXPECT_EQ(graph->RenderFile(Wide(other).c_str(), nullptr), ToHResult(0x80040240))
        << "VFW_E_UNKNOWN_FILE_TYPE";
    EXPECT_EQ(graph->RenderFile(Wide(dir.file("missing.bin")).c_str(), nullptr), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph->RenderFile(Wide(Write("empty", "")).c_str(), nullptr), ToHResult(0x80040240));
}

TEST_F(Builtin, TheRegistrysExtensionTableComesFirst) {
    ASSERT_TRUE(zyl::platform::editRegistry(
        dir.file("r.reg"),
        [](zyl::platform::RegistryDocument& doc) {
            doc.setValue("HKEY_CLASSES_ROOT\\Media Type\\Extensions\\.frames", "Source Filter",
                         zyl::platform::RegValue::string(GuidToString(CLSID_PushSource)));
        },
        nullptr));
    com::RegisterPlatformClass(CLSID_PushSource, &PushSourceFactory);
    ASSERT_EQ(graph->RenderFile(L"/clips/a.frames", nullptr), S_OK);
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"/clips/a.frames", found.Put()), S_OK)
        << "the registered source, under the file's name";
    EXPECT_EQ(graph->FindFilterByName(L"Frame Splitter", found.Put()), VFW_E_NOT_FOUND);
}
