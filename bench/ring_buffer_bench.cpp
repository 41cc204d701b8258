// Ring-buffer hand-off from a producer thread to a consumer thread, against a plain
// mutex/condition-variable queue of the same depth run in the same process.
//
//   throughput: the producer publishes as fast as the ring has room (it waits while every
//               element is taken), the consumer takes every frame; frames per second.
//   latency:    the producer publishes one frame every 100 us; the consumer measures the time
//               from commit to its wake-up; median and p99.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "bench_util.h"
#include "module/base/collections/RingBuffer.h"

using namespace zyl::bench;

namespace {

constexpr int kElements = 4;
constexpr std::uint64_t kFrameBytes = 64;

// The baseline: the simplest correct bounded hand-off with the same element count.
class PlainQueue {
public:
    void push(std::int64_t stamp) {
        std::unique_lock lock(mutex_);
        notFull_.wait(lock, [&] { return items_.size() < kElements - 1; });
        items_.push_back(stamp);
        notEmpty_.notify_one();
    }
    std::int64_t pop() {
        std::unique_lock lock(mutex_);
        notEmpty_.wait(lock, [&] { return !items_.empty(); });
        const std::int64_t stamp = items_.front();
        items_.pop_front();
        notFull_.notify_one();
        return stamp;
    }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<std::int64_t> items_;
};

void pace(std::int64_t intervalNs, std::int64_t& next) {
    if (intervalNs == 0)
        return;
    next += intervalNs;
    while (nowNs() < next) {
    }
}

std::vector<std::int64_t> runRing(int frames, std::int64_t intervalNs, double& seconds) {
    qnCollections::CRingBuffer ring;
    for (int i = 0; i < kElements; ++i)
        ring.AddBuffer(kFrameBytes, nullptr);
    std::vector<std::int64_t> latencies;
    latencies.reserve(static_cast<std::size_t>(frames));
    const std::int64_t start = nowNs();
    std::thread producer([&] {
        std::int64_t next = nowNs();
        for (int i = 0; i < frames; ++i) {
            pace(intervalNs, next);
            // Wait for room as the baseline's producer does: with lock mode 0 every element
            // is free except the unread ones and the one handed out last.
            while (ring.GetUnreadCount() >= kElements - 1)
                std::this_thread::yield();
            const std::uint16_t index = ring.GetNextFreeBuffer();
            std::uint8_t* data = ring.GetBufferAddress(index, nullptr);
            const std::int64_t stamp = nowNs();
            std::memcpy(data, &stamp, sizeof stamp);
            ring.CommitBuffer(index);
        }
    });
    for (int i = 0; i < frames; ++i) {
        const std::uint16_t index = ring.WaitForNextBuffer(qnCollections::CRingBuffer::kInfinite);
        std::int64_t stamp;
        std::memcpy(&stamp, ring.GetBufferAddress(index, nullptr), sizeof stamp);
        latencies.push_back(nowNs() - stamp);
    }
    producer.join();
    seconds = static_cast<double>(nowNs() - start) / 1e9;
    return latencies;
}

std::vector<std::int64_t> runPlain(int frames, std::int64_t intervalNs, double& seconds) {
    PlainQueue queue;
    std::vector<std::int64_t> latencies;
    latencies.reserve(static_cast<std::size_t>(frames));
    const std::int64_t start = nowNs();
    std::thread producer([&] {
        std::int64_t next = nowNs();
        for (int i = 0; i < frames; ++i) {
            pace(intervalNs, next);
            queue.push(nowNs());
        }
    });
    for (int i = 0; i < frames; ++i) {
        const std::int64_t stamp = queue.pop();
        latencies.push_back(nowNs() - stamp);
    }
    producer.join();
    seconds = static_cast<double>(nowNs() - start) / 1e9;
    return latencies;
}

}  // namespace

int main(int argc, char** argv) {
    const bool json = wantsJson(argc, argv);
    constexpr int kThroughputFrames = 200000;
    constexpr int kLatencyFrames = 10000;
    double ringSeconds = 0, plainSeconds = 0;
    runRing(kThroughputFrames, 0, ringSeconds);
    runPlain(kThroughputFrames, 0, plainSeconds);
    report(json, "ring_buffer.handoff_frames_per_second", kThroughputFrames / ringSeconds,
           "frames/s", kThroughputFrames / plainSeconds,
           "vs mutex+condvar queue (higher is better)");
    const auto ringLatency = runRing(kLatencyFrames, 100000, ringSeconds);
    const auto plainLatency = runPlain(kLatencyFrames, 100000, plainSeconds);
    report(json, "ring_buffer.commit_to_wake_median", percentile(ringLatency, 0.5) / 1000, "us",
           percentile(plainLatency, 0.5) / 1000, "vs mutex+condvar queue (lower is better)");
    report(json, "ring_buffer.commit_to_wake_p99", percentile(ringLatency, 0.99) / 1000, "us",
           percentile(plainLatency, 0.99) / 1000, "vs mutex+condvar queue (lower is better)");
    return 0;
}
