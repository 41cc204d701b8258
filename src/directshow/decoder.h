// CDecoderFilter: the base of decoders, filters whose codec takes input and gives output on its
// own schedule (none, one or many frames per input, held back for reordering) rather than one
// output per input as CTransformFilter assumes. The writer drives the codec through SendInput,
// OutputReady, ReceiveOutput and FlushCodec; this class decides what gets delivered.
//
// Threads: Receive, EndOfStream, NewSegment and EndFlush run on the upstream filter's
// streaming thread, StartStreaming and StopStreaming in the filter's state changes; all are
// serialised on the receive lock m_csReceive, which also guards the codec: the writer's hooks
// are only ever called under it. (The input pin already holds it on these calls; this class
// takes it again, a recursive lock, so that it holds whoever calls.) BeginFlush comes from
// another thread while Receive may be blocked downstream: it takes no lock and never touches
// the codec; once the input pin is flushing, no more frames are taken from the codec.
// Locks, in order: the filter lock (state changes), then m_csReceive; delivery downstream
// happens under m_csReceive.
//
// What is delivered:
//  - Receive hands the codec the input, then delivers every frame that is ready.
//  - EndOfStream drains the codec (SendInput(nullptr)), delivers what comes out, then passes
//    the end of the stream downstream: once, even when the last frames could not be decoded
//    or delivered, and not at all while a flush is under way.
//  - Preroll frames are decoded, so the codec's references advance, but not delivered:
//      * a frame that ends at or before 0 (times are relative to the segment start, so it lies
//        before the seek target), or that starts before 0 when it has no end time;
//      * a frame the writer marked preroll (SetPreroll on the output: a writer that carries
//        the input's flags through its codec knows exactly which frames came from preroll
//        input, reordering or not);
//      * a frame without times that comes out while the latest input was marked preroll.
//        Preroll input is the start of a segment, so an untimed frame given back then came
//        from preroll input too. Timed frames are judged by their times and flag only: a
//        reordering codec gives back frames shown after the target while later preroll input
//        (a B-frame before the target, in decode order after it) is still going in.
//  - The first frame delivered after streaming starts, a flush or a new segment is marked as a
//    discontinuity.
//  - A downstream refusal (S_FALSE: stop sending, or an error) ends the delivery for this call
//    and is returned upstream; frames not yet taken stay in the codec for the next call.
//  - No exception leaves these methods: the writer's hooks may throw (std::bad_alloc becomes
//    E_OUTOFMEMORY, anything else E_FAIL).
#pragma once

#include <atomic>

#include "directshow/transform.h"

class CDecoderFilter : public CTransformFilter {
public:
    CDecoderFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid);
    ~CDecoderFilter() override = default;

    // What a decoder writer supplies (besides CTransformFilter's type negotiation and buffer
    // sizes). All are called under m_csReceive.

    // Gives the codec one input sample; nullptr at the end of the stream asks it to drain.
    // S_OK when taken; S_FALSE when it cannot take more until its ready output is taken (the
    // base then delivers what is ready and offers the same input again; E_UNEXPECTED if
    // nothing was); an error is returned upstream.
    virtual HRESULT SendInput(IMediaSample* in) = 0;
    // Whether a decoded frame is waiting, asked before a delivery buffer is taken from the
    // allocator, whose GetBuffer blocks while every sample is downstream. A send/receive codec
    // pulls the frame into its own memory here and copies it out in ReceiveOutput. The default
    // says yes, so the base takes a buffer on every try and gives it back on S_FALSE.
    virtual bool OutputReady() { return true; }
    // Writes the next decoded frame into out with its times (SetTime, from the codec's time
    // stamps) and flags (sync point, preroll when it came from preroll input): S_OK when a frame
    // was written, S_FALSE when the codec needs more input or is fully drained. The sample is
    // given back to the allocator as soon as this returns S_FALSE or the frame is delivered or
    // dropped: none is ever held while waiting for input.
    virtual HRESULT ReceiveOutput(IMediaSample* out) = 0;
    // Drops everything the codec holds: input, held-back frames, references, drain state.
    // Called at EndFlush and at StopStreaming.
    virtual void FlushCodec() = 0;

    // Decoders produce output through the hooks above.
    HRESULT Transform(IMediaSample*, IMediaSample*) final { return E_UNEXPECTED; }

    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    HRESULT StartStreaming() override;
    HRESULT StopStreaming() override;

    // The segment last received (start and stop relative to the source, rate), for the writer.
    REFERENCE_TIME SegmentStart() const { return m_segmentStart.load(); }
    REFERENCE_TIME SegmentStop() const { return m_segmentStop.load(); }
    double SegmentRate() const { return m_segmentRate.load(); }

    // Frames delivered downstream and frames decoded but dropped as preroll, since creation.
    LONG FramesDelivered() const { return m_framesDelivered.load(); }
    LONG FramesDroppedAsPreroll() const { return m_framesDropped.load(); }

protected:
    // For a writer that drops a preroll frame itself, before the work of making its sample.
    void CountPrerollDropped() { ++m_framesDropped; }

private:
    // Offers the input (nullptr: drain) until the codec takes it.
    HRESULT Feed(IMediaSample* in);
    // Delivers or drops every ready frame; counts the frames taken from the codec.
    HRESULT DeliverReady(int* taken);
    bool IsPreroll(IMediaSample* out) const;
    // Back to the state of a fresh segment: no preroll seen, discontinuity pending.
    void ResetStreamState();
    // FlushCodec, with its failure caught, then ResetStreamState.
    HRESULT FlushCodecAndReset();

    // Guarded by m_csReceive.
    bool m_inputPreroll = false;
    bool m_discontinuity = true;

    std::atomic<REFERENCE_TIME> m_segmentStart{0};
    std::atomic<REFERENCE_TIME> m_segmentStop{0x7FFFFFFFFFFFFFFF};
    std::atomic<double> m_segmentRate{1.0};
    std::atomic<LONG> m_framesDelivered{0};
    std::atomic<LONG> m_framesDropped{0};
};
