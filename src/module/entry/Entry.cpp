#include "module/entry/Entry.h"

#include <dlfcn.h>

#include <exception>
#include <mutex>
#include <string>

#include "module/base/errors/host_exceptions.h"
#include "module/base/errors/hresult_exception.h"
#include "module/entry/ComServer.h"
#include "module/entry/HostStorage.h"
#include "module/entry/LiveCounters.h"
#include "module/logging/logstream.h"
#include "module/player/AVIPlayer.h"
#include "module/rawvideo/RVPlayer.h"
#include "platform/file_dialog.h"
#include "platform/text.h"

namespace ZYL {

std::atomic<std::int32_t>& LiveAVIPlayers() {
    static std::atomic<std::int32_t> count{0};
    return count;
}

std::atomic<std::int32_t>& LiveRVPlayers() {
    static std::atomic<std::int32_t> count{0};
    return count;
}

std::atomic<std::int32_t>& LiveUncountedObjects() {
    static std::atomic<std::int32_t> count{0};
    return count;
}

void KeepLoadedForLiveObjects() {
    static std::once_flag pinned;
    std::call_once(pinned, [] {
        // RTLD_NODELETE sticks to the loaded module; the handle itself is not needed.
        if (void* self = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE))
            dlclose(self);
    });
}

std::wstring PathExtension(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L'/');
    const std::wstring last = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (last == L"." || last == L"..")
        return {};
    const std::size_t dot = last.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : last.substr(dot);
}

}  // namespace ZYL

namespace {

using GetIsSupportedFormatW = std::int32_t (*)(const wchar_t*);

void LogInfo(const std::string& text) {
    QN_LOG(qnLogging::root_logger(), qnLogging::level::info) << text;
}

std::string Narrow(const std::wstring& text) {
    auto narrow = zyl::platform::wideToUtf8(text);
    return narrow ? *narrow : std::string(text.begin(), text.end());
}

// The sibling library is looked up next to this module first, then on the library path.
void* LoadKelFile() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&LoadKelFile), &self) && self.dli_fname) {
        std::string beside(self.dli_fname);
        beside = beside.substr(0, beside.rfind('/') + 1) + "libKELFile.so";
        if (void* library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL))
            return library;
    }
    return dlopen("libKELFile.so", RTLD_NOW | RTLD_LOCAL);
}

bool KelFileClaims(const std::wstring& path) {
    void* library = LoadKelFile();
    if (!library) {
        LogInfo(
            "Unable to open KELFile.dll - will continue without checking with KELFile.dll whether "
            "it "
            "would support the file format of '" +
            Narrow(path) + "'");
        return false;
    }
    auto probe = reinterpret_cast<GetIsSupportedFormatW>(dlsym(library, "GetIsSupportedFormatW"));
    if (!probe) {
        LogInfo(
            "Unable to retrieve function 'GetIsSupportedFileFormatW' - will continue without "
            "checking "
            "with KELFile.dll whether it would support the file format of '" +
            Narrow(path) + "'");
        dlclose(library);
        return false;
    }
    const bool claims = probe(path.c_str()) != 0;
    if (claims)
        LogInfo("KELFile will handle this format");
    dlclose(library);
    return claims;
}

// The exports are called from C as well: nothing may leave them as an exception, so every
// failure becomes a fatal line and a null handle.
void LogOpenFailure(const std::exception_ptr& failure) noexcept {
    try {
        std::string text;
        try {
            std::rethrow_exception(failure);
        } catch (const qnErrors::CqnHRESULTException& e) {
            text =
                std::string("Creation of AVI player object raised an exception: ") + e.GetMessage();
        } catch (const base2::character_conversion_error&) {
            text = "The path is not valid UTF-8; the file cannot be opened.";
        } catch (const std::exception& e) {
            text = std::string("Opening the file failed: ") + e.what();
        } catch (...) {
            text = "Opening the file failed with an unknown exception.";
        }
        QN_LOG(qnLogging::root_logger(), qnLogging::level::fatal) << text;
    } catch (...) {
        // Logging never fails its caller.
    }
}

}  // namespace

HostHandle GetImageFromFileW(const wchar_t* rawPath) {
    try {
        const std::wstring path = rawPath ? rawPath : L"";
        if (KelFileClaims(path))
            return nullptr;
        if (ZYL::PathExtension(path) == L".zyrv") {
            return zylBase::BuildInHostStorage<ZYL::RVPlayer>(path).Release();
        }
        return zylBase::BuildInHostStorage<ZYL::CAVIPlayer>(path.c_str()).Release();
    } catch (...) {
        LogOpenFailure(std::current_exception());
        return nullptr;
    }
}

HostHandle GetImageFromFile(const char* path) {
    if (path == nullptr)
        return GetImageFromFileW(L"");
    try {
        auto wide = zyl::platform::utf8ToWide(path);
        if (!wide)
            throw base2::character_conversion_error();
        return GetImageFromFileW(wide->c_str());
    } catch (...) {
        LogOpenFailure(std::current_exception());
        return nullptr;
    }
}

HostHandle GetImage() {
    try {
        const auto chosen = zyl::platform::openFileDialog(
            {{"Video Files (*.avi, *.mpg, *.mpeg)", "*.avi;*.mpg;*.mpeg"},
             {"All Files (*.*)", "*.*"}});
        if (!chosen || chosen->empty())
            return nullptr;
        auto wide = zyl::platform::utf8ToWide(*chosen);
        if (!wide)
            return nullptr;
        return GetImageFromFileW(wide->c_str());
    } catch (...) {
        LogOpenFailure(std::current_exception());
        return nullptr;
    }
}

bool CanUnload() {
    const bool unloadable = ZYL::LiveAVIPlayers().load() <= 0 && ZYL::LiveRVPlayers().load() <= 0;
    // Containers and images do not count, yet a host that unloads now would crash releasing
    // them.
    if (unloadable && ZYL::LiveUncountedObjects().load() > 0)
        ZYL::KeepLoadedForLiveObjects();
    return unloadable;
}
