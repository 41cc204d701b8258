// The test in-process server's class and interface.
#pragma once

#include "com/com_types.h"

inline constexpr CLSID CLSID_TestCounter{
    0x6A1B0E9C, 0x2F3D, 0x4C5B, {0x9A, 0x8E, 0x7D, 0x6C, 0x5B, 0x4A, 0x3F, 0x21}};
inline constexpr IID IID_ITestCounter{
    0x6A1B0E9D, 0x2F3D, 0x4C5B, {0x9A, 0x8E, 0x7D, 0x6C, 0x5B, 0x4A, 0x3F, 0x21}};

struct ITestCounter : IUnknown {
    virtual LONG Increment() = 0;

protected:
    ~ITestCounter() = default;
};
