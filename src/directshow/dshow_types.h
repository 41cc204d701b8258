// DirectShow's structures, GUIDs and codes, laid out as on Windows x64: consumers read media
// type and format fields at fixed offsets. Declarations only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "com/com_types.h"

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using LONG_PTR = std::intptr_t;
using DWORD_PTR = std::uintptr_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
};

inline constexpr std::size_t iPALETTE_COLORS = 256;
inline constexpr std::size_t iMASK_COLORS = 3;

struct TRUECOLORINFO {
    DWORD dwBitMasks[iMASK_COLORS];
    RGBQUAD bmiColors[iPALETTE_COLORS];
};

// VIDEOINFOHEADER followed by room for a palette or the colour masks: what an RGB8 type
// carries its palette in.
struct VIDEOINFO {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
    union {
        RGBQUAD bmiColors[iPALETTE_COLORS];
        DWORD dwBitMasks[iMASK_COLORS];
        TRUECOLORINFO TrueColorInfo;
    };
};
static_assert(offsetof(VIDEOINFO, bmiColors) == 88);
// The format block of a palettised type: the header and the palette, without the padding.
inline constexpr std::size_t SIZE_VIDEOHEADER = 88;
inline constexpr std::size_t SIZE_PALETTE = iPALETTE_COLORS * sizeof(RGBQUAD);

// A VIDEOINFO with a grey ramp palette, for 8-bit grey RGB8 video.
inline void SetGreyPalette(VIDEOINFO& info) {
    for (std::size_t i = 0; i < iPALETTE_COLORS; ++i) {
        const auto level = static_cast<BYTE>(i);
        info.bmiColors[i] = RGBQUAD{level, level, level, 0};
    }
    info.bmiHeader.biClrUsed = static_cast<DWORD>(iPALETTE_COLORS);
}

struct VIDEOINFOHEADER2 {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    DWORD dwInterlaceFlags;
    DWORD dwCopyProtectFlags;
    DWORD dwPictAspectRatioX;
    DWORD dwPictAspectRatioY;
    DWORD dwControlFlags;
    DWORD dwReserved2;
    BITMAPINFOHEADER bmiHeader;
};

struct __attribute__((packed)) WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

static_assert(sizeof(RECT) == 16);
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(VIDEOINFOHEADER) == 88);
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) + offsetof(BITMAPINFOHEADER, biWidth) == 52);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) + offsetof(BITMAPINFOHEADER, biHeight) == 56);
static_assert(sizeof(VIDEOINFOHEADER2) == 112);
static_assert(offsetof(VIDEOINFOHEADER2, AvgTimePerFrame) == 40);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) + offsetof(BITMAPINFOHEADER, biWidth) == 76);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) + offsetof(BITMAPINFOHEADER, biHeight) == 80);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(AM_MEDIA_TYPE) == 88);
static_assert(offsetof(AM_MEDIA_TYPE, formattype) == 44);
static_assert(offsetof(AM_MEDIA_TYPE, pUnk) == 64);
static_assert(offsetof(AM_MEDIA_TYPE, cbFormat) == 72);
static_assert(offsetof(AM_MEDIA_TYPE, pbFormat) == 80);

