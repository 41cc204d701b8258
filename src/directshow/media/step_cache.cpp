#include "directshow/media/step_cache.h"

#include <limits>

namespace dshow::media {

void StepCache::SetBudget(std::uint64_t bytes) {
    m_budget = bytes;
    Trim();
}

void StepCache::BeginPass(REFERENCE_TIME target) {
    if (target != m_target)
        m_direction = target < m_target ? -1 : 1;
    m_target = target;
    m_keySeen = false;
    m_anyThisPass = false;
}

void StepCache::Offer(const AVFrame& frame, REFERENCE_TIME start, REFERENCE_TIME end) {
    if (m_budget == 0 || m_off)
        return;
    if (frame.key_frame)
        m_keySeen = true;
    if (!m_keySeen)
        return;
    if (m_anyThisPass && start <= m_lastStart) {
        m_off = true;
        Clear();
        return;
    }
    m_anyThisPass = true;
    m_lastStart = start;
    if (m_entries.count(start) != 0)
        return;
    std::uint64_t bytes = 0;
    for (const AVBufferRef* buffer : frame.buf)
        bytes += buffer ? buffer->size : 0;
    // Only a picture nearer the target than the farthest kept may push that one out.
    if (m_bytes + bytes > m_budget && !m_entries.empty() &&
        Distance(start) >=
            std::max(Distance(m_entries.begin()->first), Distance(m_entries.rbegin()->first)))
        return;
    FramePtr copy(av_frame_alloc());
    if (!copy || av_frame_ref(copy.get(), &frame) < 0)
        return;
    m_entries.emplace(start, Entry{std::move(copy), end, bytes});
    m_bytes += bytes;
    Trim();
}

const AVFrame* StepCache::Find(REFERENCE_TIME at, REFERENCE_TIME* start,
                               REFERENCE_TIME* end) const {
    auto it = m_entries.upper_bound(at);
    if (it == m_entries.begin())
        return nullptr;
    --it;
    if (at >= it->second.end)
        return nullptr;
    *start = it->first;
    *end = it->second.end;
    return it->second.frame.get();
}

void StepCache::Clear() {
    m_entries.clear();
    m_bytes = 0;
}

void StepCache::Reset() {
    Clear();
    m_off = false;
}

std::int64_t StepCache::Distance(REFERENCE_TIME start) const {
    const std::int64_t away = start - m_target;
    // Steps going back want the pictures before the target; going on, those after it.
    const bool wanted = m_direction < 0 ? away < 0 : away > 0;
    const std::int64_t size = away < 0 ? -away : away;
    return wanted || size > std::numeric_limits<std::int64_t>::max() / 4 ? size : size * 4;
}

void StepCache::Trim() {
    while (m_bytes > m_budget && !m_entries.empty()) {
        auto first = m_entries.begin();
        auto last = std::prev(m_entries.end());
        auto gone = Distance(first->first) >= Distance(last->first) ? first : last;
        m_bytes -= gone->second.bytes;
        m_entries.erase(gone);
    }
}

}  // namespace dshow::media
