// COM::CDShowTextTarget ("ZYL DirectShow TextTarget"): the renderer for a video file's text
// stream. It owns its subscriber map and hands every text sample, as it arrives, to its
// IZYLTextTransfer subscribers in cookie order; it keeps no sample. Given a video progress (a
// replaying player), a text waits until the video has reached its time, so metadata never
// comes before its frame.
//
// Threads: the graph's streaming thread renders; the player's thread (un)subscribes and sets the
// progress (before the graph runs, under the filter lock). Locks: the
// filter's own lock is held while the subscribers are called, so Advise and Unadvise wait for a
// delivery to finish; a subscriber must not wait for another thread that advises or unadvises.
#pragma once

#include <memory>

#include "module/filters/SinkFilter.h"
#include "module/filters/VideoProgress.h"

namespace COM {

class CDShowTextTarget final : public TSinkFilter<CBaseRenderer, CTextConnectionPointEnumerator,
                                                  CTextConnectionsEnumerator> {
public:
    // The class factory's creation routine.
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);

    CDShowTextTarget(IUnknown* outer, HRESULT* hr);
    ~CDShowTextTarget() override;

    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT DoRenderSample(IMediaSample* sample) override;
    void SetVideoProgress(std::shared_ptr<CVideoProgress> progress);

private:
    std::shared_ptr<CVideoProgress> m_progress;  // under the filter lock
};

}  // namespace COM
