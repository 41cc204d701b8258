// The host library stand-in's C interface (libZylHost.so): the calls a driver module makes
// into the closed host image library, plus a few a host application needs to drive images.
//
// Host objects are reference counted and own an embedded storage block; a driver object built
// in that block is attached once, and the last release calls its Dispose before the block is
// freed. Images are host objects whose attached object is the host's own IImageVPA. Handles are
// checked on every call: a null, dead or foreign handle is answered with kBadArgument, never a
// crash. All functions may be called from any thread.
#pragma once

#include <cstdint>

#include "module/driver/ZylDriver.h"

#define ZYLHOST_API extern "C" __attribute__((visibility("default")))

using HostHandle = void*;
using HostReleaseCallback = void (*)(void* context);

// ZylBase
ZYLHOST_API HostHandle HostAllocObject(std::uint64_t size, void** block);
ZYLHOST_API void HostRelease(HostHandle handle);
ZYLHOST_API ZYL::Result HostAddRef(HostHandle handle);
ZYLHOST_API ZYL::Result HostAttachDisposable(HostHandle handle, ZYL::IDisposableType* object);
ZYLHOST_API std::uint64_t HostInterfaceId(const char* typeName);
ZYLHOST_API ZYL::Result HostQueryInterface(HostHandle handle, std::uint64_t id, void** pointer);

// KELIMG
ZYLHOST_API ZYL::Result HostCreateImage(std::int32_t dataType, std::int32_t planes,
                                        std::int32_t width, std::int32_t height, HostHandle* image);
ZYLHOST_API ZYL::Result HostGetImageRecord(HostHandle image, ZYL::ImageRecord* record);
ZYLHOST_API ZYL::Result HostSetPlaneRecord(HostHandle image, std::int32_t plane,
                                           const ZYL::ImageRecord* record, std::int32_t flags);
ZYLHOST_API ZYL::Result HostPlaneAccess(HostHandle image, std::int32_t plane, std::uint8_t** base,
                                        ZYL::VPAEntry** table);
ZYLHOST_API void HostInitRecord(ZYL::ImageRecord* record);
ZYLHOST_API std::int32_t HostBytesPerPixel(std::int32_t dataType);
ZYLHOST_API ZYL::Result HostImageFromMemory(void* buffer, std::uint64_t size, std::int32_t width,
                                            std::int32_t height, std::int32_t planes,
                                            std::int32_t dataType, std::int64_t pixelIncrement,
                                            std::int64_t lineIncrement, std::int64_t planeIncrement,
                                            const std::int32_t* planeOrder,
                                            HostReleaseCallback release, void* context,
                                            HostHandle* image);

// KELUtilities: may set the default G2Wait time-out in milliseconds (leaves it otherwise).
ZYLHOST_API void HostDefaultWaitTimeout(std::uint32_t* timeout);

// For hosts and tests: live host objects in the process (images included).
ZYLHOST_API std::int64_t HostLiveObjects();
