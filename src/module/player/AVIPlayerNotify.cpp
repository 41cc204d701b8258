// CAVIPlayer's metadata side: the event sinks, ZYL::INotify and the text sample path.
//
// The streaming thread copies each text into a queue and returns; the text thread takes them in
// order and calls the callbacks. So a callback may take its time, block, or seek (a seek's flush
// waits for the streaming thread, never for a callback), and the stream still reaches its end
// and loops.
//
// One lock guards the registration table and its cookie: m_destroyLock (recursive), taken by
// registration, unregistration, the queries and delivery, and never while m_lock is held.
// Delivery calls the callbacks under it, so a callback may (un)register; the walk goes by
// cookie, never by iterator, so a registration removed during a callback is never touched.
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
// Texts waiting for a callback that does not return; beyond this the newest are dropped.
constexpr std::size_t kMaxQueuedTexts = 1024;

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
    {
        std::lock_guard queue(m_textLock);
        if (m_textStop)
            return S_OK;
        if (m_texts.size() >= kMaxQueuedTexts) {
            player::Log(qnLogging::level::warn,
                        "Metadata callbacks do not keep up -> metadata dropped.");
            return S_OK;
        }
        m_texts.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    m_textQueued.notify_one();
    return S_OK;
}

void CAVIPlayer::DeliverTexts() {
    std::unique_lock queue(m_textLock);
    for (;;) {
        m_textQueued.wait(queue, [this] { return m_textStop || !m_texts.empty(); });
        if (m_textStop)
            return;
        const std::string text = std::move(m_texts.front());
        m_texts.pop_front();
        queue.unlock();
        DeliverText(text);
        queue.lock();
    }
}

void CAVIPlayer::DeliverText(const std::string& text) {
    std::lock_guard table(m_destroyLock);
    std::int64_t last = 0;
    for (auto it = m_registrations.upper_bound(last); it != m_registrations.end();
         it = m_registrations.upper_bound(last)) {
        // No callback once destruction has begun.
        if (m_destroying)
            return;
        last = it->first;
        const Registration entry = it->second;
        // The callback sees the text with its NUL, as the sample carried it.
        if (entry.eventId == kEventNewMetadata && entry.callback)
            entry.callback(kEventNewMetadata, text.c_str(), text.size(), kNotifyDataText,
                           entry.userData);
    }
    ++m_metadataCounter;
}

void CAVIPlayer::StopTextDelivery() {
    {
        std::lock_guard queue(m_textLock);
        m_textStop = true;
        m_texts.clear();
    }
    m_textQueued.notify_one();
    if (!m_textThread.joinable())
        return;
    // A callback that disposes of its own player is refused in the driver header; the thread
    // cannot wait for itself.
    if (m_textThread.get_id() == std::this_thread::get_id()) {
        m_textThread.detach();
    } else {
        m_textThread.join();
    }
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
    const std::uint64_t capacity = size ? *size : 0;
    if (size)
        *size = needed;
    // Callers ask for the size first, so a buffer said to be too small is an error, not a
    // truncated description: it gets an empty text and the call fails with the size to use.
    // A capacity of 0 is a caller that passes none and gets the whole text.
    if (text && capacity != 0 && capacity < needed) {
        text[0] = '\0';
        return kNotifyBadArgument;
    }
    if (text)
        std::memcpy(text, description, needed);
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
