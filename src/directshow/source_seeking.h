// CSourceSeeking, IMediaSeeking for a source's output pin, and CSourceSeekingStream, a
// CSourceStream that seeks with it.
//
// CSourceSeeking owns the positions (start, stop, duration; always kept in media time), the
// rate and the time format: media time, or frames once the writer gives the frame duration.
// It is a mixin: QueryInterface, AddRef and Release go to the owning object's IUnknown.
// SetPositions and SetRate update the values, then call ChangeStart (when a start was given),
// else ChangeStop (when only a stop was), or ChangeRate, outside the seeking lock.
//
// CSourceSeekingStream seeks a pushing pin: when its thread exists it flushes downstream, parks
// the thread, lets the writer reposition (OnSeek), ends the flush and restarts the thread,
// which opens the new segment with NewSegment before its first sample. A stop moved without a
// new start takes effect at the next sample (the segment already sent keeps the old stop).
//
// Threads and locks: IMediaSeeking calls come from the application or graph thread. The
// seeking lock (m_cSeekingLock) guards the positions, the rate and the format and is only
// held briefly, never while calling out. A seek takes the filter lock first (it waits for the
// streaming thread, which never takes that lock), then the seeking lock for a moment. The
// streaming thread takes the seeking lock alone. Order: filter lock, then seeking lock.
#pragma once

#include "directshow/source.h"

class CSourceSeeking : public IMediaSeeking {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IMediaSeeking
    HRESULT GetCapabilities(DWORD* capabilities) override;
    HRESULT CheckCapabilities(DWORD* capabilities) override;
    HRESULT IsFormatSupported(const GUID* format) override;
    HRESULT QueryPreferredFormat(GUID* format) override;
    HRESULT GetTimeFormat(GUID* format) override;
    HRESULT IsUsingTimeFormat(const GUID* format) override;
    HRESULT SetTimeFormat(const GUID* format) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    // E_NOTIMPL: a source knows the last seek, not what plays; the graph takes the current
    // position from stream time.
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop,
                         DWORD stopFlags) override;
    // The current position is the last seek's start.
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;
    HRESULT SetRate(double rate) override;
    HRESULT GetRate(double* rate) override;
    HRESULT GetPreroll(LONGLONG* preroll) override;

protected:
    // owner: the IUnknown of the object the writer's class is (the pin).
    CSourceSeeking(const wchar_t* name, IUnknown* owner, HRESULT* hr);
    virtual ~CSourceSeeking() = default;

    virtual HRESULT ChangeStart() = 0;
    virtual HRESULT ChangeStop() = 0;
    virtual HRESULT ChangeRate() = 0;
    // The media time of the key frame at or before a position, for AM_SEEKING_SeekToKeyFrame.
    virtual REFERENCE_TIME KeyFrameBefore(REFERENCE_TIME position) { return position; }
    // Whether the time format may change now: only while the graph is stopped.
    virtual bool CanChangeTimeFormat() { return true; }

    // The duration of one frame; frame n covers [n * frameTime, (n + 1) * frameTime). Zero
    // (the default) leaves frames unsupported.
    void SetFrameTime(REFERENCE_TIME frameTime);
    // The same from a frame rate (frames per second as numerator / denominator), for rates whose
    // frame time is no whole number of units (30000/1001): frames and times convert exactly,
    // so frame n is the frame whose rounded time stamp a stream gives it.
    void SetFrameRate(LONGLONG numerator, LONGLONG denominator);

    // Media time, 100 ns units.
    REFERENCE_TIME m_rtDuration;
    REFERENCE_TIME m_rtStart = 0;
    REFERENCE_TIME m_rtStop;
    double m_dRateSeeking = 1.0;
    // The duration comes from a header that may state less than the stream holds (a file
    // whose header was written before the recording ended, a truncated copy).
    bool m_bDurationIsAHint = false;
    DWORD m_dwSeekingCaps;
    CCritSec m_cSeekingLock;

private:
    bool IsSupportedLocked(const GUID& format) const;
    REFERENCE_TIME ToMediaTimeLocked(LONGLONG value, const GUID& format) const;
    LONGLONG FromMediaTimeLocked(REFERENCE_TIME value, const GUID& format) const;

    IUnknown* const m_pOwner;
    GUID m_timeFormat;
    REFERENCE_TIME m_rtFrameTime = 0;
    LONGLONG m_frameRateNum = 0;  // 0: frames convert by m_rtFrameTime alone
    LONGLONG m_frameRateDen = 0;
};

class CSourceSeekingStream : public CSourceStream, public CSourceSeeking {
public:
    CSourceSeekingStream(const wchar_t* objectName, HRESULT* hr, CSource* filter,
                         const wchar_t* pinName);

    DECLARE_IUNKNOWN
    // Answers IID_IMediaSeeking besides the pin's interfaces.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

protected:
    // Moves the writer's reader so that the next FillBuffer produces the key frame at or
    // before start. Called with the streaming thread parked or not yet playing: on a seek
    // (under the filter lock) and when the thread starts (on the streaming thread, while the
    // state change holds the filter lock). It must not take the filter lock.
    virtual HRESULT OnSeek(REFERENCE_TIME start) = 0;

    // Starts every new thread at the current start position: a writer overriding it calls it.
    HRESULT OnThreadCreate() override;
    // Opens the segment: NewSegment(start, stop, rate) before the first sample.
    HRESULT OnThreadStartPlay() override;

    HRESULT ChangeStart() override;
    HRESULT ChangeStop() override;
    // A new rate while streaming resumes from the last sample stamped, in a new segment.
    HRESULT ChangeRate() override;
    bool CanChangeTimeFormat() override;

    // Helpers for FillBuffer (streaming thread).
    // A media position's time in the current segment: before the segment's start it is
    // negative, and downstream drops such samples.
    REFERENCE_TIME SegmentTime(REFERENCE_TIME mediaTime) const;
    // At or past the stop position: FillBuffer then ends the stream (S_FALSE). When the
    // duration is only a hint (m_bDurationIsAHint), a stop at the duration never ends it: the
    // stream ends where the file does, and segments are sent with the largest stop, so
    // nothing downstream cuts them either.
    bool IsAtOrPastStop(REFERENCE_TIME mediaTime);
    // Sets the sample's times from its media span, marks it preroll when it ends at or before
    // the segment's start, and marks the first sample of a segment as a discontinuity.
    HRESULT StampSample(IMediaSample* sample, REFERENCE_TIME mediaStart, REFERENCE_TIME mediaEnd);

private:
    // The seek sequence; resumeFromLast restarts at the last sample stamped (a rate change).
    HRESULT Reseek(bool resumeFromLast);

    // The segment being played, the streaming thread's copy; a seek reads them only with the
    // thread parked.
    REFERENCE_TIME m_segmentStart = 0;
    REFERENCE_TIME m_segmentStop = 0;
    double m_segmentRate = 1.0;
    bool m_firstInSegment = true;
    bool m_stamped = false;
    REFERENCE_TIME m_lastStamped = 0;
};