// FOURCC-based GUIDs share the tail {xxxxxxxx-0000-0010-8000-00AA00389B71}.
constexpr GUID FourCCGuid(std::uint32_t fourcc) {
    return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

inline constexpr GUID MEDIATYPE_Video = FourCCGuid(0x73646976);  // 'vids'
inline constexpr GUID MEDIATYPE_Audio = FourCCGuid(0x73647561);  // 'auds'
inline constexpr GUID MEDIATYPE_Text = FourCCGuid(0x73747874);   // 'txts'
inline constexpr GUID MEDIATYPE_Stream{
    0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

inline constexpr GUID MEDIASUBTYPE_NULL = GUID_NULL;
inline constexpr GUID MEDIASUBTYPE_RGB8{
    0xE436EB7A, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB24{
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_RGB32{
    0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_NV12 = FourCCGuid(0x3231564E);  // 'NV12'
inline constexpr GUID MEDIASUBTYPE_PCM = FourCCGuid(0x00000001);

inline constexpr GUID FORMAT_None{
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID FORMAT_VideoInfo{
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID FORMAT_WaveFormatEx{
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID FORMAT_MPEGVideo{
    0x05589F82, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID FORMAT_VideoInfo2{
    0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID FORMAT_MPEG2Video{
    0xE06D80E3, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};

inline constexpr GUID TIME_FORMAT_NONE = GUID_NULL;
inline constexpr GUID TIME_FORMAT_FRAME{
    0x7B785570, 0x8C82, 0x11CF, {0xBC, 0x0C, 0x00, 0xAA, 0x00, 0xAC, 0x74, 0xF6}};
inline constexpr GUID TIME_FORMAT_MEDIA_TIME{
    0x7B785574, 0x8C82, 0x11CF, {0xBC, 0x0C, 0x00, 0xAA, 0x00, 0xAC, 0x74, 0xF6}};

inline constexpr CLSID CLSID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_FilterGraph{
    0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr CLSID CLSID_SystemClock{
    0xE436EB76, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

// Reference time: 100-ns units.
inline constexpr REFERENCE_TIME UNITS = 10'000'000;
inline constexpr REFERENCE_TIME MILLISECONDS = 10'000;

// Codes of the DirectShow facility.
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = ToHResult(0x80040200);
inline constexpr HRESULT VFW_E_INVALIDSUBTYPE = ToHResult(0x80040201);
inline constexpr HRESULT VFW_E_NEED_OWNER = ToHResult(0x80040202);
inline constexpr HRESULT VFW_E_ENUM_OUT_OF_SYNC = ToHResult(0x80040203);
inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = ToHResult(0x80040204);
inline constexpr HRESULT VFW_E_FILTER_ACTIVE = ToHResult(0x80040205);
inline constexpr HRESULT VFW_E_NO_TYPES = ToHResult(0x80040206);
inline constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = ToHResult(0x80040207);
inline constexpr HRESULT VFW_E_INVALID_DIRECTION = ToHResult(0x80040208);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = ToHResult(0x80040209);
inline constexpr HRESULT VFW_E_NO_ALLOCATOR = ToHResult(0x8004020A);
inline constexpr HRESULT VFW_E_RUNTIME_ERROR = ToHResult(0x8004020B);
inline constexpr HRESULT VFW_E_BUFFER_NOTSET = ToHResult(0x8004020C);
inline constexpr HRESULT VFW_E_BUFFER_OVERFLOW = ToHResult(0x8004020D);
inline constexpr HRESULT VFW_E_BADALIGN = ToHResult(0x8004020E);
inline constexpr HRESULT VFW_E_ALREADY_COMMITTED = ToHResult(0x8004020F);
inline constexpr HRESULT VFW_E_BUFFERS_OUTSTANDING = ToHResult(0x80040210);
inline constexpr HRESULT VFW_E_NOT_COMMITTED = ToHResult(0x80040211);
inline constexpr HRESULT VFW_E_SIZENOTSET = ToHResult(0x80040212);
inline constexpr HRESULT VFW_E_NO_CLOCK = ToHResult(0x80040213);
inline constexpr HRESULT VFW_E_NO_SINK = ToHResult(0x80040214);
inline constexpr HRESULT VFW_E_NO_INTERFACE = ToHResult(0x80040215);
inline constexpr HRESULT VFW_E_NOT_FOUND = ToHResult(0x80040216);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = ToHResult(0x80040217);
inline constexpr HRESULT VFW_E_CANNOT_RENDER = ToHResult(0x80040218);
inline constexpr HRESULT VFW_E_STATE_CHANGED = ToHResult(0x80040223);
inline constexpr HRESULT VFW_E_NOT_STOPPED = ToHResult(0x80040224);
inline constexpr HRESULT VFW_E_NOT_PAUSED = ToHResult(0x80040225);
inline constexpr HRESULT VFW_E_NOT_RUNNING = ToHResult(0x80040226);
inline constexpr HRESULT VFW_E_WRONG_STATE = ToHResult(0x80040227);
inline constexpr HRESULT VFW_E_START_TIME_AFTER_END = ToHResult(0x80040228);
inline constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = ToHResult(0x8004022A);
inline constexpr HRESULT VFW_E_SAMPLE_REJECTED = ToHResult(0x8004022B);
inline constexpr HRESULT VFW_E_SAMPLE_REJECTED_EOS = ToHResult(0x8004022C);
inline constexpr HRESULT VFW_E_DUPLICATE_NAME = ToHResult(0x8004022D);
inline constexpr HRESULT VFW_E_TIMEOUT = ToHResult(0x8004022E);
inline constexpr HRESULT VFW_E_INVALID_FILE_FORMAT = ToHResult(0x8004022F);
inline constexpr HRESULT VFW_E_UNKNOWN_FILE_TYPE = ToHResult(0x80040240);
inline constexpr HRESULT VFW_E_UNSUPPORTED_STREAM = ToHResult(0x80040265);
inline constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = ToHResult(0x80040249);
inline constexpr HRESULT VFW_E_MEDIA_TIME_NOT_SET = ToHResult(0x80040251);
inline constexpr HRESULT VFW_S_NO_STOP_TIME = ToHResult(0x00040270);
inline constexpr HRESULT VFW_S_NO_MORE_ITEMS = ToHResult(0x00040103);
inline constexpr HRESULT VFW_S_DUPLICATE_NAME = ToHResult(0x0004022D);
inline constexpr HRESULT VFW_S_STATE_INTERMEDIATE = ToHResult(0x00040237);
inline constexpr HRESULT VFW_S_PARTIAL_RENDER = ToHResult(0x00040242);

// Event codes.
inline constexpr LONG EC_COMPLETE = 0x01;
inline constexpr LONG EC_USERABORT = 0x02;
inline constexpr LONG EC_ERRORABORT = 0x03;
inline constexpr LONG EC_TIME = 0x04;
inline constexpr LONG EC_REPAINT = 0x05;
inline constexpr LONG EC_STREAM_ERROR_STOPPED = 0x06;
inline constexpr LONG EC_STREAM_ERROR_STILLPLAYING = 0x07;
inline constexpr LONG EC_ERROR_STILLPLAYING = 0x08;
inline constexpr LONG EC_PALETTE_CHANGED = 0x09;
inline constexpr LONG EC_VIDEO_SIZE_CHANGED = 0x0A;
inline constexpr LONG EC_QUALITY_CHANGE = 0x0B;
inline constexpr LONG EC_SHUTTING_DOWN = 0x0C;
inline constexpr LONG EC_CLOCK_CHANGED = 0x0D;
inline constexpr LONG EC_PAUSED = 0x0E;

// IMediaSeeking capabilities and positioning flags.
inline constexpr DWORD AM_SEEKING_CanSeekAbsolute = 0x1;
inline constexpr DWORD AM_SEEKING_CanSeekForwards = 0x2;
inline constexpr DWORD AM_SEEKING_CanSeekBackwards = 0x4;
inline constexpr DWORD AM_SEEKING_CanGetCurrentPos = 0x8;
inline constexpr DWORD AM_SEEKING_CanGetStopPos = 0x10;
inline constexpr DWORD AM_SEEKING_CanGetDuration = 0x20;
inline constexpr DWORD AM_SEEKING_CanPlayBackwards = 0x40;
inline constexpr DWORD AM_SEEKING_CanDoSegments = 0x80;
inline constexpr DWORD AM_SEEKING_Source = 0x100;
inline constexpr DWORD AM_SEEKING_NoPositioning = 0x0;
inline constexpr DWORD AM_SEEKING_AbsolutePositioning = 0x1;
inline constexpr DWORD AM_SEEKING_RelativePositioning = 0x2;
inline constexpr DWORD AM_SEEKING_IncrementalPositioning = 0x3;
inline constexpr DWORD AM_SEEKING_PositioningBitsMask = 0x3;
inline constexpr DWORD AM_SEEKING_SeekToKeyFrame = 0x4;
inline constexpr DWORD AM_SEEKING_ReturnTime = 0x8;
inline constexpr DWORD AM_SEEKING_Segment = 0x10;
inline constexpr DWORD AM_SEEKING_NoFlush = 0x20;

enum FILTER_STATE : std::int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION : std::int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

inline constexpr std::size_t MAX_FILTER_NAME = 128;
inline constexpr std::size_t MAX_PIN_NAME = 128;

struct ALLOCATOR_PROPERTIES {
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

enum QualityMessageType : std::int32_t { Famine = 0, Flood = 1 };

struct Quality {
    QualityMessageType Type;
    LONG Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
};
