// What a filter module needs to be a COM server: the setup data that describes its filters
// (AMOVIESETUP_* as in the base classes), the factory template table, the class factory, and
// the registration that writes the class keys and the legacy filter category (merit, pins,
// media types) into the registry, plus the reading side the graph uses to find filters by
// merit.
//
// Registration runs on the caller's thread and edits the registry file under its writer lock.
// The factory keeps a server lock count (atomic) that DllCanUnloadNow reads with the live
// object count, in which the class factories themselves are counted.
#pragma once

#include <string>
#include <vector>

#include "directshow/unknown.h"

struct AMOVIESETUP_MEDIATYPE {
    const GUID* clsMajorType;
    const GUID* clsMinorType;
};

struct AMOVIESETUP_PIN {
    const wchar_t* strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;
    const wchar_t* strConnectsToPin;
    UINT nMediaTypes;
    const AMOVIESETUP_MEDIATYPE* lpMediaType;
};

struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    const wchar_t* strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

inline constexpr DWORD MERIT_PREFERRED = 0x800000;
inline constexpr DWORD MERIT_NORMAL = 0x600000;
inline constexpr DWORD MERIT_UNLIKELY = 0x400000;
inline constexpr DWORD MERIT_DO_NOT_USE = 0x200000;

// The legacy DirectShow filter category.
inline constexpr CLSID CLSID_LegacyAmFilterCategory{
    0x083863F1, 0x70DE, 0x11D0, {0xBD, 0x40, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

using LPFNNewCOMObject = CUnknown* (*)(IUnknown* outer, HRESULT* hr);
using LPFNInitRoutine = void (*)(BOOL loading, const CLSID* clsid);

struct CFactoryTemplate {
    const wchar_t* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;
};

namespace dshow {

// A registered filter as the graph reads it back.
struct RegisteredPin {
    std::wstring name;
    bool output = false;
    bool rendered = false;
    std::vector<std::pair<GUID, GUID>> types;  // {major, minor}; GUID_NULL matches anything
    bool zero = false;                         // the filter may have none of this pin
    bool many = false;                         // the filter may have several
    CLSID connectsToFilter{};                  // CLSID_NULL: any filter
    std::wstring connectsToPin{};              // empty: any pin
};
struct RegisteredFilter {
    CLSID clsid{};
    std::wstring name;
    DWORD merit = 0;
    std::vector<RegisteredPin> pins;
};

// Every filter in the legacy category, highest merit first.
std::vector<RegisteredFilter> RegisteredFilters();

// The module's entry points over its template table.
HRESULT GetClassObject(const CFactoryTemplate* templates, int count, REFCLSID clsid, REFIID riid,
                       void** object);
// S_OK when no object of the module (class factories included) is alive and no LockServer
// lock is held.
HRESULT CanUnloadNow();
// Writes (or removes) every template's class key and filter entry; modulePath is the library.
HRESULT RegisterServer(const CFactoryTemplate* templates, int count, const std::string& modulePath,
                       bool reg);

}  // namespace dshow
