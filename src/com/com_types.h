// The COM base types with their Windows names and layout: GUIDs (and their text form),
// HRESULT codes, IUnknown and IClassFactory.
//
// Declarations and pure functions only; any thread. Interfaces have no virtual destructor (the
// Windows slot order starts with QueryInterface, AddRef, Release); objects end through Release.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using REFERENCE_TIME = std::int64_t;
using UINT = std::uint32_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    bool operator==(const GUID& other) const {
        return std::memcmp(this, &other, sizeof(GUID)) == 0;
    }
    bool operator<(const GUID& other) const { return std::memcmp(this, &other, sizeof(GUID)) < 0; }
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
std::string GuidToString(const GUID& guid);
// Accepts the form above with or without braces, either case; nothing for anything else.
std::optional<GUID> GuidFromString(std::string_view text);

constexpr HRESULT ToHResult(std::uint32_t code) {
    return static_cast<HRESULT>(code);
}
inline constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
inline constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = ToHResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = ToHResult(0x80004002);
inline constexpr HRESULT E_POINTER = ToHResult(0x80004003);
inline constexpr HRESULT E_ABORT = ToHResult(0x80004004);
inline constexpr HRESULT E_FAIL = ToHResult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = ToHResult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = ToHResult(0x80070005);
inline constexpr HRESULT E_OUTOFMEMORY = ToHResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = ToHResult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = ToHResult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = ToHResult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = ToHResult(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = ToHResult(0x800401F0);
inline constexpr HRESULT CO_E_DLLNOTFOUND = ToHResult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = ToHResult(0x800401F9);
inline constexpr HRESULT RPC_E_CHANGED_MODE = ToHResult(0x80010106);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = ToHResult(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = ToHResult(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = ToHResult(0x80040202);
inline constexpr HRESULT SELFREG_E_CLASS = ToHResult(0x80040201);

constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t error) {
    return error == 0 ? S_OK : ToHResult((error & 0xFFFF) | (7u << 16) | 0x80000000u);
}

// The class contexts that matter here. There are no in-process handlers on this platform: a
// request for a handler is served by the class's in-process server (InprocServer32).
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_ALL = 0x17;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_MULTITHREADED = 0x0;

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
