// CAVIPlayer's metadata side: the event sinks, ZYL::INotify and the text sample path.
//
// One lock guards the registration table and its cookie: m_destroyLock (recursive), taken by
// registration, unregistration, the queries and delivery, and never while m_lock is held, so a
// callback (which runs under it) may call any of the player's interfaces. Delivery calls the
// callbacks under it, so a callback may unregister itself; the walk goes by cookie, never by
// iterator, so a registration removed during a callback is never touched.
#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>

#include "module/player/AVIPlayer.h"
#include "module/player/PinRoutines.h"
#include "module/player/PlayerLog.h"

namespace ZYL {
namespace {

constexpr const char* kWithMetadata = "Fired when new Metadata has arrived";
constexpr const char* kWithoutMetadata =
    "Fired when new Metadata has arrived but current video has no Metadata";
// How often a text delivery that waits for the destroy lock looks whether destruction began.
constexpr std::chrono::milliseconds kDestroyPoll{1};

}  // namespace

template <class T>
HRESULT CAVIPlayerEventSink<T>::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == SinkIid()) {
        AddRef();
        *object = static_cast<T*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

template <class T>
HRESULT CAVIPlayerEventSink<T>::SampleSnapped(IUnknown* sample) {
    constexpr bool kVideo = std::is_same_v<T, COM::IZYLTransfer2>;
    ComPtr<IMediaSample> media;
    HRESULT hr = sample ? sample->QueryInterface(IID_IMediaSample, media.PutVoid()) : E_POINTER;
    if (FAILED(hr)) {
        player::LogErr("Incoming media sample has no IMediaSample interface.", hr);
        return hr;
    }
    hr = kVideo ? m_player->AnnounceVideoSample(media.Get())
                : m_player->AnnounceTextSample(media.Get());
    if (FAILED(hr)) {
        player::LogErr(kVideo ? "VideoMediaSample not announced to CAVIPlayer successfully"
                              : "TextMediaSample not announced to CAVIPlayer successfully",
                       hr);
        return hr;
    }
    return S_OK;
}

template class CAVIPlayerEventSink<COM::IZYLTransfer2>;
template class CAVIPlayerEventSink<COM::IZYLTextTransfer>;

HRESULT CAVIPlayer::AnnounceTextSample(IMediaSample* sample) {
    // Once destruction has begun no callback runs, and a delivery never waits for the lock the
    // destructor holds while it stops the graph (the stop waits for this very delivery).
    std::unique_lock destroy(m_destroyLock, std::defer_lock);
    while (!destroy.try_lock()) {
        if (m_destroying)
            return S_OK;
        std::this_thread::sleep_for(kDestroyPoll);
    }
    if (m_destroying)
        return S_OK;
    if (!sample)
        return E_POINTER;
    ComPtr<IMediaSample> held(sample);
    BYTE* data = nullptr;
    if (const HRESULT hr = held->GetPointer(&data); FAILED(hr)) {
        player::LogErr("Unable to retrieve sample base pointer", hr);
        return hr;
    }
    // A text without its NUL ends with the sample's data.
    const LONG actual = held->GetActualDataLength();
    const std::size_t bound = data && actual > 0 ? static_cast<std::size_t>(actual) : 0;
    const std::size_t length = bound ? strnlen(reinterpret_cast<const char*>(data), bound) : 0;

    std::int64_t last = 0;
    for (auto it = m_registrations.upper_bound(last); it != m_registrations.end();
         it = m_registrations.upper_bound(last)) {
        if (m_destroying)
            return S_OK;
        last = it->first;
        const Registration entry = it->second;
        if (entry.eventId == kEventNewMetadata && entry.callback)
            entry.callback(kEventNewMetadata, data, length, kNotifyDataText, entry.userData);
    }
    ++m_metadataCounter;
    return S_OK;
}

Result CAVIPlayer::RegisterEvent(std::uint32_t eventId, NotifyCallback callback, void* userData,
                                 std::int64_t* cookie) {
    if (eventId != kEventNewMetadata)
        return kNotifyUnknownEvent;
    std::lock_guard table(m_destroyLock);
    const std::int64_t assigned = ++m_lastCookie;
    if (cookie)
        *cookie = assigned;
    m_registrations[assigned] = Registration{callback, kEventNewMetadata, userData};
    m_metadataCounter = 0;
    return kOk;
}

Result CAVIPlayer::UnregisterEvent(std::int64_t cookie) {
    std::lock_guard table(m_destroyLock);
    return m_registrations.erase(cookie) == 1 ? kOk : kNotifyNotFound;
}

Result CAVIPlayer::GetSupport(std::uint32_t* value) {
    if (value)
        *value = 1;
    return kOk;
}

Result CAVIPlayer::DescribeEvent(std::uint32_t index, char* text, std::uint64_t* size,
                                 std::uint32_t* eventId) {
    if (index != 0)
        return kNotifyBadArgument;
    if (eventId)
        *eventId = kEventNewMetadata;
    const char* description =
        player::IsFilterConnected(m_textRenderer.Get()) ? kWithMetadata : kWithoutMetadata;
    const std::size_t needed = std::strlen(description) + 1;
    // The size is also read as the buffer's capacity: a buffer the caller says is too small is
    // left alone rather than overrun. 0 (a caller that passes no capacity) writes as before.
    if (text && (!size || *size == 0 || *size >= needed))
        std::memcpy(text, description, needed);
    if (size)
        *size = needed;
    return kOk;
}

Result CAVIPlayer::GetEventInfo(std::uint32_t eventId, std::uint32_t infoCode,
                                std::uint64_t* value) {
    if (eventId != kEventNewMetadata)
        return kNotifyBadArgument;
    std::uint64_t v = 0;
    switch (infoCode) {
        case 0: {
            std::lock_guard table(m_destroyLock);
            v = m_registrations.size();
            break;
        }
        case 1:
            v = m_metadataCounter.load();
            break;
        case 2:
            v = player::IsFilterConnected(m_textRenderer.Get()) ? 1 : 0;
            break;
        default:
            return kNotifyBadArgument;
    }
    if (value)
        *value = v;
    return kOk;
}

Result CAVIPlayer::IsRegistered(std::int64_t cookie, bool* registered) {
    std::lock_guard table(m_destroyLock);
    if (registered)
        *registered = m_registrations.count(cookie) == 1;
    return kOk;
}

}  // namespace ZYL
