// The C-style container layer: every exception becomes a result code; a container failure is
// logged at level err on the logger "RawVideo" with the location of the catch site. Called on
// the caller's thread; no locks of its own (the caller serialises calls on one container).
#include "module/entry/HostStorage.h"
#include "module/logging/logstream.h"
#include "module/rawvideo/RawVideo.h"

namespace {

using ZYL::Result;

ZYL::RawVideo* ContainerOf(HostHandle handle) {
    if (handle == nullptr)
        return nullptr;
    void* pointer = nullptr;
    if (HostQueryInterface(handle, ZYL::RawVideoInterfaceId(), &pointer) != ZYL::kOk)
        return nullptr;
    return static_cast<ZYL::RawVideo*>(pointer);
}

template <class Operation>
Result Guarded(Operation&& operation) {
    try {
        operation();
        return ZYL::kOk;
    } catch (const ZYLException& e) {
        QN_WLOG(qnLogging::get_logger("RawVideo"), qnLogging::level::err)
            << qnLogging::set_location(qnLogging::make_location(__FILE__, __LINE__))
            << e.GetMessage();
        return e.GetError() == 0 ? ZYL::kOk : ZYL::ToResult(0x80000000u | e.GetError());
    } catch (...) {
        return ZYL::kFailed;
    }
}

}  // namespace

extern "C" {

Result OpenRawVideo(const wchar_t* path, HostHandle* container) {
    if (container == nullptr)
        return ZYL::kBadArgument;
    *container = nullptr;
    return Guarded([&] {
        auto built = zylBase::BuildInHostStorage<ZYL::RawVideo>(std::wstring(path ? path : L""));
        *container = built.Release();
    });
}

Result SetRawVideoFrameIndex(HostHandle container, std::uint64_t index) {
    ZYL::RawVideo* video = ContainerOf(container);
    if (video == nullptr)
        return ZYL::kWrongObject;
    return Guarded([&] { video->SetFrameIndex(index); });
}

Result ReadRawVideoImage(HostHandle container, HostHandle* image) {
    ZYL::RawVideo* video = ContainerOf(container);
    if (video == nullptr)
        return ZYL::kWrongObject;
    if (image == nullptr)
        return ZYL::kBadArgument;
    *image = nullptr;
    return Guarded([&] { video->ReadImage(image); });
}

}  // extern "C"
