// A module that is its own in-process server: its class, and the exports the tests read it by.
#pragma once

#include "com/com_types.h"

inline constexpr CLSID CLSID_TestSelfServed{
    0x3C2D1E0F, 0x5A4B, 0x4C6D, {0x8E, 0x7F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5}};

// What the load-time CoCreateInstance of the module's own class returned.
using SelfServerCreatedAtLoadFn = HRESULT (*)();
// The same for the counter class of libcom_test_server, when it is registered.
using SelfServerPeerAtLoadFn = HRESULT (*)();
// Live objects of the module's own class.
using SelfServerObjectsFn = LONG (*)();
// The knob: release the objects made at load now, instead of in the module's destructor.
using SelfServerReleaseNowFn = void (*)();
// Creates one more object of its own class through the module's runtime, then releases it.
using SelfServerCreateFn = HRESULT (*)();
// The module's runtime: server libraries it has loaded, and freeing the unused ones.
using SelfServerLoadedServersFn = unsigned (*)();
using SelfServerFreeUnusedFn = void (*)();
