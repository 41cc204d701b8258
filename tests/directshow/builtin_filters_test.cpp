// The engine's built-in filters: found without registry entries, merged with registered
// filters by merit, sources chosen by extension (the registry's table first) or by content,
// and a source naming itself in the graph.
#include "directshow/builtin_filters.h"

#include <gtest/gtest.h>

#include "directshow/frame_source.h"
#include "directshow/graph_fixture.h"
#include "directshow/simple_unknown.h"
#include "directshow/test_decoder.h"
#include "platform/registry.h"

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

int ProbeFrames(const std::uint8_t* head, std::size_t size) {
    return size >= 4 && std::memcmp(head, "FRMS", 4) == 0 ? 100 : 0;
}

class Builtin : public GraphTest {
protected:
    void SetUp() override {
        dshow::BuiltinFilter source;
        source.description = {
            CLSID_BuiltinFrames,
            L"Frame Splitter",
            MERIT_NORMAL,
            {{L"Output", true, false, {{MEDIATYPE_Video, MEDIASUBTYPE_TestPacket}}}}};
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
        GraphTest::SetUp();
        recorder = Add<RecordingRenderer>(L"Recorder");
    }
    void TearDown() override {
        com::RegisterPlatformClass(CLSID_PushSource, nullptr);  // later tests find the module's
        dshow::UnregisterBuiltinFilter(CLSID_BuiltinFrames);
        dshow::UnregisterBuiltinFilter(CLSID_BuiltinDecoder);
        GraphTest::TearDown();
    }
    HRESULT RenderFile(const std::string& path) {
        return graph->RenderFile(std::wstring(path.begin(), path.end()).c_str(), nullptr);
    }
    void PlaysThrough() {
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        LONG code = 0;
        ASSERT_EQ(events->WaitForCompletion(5000, &code), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        control->Stop();
        EXPECT_EQ(recorder->Frames(), Range(0, 6));
    }

    RecordingRenderer* recorder = nullptr;
};

}  // namespace

TEST_F(Builtin, ExtensionFindsTheSourceAndMeritTheDecoderWithoutRegistryEntries) {
    ASSERT_EQ(graph->RenderFile(L"/nowhere/clip.frames", nullptr), S_OK)
        << "the file is the source's business, not the graph's";
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Frame Splitter", found.Put()), S_OK)
        << "the source named itself";
    EXPECT_EQ(graph->FindFilterByName(L"Frame Decoder", found.Put()), S_OK);
    PlaysThrough();
}

TEST_F(Builtin, WhatNobodyRecognisesIsRefusedWithTheReason) {
    const HRESULT kUnknownFileType = ToHResult(0x80040240);  // VFW_E_UNKNOWN_FILE_TYPE
    EXPECT_EQ(RenderFile(dir.write("other.bin", "RIFF....something else")), kUnknownFileType);
    EXPECT_EQ(RenderFile(dir.write("empty", "")), kUnknownFileType);
    EXPECT_EQ(RenderFile(dir.file("missing.bin")), VFW_E_NOT_FOUND);
}

TEST_F(Builtin, TheRegistrysExtensionTableComesFirst) {
    ASSERT_TRUE(zyl::platform::editRegistry(
        dir.file("r.reg"),
        [](zyl::platform::RegistryDocument& doc) {
            doc.setValue("HKEY_CLASSES_ROOT\\Media Type\\Extensions\\.frames", "Source Filter",
                         zyl::platform::RegValue::string(GuidToString(CLSID_PushSource)));
        },
        nullptr));
    com::RegisterPlatformClass(CLSID_PushSource, &CPlatformClassFactory<PushSource>::Get);
    ASSERT_EQ(graph->RenderFile(L"/clips/a.frames", nullptr), S_OK);
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"/clips/a.frames", found.Put()), S_OK)
        << "the registered source, under the file's name";
    EXPECT_EQ(graph->FindFilterByName(L"Frame Splitter", found.Put()), VFW_E_NOT_FOUND);
}
