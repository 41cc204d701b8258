#include "directshow/source_seeking.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "directshow/time_scale.h"

namespace {

__extension__ typedef __int128 Int128;

constexpr REFERENCE_TIME kMaxTime = std::numeric_limits<REFERENCE_TIME>::max();
constexpr REFERENCE_TIME kMinTime = std::numeric_limits<REFERENCE_TIME>::min();

// Positions saturate instead of wrapping: "to the end" is often passed as the largest time.
REFERENCE_TIME SaturatingAdd(REFERENCE_TIME a, REFERENCE_TIME b) {
    REFERENCE_TIME sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? kMaxTime : kMinTime;
    return sum;
}

REFERENCE_TIME SaturatingMultiply(LONGLONG a, REFERENCE_TIME b) {
    REFERENCE_TIME product;
    if (__builtin_mul_overflow(a, b, &product))
        return (a < 0) != (b < 0) ? kMinTime : kMaxTime;
    return product;
}

// The frame covering a time: rounds towards minus infinity, so -1 is in frame -1.
LONGLONG FloorDivide(REFERENCE_TIME a, REFERENCE_TIME b) {
    LONGLONG quotient = a / b;
    if (a % b != 0 && (a < 0) != (b < 0))
        --quotient;
    return quotient;
}

}  // namespace

// ---- CSourceSeeking ----

CSourceSeeking::CSourceSeeking(const wchar_t*, IUnknown* owner, HRESULT*)
    : m_rtDuration(kMaxTime),
      m_rtStop(kMaxTime),
      m_dwSeekingCaps(AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                      AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetStopPos |
                      AM_SEEKING_CanGetDuration),
      m_pOwner(owner),
      m_timeFormat(TIME_FORMAT_MEDIA_TIME) {}

HRESULT CSourceSeeking::QueryInterface(REFIID riid, void** object) {
    return m_pOwner->QueryInterface(riid, object);
}
ULONG CSourceSeeking::AddRef() {
    return m_pOwner->AddRef();
}
ULONG CSourceSeeking::Release() {
    return m_pOwner->Release();
}

void CSourceSeeking::SetFrameTime(REFERENCE_TIME frameTime) {
    CAutoLock lock(&m_cSeekingLock);
    m_rtFrameTime = frameTime > 0 ? frameTime : 0;
    m_frameRateNum = m_frameRateDen = 0;
    if (m_rtFrameTime == 0 && m_timeFormat == TIME_FORMAT_FRAME)
        m_timeFormat = TIME_FORMAT_MEDIA_TIME;
}

bool CSourceSeeking::IsSupportedLocked(const GUID& format) const {
    return format == TIME_FORMAT_MEDIA_TIME || (format == TIME_FORMAT_FRAME && m_rtFrameTime > 0);
}

void CSourceSeeking::SetFrameRate(LONGLONG numerator, LONGLONG denominator) {
    if (numerator <= 0 || denominator <= 0) {
        SetFrameTime(0);
        return;
    }
    const Int128 exact = static_cast<Int128>(UNITS) * denominator;
    SetFrameTime(static_cast<REFERENCE_TIME>((exact + numerator / 2) / numerator));
    CAutoLock lock(&m_cSeekingLock);
    m_frameRateNum = numerator;
    m_frameRateDen = denominator;
}

REFERENCE_TIME CSourceSeeking::ToMediaTimeLocked(LONGLONG value, const GUID& format) const {
    if (format != TIME_FORMAT_FRAME)
        return value;
    if (m_frameRateNum == 0)
        return SaturatingMultiply(value, m_rtFrameTime);
    // Frame n starts at n / rate, rounded to the nearest unit as the stream's time stamps are.
    const Int128 scaled = static_cast<Int128>(value) * UNITS * m_frameRateDen;
    const Int128 start =
        (scaled + (scaled >= 0 ? m_frameRateNum / 2 : -m_frameRateNum / 2)) / m_frameRateNum;
    constexpr Int128 kMax = std::numeric_limits<REFERENCE_TIME>::max();
    return static_cast<REFERENCE_TIME>(std::clamp<Int128>(start, -kMax, kMax));
}

