#include "module/filters/DShowTextTarget.h"

#include <string>

#include "directshow/time_scale.h"

namespace COM {
namespace {

// Text samples rendered by every text filter of the module, for the log.
std::atomic<std::uint64_t> g_textSamples{0};

}  // namespace

CUnknown* CDShowTextTarget::CreateInstance(IUnknown* outer, HRESULT* hr) {
    // No exception may leave the class factory: running out of memory is a code.
    CDShowTextTarget* filter = nullptr;
    try {
        filter = new CDShowTextTarget(outer, hr);
    } catch (const std::bad_alloc&) {
        if (hr)
            *hr = E_OUTOFMEMORY;
        return nullptr;
    }
    QN_LOG(qnLogging::root_logger(), qnLogging::level::info) << "Create CDShow target filter";
    return filter;
}

CDShowTextTarget::CDShowTextTarget(IUnknown* outer, HRESULT* hr)
    : TSinkFilter(CLSID_ZYLDirectShowTextTarget, L"ZYL DirectShow TextTarget", outer, hr,
                  IID_IZYLTextTransfer, "Final release of CDShowTextTarget object occured") {}

CDShowTextTarget::~CDShowTextTarget() {
    SetVideoProgress(nullptr);
    m_subscribers.ReleaseAll();
}

void CDShowTextTarget::SetVideoProgress(std::shared_ptr<CVideoProgress> progress) {
    qnThreads::CAutoLock lock(this);
    if (m_progress)
        m_progress->SetListener(nullptr);
    m_progress = std::move(progress);
    if (m_progress)
        m_progress->SetListener([this] { Wake(); });
}

HRESULT CDShowTextTarget::CheckMediaType(const CMediaType* type) {
    qnThreads::CAutoLock lock(this);
    if (type && *type->Type() == MEDIATYPE_Text)
        return S_OK;
    QN_LOG(qnLogging::root_logger(), qnLogging::level::info)
        << "Tried to connect non-text data to ZYL Direct Show TextTarget Filter.";
    return E_INVALIDARG;
}

HRESULT CDShowTextTarget::DoRenderSample(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    const std::uint64_t number = g_textSamples++;
    QN_LOG(qnLogging::root_logger(), qnLogging::level::info)
        << "Media sample " << number << " (size: " << sample->GetActualDataLength()
        << " bytes) arrived.";
    std::shared_ptr<CVideoProgress> progress;
    {
        qnThreads::CAutoLock lock(this);
        progress = m_progress;
    }
    REFERENCE_TIME start = 0, end = 0;
    if (progress && SUCCEEDED(sample->GetTime(&start, &end))) {
        // Where the text lies in the file: its time from the segment's start, at its rate.
        const double rate = InputPin()->CurrentRate();
        const REFERENCE_TIME at =
            AddTime(InputPin()->CurrentStartTime(), rate == 1.0 ? start : ScaleTime(start, rate));
        const std::uint64_t run = progress->Run();
        // Left behind by a flush or a stop while it waited: the text goes with its frame,
        // unless the host took that frame before (a seek right after a wait).
        if (!WaitUntilReady([&] { return progress->HasReached(at); }) &&
            !progress->HadReached(at, run))
            return S_OK;
    }
    qnThreads::CAutoLock lock(this);
    const auto& entries = m_subscribers.EntriesLocked();
    // Walked by cookie rather than by iterator, and each sink held for its call: a subscriber
    // may unadvise itself or another from inside SampleSnapped on this thread (the lock is
    // recursive).
    for (auto next = entries.begin(); next != entries.end();) {
        const DWORD cookie = next->first;
        IUnknown* sink = next->second;
        sink->AddRef();
        try {
            static_cast<IZYLTextTransfer*>(sink)->SampleSnapped(sample);
        } catch (...) {
            // A subscriber's failure is its own; the next one still gets the sample.
        }
        sink->Release();
        next = entries.upper_bound(cookie);
    }
    return S_OK;
}

}  // namespace COM
