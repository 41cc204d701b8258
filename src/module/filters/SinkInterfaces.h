// The sink interfaces the module's renderer filters call and the class ids they are created
// by. Declarations only; any thread.
#pragma once

#include "com/connection_points.h"
#include "directshow/dshow_types.h"

namespace COM {

// Subscribers of the video filter. The filter keeps them but hands frames over through the
// ring buffer only.
struct IZYLTransfer2 : IUnknown {
    virtual HRESULT SampleSnapped(IUnknown* sample) = 0;

protected:
    ~IZYLTransfer2() = default;
};

// Subscribers of the text filter, called with every text sample (an IMediaSample the callee
// queries for itself; it holds no reference after the call unless it adds one).
struct IZYLTextTransfer : IUnknown {
    virtual HRESULT SampleSnapped(IUnknown* sample) = 0;

protected:
    ~IZYLTextTransfer() = default;
};

inline constexpr IID IID_IZYLTransfer2{
    0xD66F00C2, 0xC6C4, 0x4DA2, {0x9B, 0x63, 0x0B, 0xF3, 0x64, 0xE8, 0x31, 0x6F}};
inline constexpr IID IID_IZYLTextTransfer{
    0xF8E7FCCF, 0xF8AE, 0x45DB, {0xA9, 0x5B, 0xDB, 0xB5, 0x5D, 0xFD, 0xE0, 0x70}};

inline constexpr CLSID CLSID_ZYLDirectShowTarget{
    0xD88BCE94, 0x6050, 0x4860, {0x8D, 0x51, 0x1C, 0xD8, 0x82, 0x53, 0xC9, 0x63}};
inline constexpr CLSID CLSID_ZYLDirectShowTextTarget{
    0xBA412298, 0xB84D, 0x4BBB, {0x90, 0xEA, 0xDF, 0xBB, 0xBD, 0xD6, 0x19, 0x01}};

}  // namespace COM