LONGLONG CSourceSeeking::FromMediaTimeLocked(REFERENCE_TIME value, const GUID& format) const {
    if (format != TIME_FORMAT_FRAME)
        return value;
    if (m_frameRateNum == 0)
        return FloorDivide(value, m_rtFrameTime);
    // A frame start rounded down by half a unit still belongs to its frame.
    const Int128 scaled = (static_cast<Int128>(value) + 1) * m_frameRateNum;
    const Int128 unit = static_cast<Int128>(UNITS) * m_frameRateDen;
    Int128 frames = scaled / unit;
    if (scaled % unit != 0 && scaled < 0)
        --frames;
    return static_cast<LONGLONG>(frames);
}

HRESULT CSourceSeeking::GetCapabilities(DWORD* capabilities) {
    if (!capabilities)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    *capabilities = m_dwSeekingCaps;
    return S_OK;
}

HRESULT CSourceSeeking::CheckCapabilities(DWORD* capabilities) {
    if (!capabilities)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    const DWORD asked = *capabilities;
    const DWORD present = asked & m_dwSeekingCaps;
    *capabilities = present;
    if (present == asked)
        return S_OK;
    return present ? S_FALSE : E_FAIL;
}

HRESULT CSourceSeeking::IsFormatSupported(const GUID* format) {
    if (!format)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    return IsSupportedLocked(*format) ? S_OK : S_FALSE;
}

HRESULT CSourceSeeking::QueryPreferredFormat(GUID* format) {
    if (!format)
        return E_POINTER;
    *format = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

HRESULT CSourceSeeking::GetTimeFormat(GUID* format) {
    if (!format)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    *format = m_timeFormat;
    return S_OK;
}

HRESULT CSourceSeeking::IsUsingTimeFormat(const GUID* format) {
    if (!format)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    return *format == m_timeFormat ? S_OK : S_FALSE;
}

HRESULT CSourceSeeking::SetTimeFormat(const GUID* format) {
    if (!format)
        return E_POINTER;
    const bool stopped = CanChangeTimeFormat();
    CAutoLock lock(&m_cSeekingLock);
    if (!IsSupportedLocked(*format))
        return E_INVALIDARG;
    if (*format == m_timeFormat)
        return S_OK;
    if (!stopped)
        return VFW_E_WRONG_STATE;
    m_timeFormat = *format;
    return S_OK;
}

HRESULT CSourceSeeking::GetDuration(LONGLONG* duration) {
    if (!duration)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    *duration = FromMediaTimeLocked(m_rtDuration, m_timeFormat);
    return S_OK;
}

HRESULT CSourceSeeking::GetStopPosition(LONGLONG* stop) {
    if (!stop)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    *stop = FromMediaTimeLocked(m_rtStop, m_timeFormat);
    return S_OK;
}

HRESULT CSourceSeeking::GetCurrentPosition(LONGLONG*) {
    return E_NOTIMPL;
}

HRESULT CSourceSeeking::ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat,
                                          LONGLONG source, const GUID* sourceFormat) {
    if (!target)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    const GUID& from = sourceFormat ? *sourceFormat : m_timeFormat;
    const GUID& to = targetFormat ? *targetFormat : m_timeFormat;
    if (!IsSupportedLocked(from) || !IsSupportedLocked(to))
        return E_INVALIDARG;
    *target = FromMediaTimeLocked(ToMediaTimeLocked(source, from), to);
    return S_OK;
}

