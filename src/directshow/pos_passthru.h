// Seeking for filters that do not seek themselves: CPosPassThru answers IMediaSeeking for a
// transform's output pin or a renderer by handing every call to the output pin upstream of one
// input pin; CRendererPosPassThru also remembers the time stamps of the sample the renderer has
// last taken, so the current position follows what is on screen rather than how far ahead the
// source has read.
//
// Threads: the IMediaSeeking methods run on application threads (usually the filter graph
// manager's); RegisterMediaTime, ResetMediaTime and EOS run on the renderer's streaming thread
// or in its state changes. The upstream pin is looked up again on every call (ConnectedTo takes
// the input pin's filter lock for that moment), so nothing goes stale across a reconnection.
// CRendererPosPassThru guards its cached times with its own mutex, a leaf lock: it is never held
// while calling out, so upstream calls cannot deadlock against the streaming thread.
#pragma once

#include <mutex>

#include "directshow/unknown.h"

class CPosPassThru : public CUnknown, public IMediaSeeking {
public:
    // inputPin is not counted: the filter owns both it and this object, and a reference from
    // here would keep the filter alive for ever.
    CPosPassThru(const wchar_t* name, IUnknown* outer, HRESULT* hr, IPin* inputPin);
    ~CPosPassThru() override = default;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IMediaSeeking: each call goes to the upstream output pin's IMediaSeeking and its result
    // comes back as it is; VFW_E_NOT_CONNECTED when the input pin has no peer, E_NOTIMPL when
    // the peer cannot seek.
    HRESULT GetCapabilities(DWORD* capabilities) override;
    HRESULT CheckCapabilities(DWORD* capabilities) override;
    HRESULT IsFormatSupported(const GUID* format) override;
    HRESULT QueryPreferredFormat(GUID* format) override;
    HRESULT GetTimeFormat(GUID* format) override;
    HRESULT IsUsingTimeFormat(const GUID* format) override;
    HRESULT SetTimeFormat(const GUID* format) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    // The position GetMediaTime knows, when it knows one; else the upstream pin's.
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                         DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT SetRate(double rate) override;
    HRESULT GetRate(double* rate) override;
    HRESULT GetPreroll(LONGLONG* preroll) override;

    // Kept for filters written against the original class; nothing is cached, so S_OK.
    HRESULT ForceRefresh() { return S_OK; }
    // The position of what is being presented, in the current time format; S_OK only when
    // known. This class knows none (E_FAIL); CRendererPosPassThru does.
    virtual HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end);

protected:
    // The upstream output pin's IMediaSeeking, with a reference the caller releases.
    HRESULT GetPeerSeeking(IMediaSeeking** seeking);
    IPin* const m_pPin;

private:
    template <class Call>
    HRESULT Forward(Call&& call);
};

class CRendererPosPassThru : public CPosPassThru {
public:
    CRendererPosPassThru(const wchar_t* name, IUnknown* outer, HRESULT* hr, IPin* inputPin);

    // Remembers the time stamps of the sample the renderer has taken; VFW_E_MEDIA_TIME_NOT_SET
    // (and the earlier times kept) when it has none. Time stamps are relative to the segment:
    // they become stream positions with the segment start and rate the input pin last received,
    // so call these on the streaming thread, where NewSegment arrives too.
    HRESULT RegisterMediaTime(IMediaSample* sample);
    HRESULT RegisterMediaTime(REFERENCE_TIME start, REFERENCE_TIME stop);
    // Forgets them (at EndFlush and at Stop): positions come from upstream again.
    HRESULT ResetMediaTime();
    // The stream has ended: the position is the stop position from now on.
    HRESULT EOS();

    // The remembered times in the current time format: S_OK; zeros and S_FALSE when nothing is
    // remembered; the upstream pin's error when the stop position or a conversion fails.
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) override;

private:
    enum class Cached { None, Times, End };

    std::mutex m_lock;
    Cached m_cached = Cached::None;
    REFERENCE_TIME m_start = 0;
    REFERENCE_TIME m_stop = 0;
};