HRESULT CSourceSeeking::SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                                     DWORD stopFlags) {
    const DWORD startHow = currentFlags & AM_SEEKING_PositioningBitsMask;
    const DWORD stopHow = stopFlags & AM_SEEKING_PositioningBitsMask;
    // Incremental positioning places the stop after the start; a start has no such anchor.
    if (startHow == AM_SEEKING_IncrementalPositioning)
        return E_INVALIDARG;
    if ((startHow != AM_SEEKING_NoPositioning && !current) ||
        (stopHow != AM_SEEKING_NoPositioning && !stop)) {
        return E_POINTER;
    }
    if (startHow == AM_SEEKING_NoPositioning && stopHow == AM_SEEKING_NoPositioning)
        return S_FALSE;

    REFERENCE_TIME start, end, duration;
    {
        CAutoLock lock(&m_cSeekingLock);
        duration = m_rtDuration;
        start = m_rtStart;
        if (startHow == AM_SEEKING_AbsolutePositioning)
            start = ToMediaTimeLocked(*current, m_timeFormat);
        else if (startHow == AM_SEEKING_RelativePositioning)
            start = SaturatingAdd(m_rtStart, ToMediaTimeLocked(*current, m_timeFormat));
        // Positions lie between zero and the duration.
        start = std::clamp<REFERENCE_TIME>(start, 0, std::max<REFERENCE_TIME>(duration, 0));
        end = m_rtStop;
        if (stopHow == AM_SEEKING_AbsolutePositioning)
            end = ToMediaTimeLocked(*stop, m_timeFormat);
        else if (stopHow == AM_SEEKING_RelativePositioning)
            end = SaturatingAdd(m_rtStop, ToMediaTimeLocked(*stop, m_timeFormat));
        else if (stopHow == AM_SEEKING_IncrementalPositioning)
            end = SaturatingAdd(start, ToMediaTimeLocked(*stop, m_timeFormat));
        end = std::min(end, duration);
    }
    // The writer's hook runs without the seeking lock.
    if (startHow != AM_SEEKING_NoPositioning && (currentFlags & AM_SEEKING_SeekToKeyFrame))
        start = std::clamp<REFERENCE_TIME>(KeyFrameBefore(start), 0, start);
    if (start > end)
        return E_INVALIDARG;
    {
        CAutoLock lock(&m_cSeekingLock);
        if (startHow != AM_SEEKING_NoPositioning)
            m_rtStart = start;
        if (stopHow != AM_SEEKING_NoPositioning)
            m_rtStop = end;
    }
    // The positions actually set, as reference times.
    if ((currentFlags & AM_SEEKING_ReturnTime) && current)
        *current = start;
    if ((stopFlags & AM_SEEKING_ReturnTime) && stop)
        *stop = end;
    // A new start restarts the segment, which carries the stop too.
    if (startHow != AM_SEEKING_NoPositioning)
        return ChangeStart();
    return ChangeStop();
}

HRESULT CSourceSeeking::GetPositions(LONGLONG* current, LONGLONG* stop) {
    if (!current && !stop)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    if (current)
        *current = FromMediaTimeLocked(m_rtStart, m_timeFormat);
    if (stop)
        *stop = FromMediaTimeLocked(m_rtStop, m_timeFormat);
    return S_OK;
}

HRESULT CSourceSeeking::GetAvailable(LONGLONG* earliest, LONGLONG* latest) {
    if (!earliest && !latest)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    if (earliest)
        *earliest = 0;
    if (latest)
        *latest = FromMediaTimeLocked(m_rtDuration, m_timeFormat);
    return S_OK;
}

HRESULT CSourceSeeking::SetRate(double rate) {
    // Written so that NaN fails too.
    if (!(rate >= 0.25 && rate <= 16.0))
        return E_INVALIDARG;
    double previous;
    {
        CAutoLock lock(&m_cSeekingLock);
        previous = m_dRateSeeking;
        if (previous == rate)
            return S_OK;
        m_dRateSeeking = rate;
    }
    const HRESULT hr = ChangeRate();
    if (FAILED(hr)) {
        CAutoLock lock(&m_cSeekingLock);
        if (m_dRateSeeking == rate)
            m_dRateSeeking = previous;
    }
    return hr;
}

HRESULT CSourceSeeking::GetRate(double* rate) {
    if (!rate)
        return E_POINTER;
    CAutoLock lock(&m_cSeekingLock);
    *rate = m_dRateSeeking;
    return S_OK;
}

HRESULT CSourceSeeking::GetPreroll(LONGLONG* preroll) {
    if (!preroll)
        return E_POINTER;
    *preroll = 0;
    return S_OK;
}

// ---- CSourceSeekingStream ----

// The pin's IPin is its delegating IUnknown: IMediaSeeking's calls reach the pin's owner.
CSourceSeekingStream::CSourceSeekingStream(const wchar_t* objectName, HRESULT* hr, CSource* filter,
                                           const wchar_t* pinName)
    : CSourceStream(objectName, hr, filter, pinName),
      CSourceSeeking(objectName, static_cast<IPin*>(this), hr) {}

HRESULT CSourceSeekingStream::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (riid == IID_IMediaSeeking)
        return GetInterface(static_cast<IMediaSeeking*>(this), object);
    return CSourceStream::NonDelegatingQueryInterface(riid, object);
}

bool CSourceSeekingStream::CanChangeTimeFormat() {
    return CSourceStream::IsStopped();
}

HRESULT CSourceSeekingStream::OnThreadCreate() {
    REFERENCE_TIME start;
    {
        CAutoLock lock(&m_cSeekingLock);
        start = m_rtStart;
    }
    return OnSeek(start);
}

HRESULT CSourceSeekingStream::OnThreadStartPlay() {
    {
        CAutoLock lock(&m_cSeekingLock);
        m_segmentStart = m_rtStart;
        // A stop at a duration that is only a hint is the end of the stream, wherever the
        // stream really ends.
        m_segmentStop = m_bDurationIsAHint && m_rtStop >= m_rtDuration ? kMaxTime : m_rtStop;
        m_segmentRate = m_dRateSeeking;
    }
    m_firstInSegment = true;
    m_stamped = false;
    DeliverNewSegment(m_segmentStart, m_segmentStop, m_segmentRate);
    return S_OK;
}

HRESULT CSourceSeekingStream::ChangeStart() {
    return Reseek(false);
}

HRESULT CSourceSeekingStream::ChangeStop() {
    // The streaming thread reads the stop before each sample.
    return S_OK;
}

HRESULT CSourceSeekingStream::ChangeRate() {
    return Reseek(true);
}

HRESULT CSourceSeekingStream::Reseek(bool resumeFromLast) {
    // Serialises the seek with the filter's state changes, which create and join the thread.
    CAutoLock lock(m_pLock);
    if (!ThreadExists())
        return S_OK;  // the next thread starts at the new position (OnThreadCreate)
    const Command resume = LastCommand();
    // The flush frees a thread blocked downstream; then the thread parks.
    DeliverBeginFlush();
    Stop();
    REFERENCE_TIME start;
    {
        CAutoLock seeking(&m_cSeekingLock);
        if (resumeFromLast && m_stamped && m_lastStamped > m_rtStart)
            m_rtStart = std::min(m_lastStamped, m_rtStop);
        start = m_rtStart;
    }
    HRESULT hr = OnSeek(start);
    DeliverEndFlush();
    if (FAILED(hr)) {
        // Nothing more will come: let downstream finish rather than wait.
        DeliverEndOfStream();
        return hr;
    }
    if (resume == CMD_PAUSE || resume == CMD_RUN)
        hr = CallWorker(resume);
    return hr;
}

REFERENCE_TIME CSourceSeekingStream::SegmentTime(REFERENCE_TIME mediaTime) const {
    const REFERENCE_TIME offset = SaturatingAdd(mediaTime, -m_segmentStart);
    if (m_segmentRate == 1.0)
        return offset;
    return ScaleTime(offset, 1.0 / m_segmentRate);
}

bool CSourceSeekingStream::IsAtOrPastStop(REFERENCE_TIME mediaTime) {
    CAutoLock lock(&m_cSeekingLock);
    if (m_bDurationIsAHint && m_rtStop >= m_rtDuration)
        return false;
    return mediaTime >= m_rtStop;
}

HRESULT CSourceSeekingStream::StampSample(IMediaSample* sample, REFERENCE_TIME mediaStart,
                                          REFERENCE_TIME mediaEnd) {
    if (!sample)
        return E_POINTER;
    REFERENCE_TIME start = SegmentTime(mediaStart);
    REFERENCE_TIME end = SegmentTime(mediaEnd);
    if (HRESULT hr = sample->SetTime(&start, &end); FAILED(hr))
        return hr;
    // Wholly before the seek target: decoded for what follows, never shown.
    sample->SetPreroll(mediaEnd <= m_segmentStart ? TRUE : FALSE);
    sample->SetDiscontinuity(m_firstInSegment ? TRUE : FALSE);
    m_firstInSegment = false;
    m_stamped = true;
    m_lastStamped = mediaStart;
    return S_OK;
}
