#include "module/base/collections/RingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "module/base/errors/hresult_exception.h"

using namespace qnCollections;

namespace {

using Refusal = std::pair<std::string, std::uint32_t>;

// Runs f and returns the raw message and status of the CqnHRESULTException it throws.
template <class F>
Refusal Failure(F&& f) {
    try {
        f();
    } catch (const qnErrors::CqnHRESULTException& e) {
        EXPECT_STREQ(e.GetFile(), "RingBuffer");
        return {e.GetRawMessage(), e.GetStatus()};
    }
    return {"(nothing thrown)", 0};
}

std::unique_ptr<CRingBuffer> MakeRing(int elements, std::uint32_t mode = Queue,
                                      std::uint64_t size = 16) {
    auto ring = std::make_unique<CRingBuffer>();
    ring->SetAcquisitionMode(mode);
    for (int i = 0; i < elements; ++i)
        ring->AddBuffer(size, nullptr);
    return ring;
}

// What a wait hands out: the element's index, or the text of its failure.
std::string Next(CRingBuffer& ring, std::uint32_t timeout = 0) {
    try {
        return std::to_string(ring.WaitForNextBuffer(timeout));
    } catch (const qnErrors::CqnHRESULTException& e) {
        return e.GetRawMessage();
    }
}

// Starts `waiters` consumers that wait without a limit, runs `meanwhile` once all of them wait
// (or have left early: a count left over must not hang the test), and returns what they got.
std::vector<std::string> Waiters(CRingBuffer& ring, std::size_t waiters,
                                 const std::function<void()>& meanwhile) {
    std::vector<std::string> outcomes(waiters);
    std::vector<std::thread> consumers;
    std::atomic<std::size_t> finished{0};
    for (auto& outcome : outcomes) {
        consumers.emplace_back([&] {
            outcome = Next(ring, CRingBuffer::kInfinite);
            ++finished;
        });
    }
    while (ring.GetWaiterCount() + finished.load() < waiters)
        std::this_thread::yield();
    meanwhile();
    for (auto& t : consumers)
        t.join();
    return outcomes;
}

}  // namespace

TEST(RingBuffer, EmptyRingRefusesProducerAndConsumer) {
    CRingBuffer ring;
    EXPECT_EQ(Failure([&] { ring.GetNextFreeBuffer(); }),
              Refusal("RingBuffer is empty", 0x88100003u));
    EXPECT_EQ(Failure([&] { ring.WaitForNextBuffer(0); }),
              Refusal("Synchronization object not initialized", 0x88100003u));
    EXPECT_EQ(Failure([&] { ring.IsLocked(0); }).first, "Buffer index out of range");
    ring.InterruptWait();  // nothing to interrupt, nothing to fail
}

TEST(RingBuffer, FullRingRefusesTheProducerWithoutChangingAnything) {
    auto ring = MakeRing(2);
    ring->CommitBuffer(0);
    ring->CommitBuffer(1);
    EXPECT_EQ(Failure([&] { ring->GetNextFreeBuffer(); }),
              Refusal("All buffers are locked", 0x04104001u));
    EXPECT_EQ(Failure([&] { ring->CommitBuffer(1); }), Refusal("Buffer is locked", 0x04104002u));
    EXPECT_TRUE(ring->IsLocked(0));
    EXPECT_TRUE(ring->IsLocked(1));
    EXPECT_EQ(ring->GetUnreadCount(), 2);
    EXPECT_EQ(Next(*ring), "0") << "the refused commit moved no index";
}

TEST(RingBuffer, TimeoutAndInterruptionLeaveTheRingAsItWas) {
    auto ring = MakeRing(2);
    EXPECT_EQ(Failure([&] { ring->WaitForNextBuffer(0); }), Refusal("Wait Timeout", 0x04100006u));
    EXPECT_EQ(ring->GetWaiterCount(), 0u);
    EXPECT_EQ(Waiters(*ring, 1, [&] { ring->InterruptWait(); }),
              std::vector<std::string>{"Wait interrupted"});
    EXPECT_EQ(ring->GetWaiterCount(), 0u);
    // The interruption is over: a published frame is handed out normally.
    ring->CommitBuffer(ring->GetNextFreeBuffer());
    EXPECT_EQ(Next(*ring, 100), "0");
}

// A woken waiter and the interrupting thread race on the waiter count and the interrupted flag;
// each round gives the race a fresh chance. Every waiter must leave with "Wait interrupted", and
// no wake-up may stay behind for a later wait (the maximum count differs per mode).
TEST(RingBuffer, InterruptReachesEveryWaiterAndLeavesNoCountBehind) {
    for (std::uint32_t mode : {Queue, Latest, OnDemand}) {
        auto ring = MakeRing(4, mode);
        for (int round = 0; round < 100 && !HasFailure(); ++round) {
            EXPECT_EQ(Waiters(*ring, 3, [&] { ring->InterruptWait(); }),
                      std::vector<std::string>(3, "Wait interrupted"))
                << "mode " << mode << ", round " << round;
            EXPECT_EQ(ring->GetWaiterCount(), 0u);
            EXPECT_EQ(Next(*ring), "Wait Timeout") << "mode " << mode << ", round " << round;
        }
    }
}

// An owner going away closes the waits: those under way leave, and so does every later one at
// once, even one that a frame would satisfy, and even one without a limit.
TEST(RingBuffer, ClosedWaitsLetEveryWaiterLeaveNowAndLater) {
    auto ring = MakeRing(4);
    EXPECT_EQ(Waiters(*ring, 3, [&] { ring->CloseWaits(); }),
              std::vector<std::string>(3, "Wait interrupted"));
    ring->CommitBuffer(ring->GetNextFreeBuffer());
    EXPECT_EQ(Next(*ring, CRingBuffer::kInfinite), "Wait interrupted");
    EXPECT_EQ(ring->GetWaiterCount(), 0u);
}

// A frame committed while the waiters are being interrupted is handed out exactly once: to a
// waiter that took it before the interruption reached it, or to the next wait afterwards.
TEST(RingBuffer, FrameCommittedDuringAnInterruptionIsNeitherLostNorDoubled) {
    for (int round = 0; round < 50 && !HasFailure(); ++round) {
        auto ring = MakeRing(4);
        const auto outcomes = Waiters(*ring, 3, [&] {
            std::thread producer([&] { ring->CommitBuffer(ring->GetNextFreeBuffer()); });
            ring->InterruptWait();
            producer.join();
        });
        int delivered = 0;
        for (const auto& outcome : outcomes) {
            if (outcome == "0")
                ++delivered;
            else
                EXPECT_EQ(outcome, "Wait interrupted") << "round " << round;
        }
        EXPECT_LE(delivered, 1) << "round " << round;
        if (delivered == 0) {
            EXPECT_EQ(Next(*ring), "0") << "round " << round;
        }
        EXPECT_EQ(ring->GetUnreadCount(), 0);
        EXPECT_EQ(Next(*ring), "Wait Timeout") << "round " << round;
    }
}

TEST(RingBuffer, OnDemandDropsFramesNobodyWaitsFor) {
    auto ring = MakeRing(2, OnDemand);
    ring->CommitBuffer(0);
    EXPECT_FALSE(ring->IsLocked(0));
    EXPECT_EQ(ring->GetUnreadCount(), 0);
    EXPECT_EQ(Waiters(*ring, 1, [&] { ring->CommitBuffer(ring->GetNextFreeBuffer()); }),
              std::vector<std::string>{"0"});
}

// Mode 1: a commit that finds the previous commit still unread frees that element and publishes
// nothing; otherwise the new frame is published, and counted only for a waiting consumer.
TEST(RingBuffer, LatestModeDropsAnUnreadFrameAndCountsOnlyForAWaiter) {
    auto ring = MakeRing(3, Latest);
    ring->CommitBuffer(0);
    EXPECT_EQ(ring->GetUnreadCount(), 1);
    ASSERT_EQ(Next(*ring), "Wait Timeout") << "nobody waited, so nothing was counted";

    ring->CommitBuffer(1);
    EXPECT_FALSE(ring->IsLocked(0)) << "the unread frame was dropped";
    EXPECT_TRUE(ring->IsConsumed(0));
    EXPECT_TRUE(ring->IsLocked(1));
    EXPECT_TRUE(ring->IsConsumed(1)) << "the frame that found it unread is not published";
    ASSERT_EQ(ring->GetUnreadCount(), 0);
    EXPECT_EQ(Waiters(*ring, 1,
                      [&] {
                          EXPECT_EQ(ring->GetNextFreeBuffer(), 2);
                          ring->CommitBuffer(2);
                      }),
              std::vector<std::string>{"2"});
    EXPECT_EQ(ring->GetUnreadCount(), 0);

    // Committing the same unread element again drops it as well.
    auto unlocked = MakeRing(2, Latest);
    unlocked->SetLockMode(NoLock);
    unlocked->CommitBuffer(0);
    unlocked->CommitBuffer(0);
    EXPECT_EQ(unlocked->GetUnreadCount(), 0);
}

// The count of published frames is bounded per mode: by the element count in queue mode, by one
// in the others. Counts beyond it are dropped; counts without an unread frame behind them yield
// "All buffers are read". Lock mode 1 lets one element be committed again and again.
TEST(RingBuffer, PublishedCountsStopAtTheModesMaximum) {
    auto queue = MakeRing(2);
    queue->SetLockMode(NoLock);
    for (int i = 0; i < 4; ++i)
        queue->CommitBuffer(0);
    EXPECT_EQ(Next(*queue), "0");
    EXPECT_EQ(Failure([&] { queue->WaitForNextBuffer(0); }),
              Refusal("All buffers are read", 0x04104001u));
    EXPECT_EQ(queue->GetWaiterCount(), 0u);
    EXPECT_EQ(Next(*queue), "Wait Timeout") << "two elements hold at most two counts";
    queue->CommitBuffer(1);
    EXPECT_EQ(Next(*queue), "1") << "the failed wait moved no index";

    for (std::uint32_t mode : {Latest, OnDemand}) {
        auto ring = MakeRing(3, mode);
        ring->SetLockMode(NoLock);
        ring->SetWaiterCount(1);  // stands for a consumer about to wait
        ring->CommitBuffer(0);
        ring->CommitBuffer(1);  // mode 1: drops frame 0, publishes nothing
        ring->CommitBuffer(2);
        ring->SetWaiterCount(0);
        EXPECT_EQ(Next(*ring), mode == Latest ? "2" : "0") << "mode " << mode;
        EXPECT_EQ(Next(*ring), "Wait Timeout") << "mode " << mode << " holds one count";
    }
}

TEST(RingBuffer, HoldsAtMostAsManyElementsAsSixteenBitIndicesAddress) {
    CRingBuffer ring;
    for (int i = 0; i < 65535; ++i)
        ring.AddBuffer(1, nullptr);
    std::uint8_t memory[4] = {0xAB, 0xAB, 0xAB, 0xAB};
    EXPECT_NE(Failure([&] { ring.AddBuffer(sizeof memory, memory); }).second, 0u);
    EXPECT_EQ(ring.GetCount(), 65535);
    EXPECT_EQ(memory[0], 0xAB) << "the refused element's memory was not touched";
    ring.CommitBuffer(65534);
    EXPECT_EQ(Next(ring), "65534");
}

TEST(RingBuffer, LockModesDecideWhoUnlocks) {
    auto manual = MakeRing(2);
    manual->SetLockMode(ManualUnlock);
    manual->CommitBuffer(0);
    manual->CommitBuffer(1);
    EXPECT_EQ(Next(*manual), "0");
    EXPECT_EQ(Next(*manual), "1");
    EXPECT_TRUE(manual->IsLocked(0)) << "only SetLock unlocks in manual mode";
    manual->SetLock(0, false);
    EXPECT_EQ(manual->GetNextFreeBuffer(), 0);

    EXPECT_EQ(Failure([&] { manual->SetLockMode(3); }), Refusal("Invalid lock mode", 0x88100004u));
    EXPECT_EQ(manual->GetLockMode(), static_cast<std::uint32_t>(ManualUnlock));
    EXPECT_EQ(Failure([&] { manual->SetAcquisitionMode(3); }).first,
              "Acquisition mode not supported");
    EXPECT_EQ(manual->GetAcquisitionMode(), static_cast<std::uint32_t>(Queue));
}

TEST(RingBuffer, CallbacksSeeEveryLockChangeInRegistrationOrder) {
    using Call = std::tuple<std::uint16_t, bool, int>;
    struct Entry {
        std::vector<Call>* calls;
        int id;
        static void Record(std::uint16_t index, bool locked, void* context) {
            auto* self = static_cast<Entry*>(context);
            self->calls->emplace_back(index, locked, self->id);
        }
    };
    std::vector<Call> calls;
    Entry first{&calls, 1}, second{&calls, 2};
    auto ring = MakeRing(2);
    EXPECT_EQ(Failure([&] { ring->RegisterLockCallback(nullptr, nullptr); }).first,
              "Callback pLock is invalid");
    ring->RegisterLockCallback(&Entry::Record, &first);
    ring->RegisterLockCallback(&Entry::Record, &second);
    ring->CommitBuffer(0);
    ring->CommitBuffer(1);
    Next(*ring);
    Next(*ring);  // unlocks 0
    EXPECT_EQ(
        calls,
        (std::vector<Call>{
            {0, true, 1}, {0, true, 2}, {1, true, 1}, {1, true, 2}, {0, false, 1}, {0, false, 2}}));
    ring->UnregisterLockCallback(&Entry::Record);
    calls.clear();
    ring->SetLock(1, false);
    EXPECT_EQ(calls, (std::vector<Call>{{1, false, 2}})) << "only the first entry went";
    ring->UnregisterLockCallback(&Entry::Record);
    EXPECT_EQ(Failure([&] { ring->UnregisterLockCallback(&Entry::Record); }),
              Refusal("Callback pLock not found", 0x04104001u));
}

TEST(RingBuffer, CallbacksMayCallBackIntoTheRing) {
    auto ring = MakeRing(2);
    struct Probe {
        CRingBuffer* ring;
        bool sawLocked = false;
        static void OnLock(std::uint16_t index, bool, void* context) {
            auto* self = static_cast<Probe*>(context);
            self->sawLocked = self->ring->IsLocked(index);  // the lock is recursive
        }
    } probe{ring.get()};
    ring->RegisterLockCallback(&Probe::OnLock, &probe);
    ring->CommitBuffer(0);
    EXPECT_TRUE(probe.sawLocked);
}

TEST(RingBuffer, CallerMemoryIsZeroedAndNeverFreed) {
    std::vector<std::uint8_t> memory(64, 0xAB);
    {
        CRingBuffer ring;
        ring.AddBuffer(memory.size(), memory.data());
        ring.AddBuffer(32, nullptr);
        std::uint8_t* data = nullptr;
        std::uint64_t size = 0;
        EXPECT_EQ(ring.GetBuffer(0, &data, &size), 64u);
        EXPECT_EQ(data, memory.data());
        EXPECT_EQ(ring.GetBufferIndex(memory.data()), 0);
        EXPECT_EQ(ring.GetBufferAddress(1, nullptr)[31], 0);
        EXPECT_EQ(Failure([&] { ring.GetBufferIndex(memory.data() + 1); }).first,
                  "Buffer address not found");
        EXPECT_EQ(Failure([&] { ring.GetBuffer(2, &data, &size); }),
                  Refusal("Buffer index out of range", 0x88100002u));
    }
    EXPECT_EQ(memory, std::vector<std::uint8_t>(64, 0));
}

TEST(RingBuffer, ResetFreesEverythingAndDrainsPendingCounts) {
    auto ring = MakeRing(3);
    ring->CommitBuffer(0);
    ring->CommitBuffer(1);
    ring->Reset();
    EXPECT_EQ(ring->GetUnreadCount(), 0);
    EXPECT_FALSE(ring->IsLocked(0));
    EXPECT_EQ(Next(*ring), "Wait Timeout");
    EXPECT_EQ(ring->GetNextFreeBuffer(), 0);
}

// A producer fills every byte of an element with the frame number; the consumer checks each
// frame it gets. No frame may arrive twice, out of order or torn, and every frame is either
// delivered or refused to the producer (then it is skipped, as the video sink does).
TEST(RingBuffer, ProducerAndConsumerThreadsLoseNothingUnaccounted) {
    constexpr int kFrames = 20000;
    constexpr std::uint64_t kSize = 256;
    auto ring = MakeRing(4, Queue, kSize);
    std::atomic<bool> producing{true};
    int skipped = 0;
    std::thread producer([&] {
        for (int frame = 1; frame <= kFrames; ++frame) {
            std::uint16_t index;
            try {
                index = ring->GetNextFreeBuffer();
            } catch (const qnCollections::CqnCollectionsException&) {
                ++skipped;
                continue;
            }
            std::uint8_t* data = ring->GetBufferAddress(index, nullptr);
            std::memset(data, frame & 0xFF, kSize);
            std::memcpy(data, &frame, sizeof frame);
            ring->CommitBuffer(index);
        }
        producing = false;
    });
    int delivered = 0, last = 0, torn = 0, disorder = 0;
    while (true) {
        std::uint16_t index;
        try {
            index = ring->WaitForNextBuffer(20);
        } catch (const qnBase::CqnBaseException&) {
            if (!producing && ring->GetUnreadCount() == 0)
                break;
            continue;
        }
        const std::uint8_t* data = ring->GetBufferAddress(index, nullptr);
        int frame;
        std::memcpy(&frame, data, sizeof frame);
        for (std::uint64_t i = sizeof frame; i < kSize; ++i) {
            if (data[i] != (frame & 0xFF)) {
                ++torn;
                break;
            }
        }
        if (frame <= last)
            ++disorder;
        last = frame;
        ++delivered;
    }
    producer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(disorder, 0);
    EXPECT_EQ(delivered + skipped, kFrames);
    EXPECT_GT(delivered, 0);
}

TEST(RingBuffer, DiscardDropsPublishedFramesButKeepsTheOneHandedOut) {
    auto ring = MakeRing(3);
    ring->CommitBuffer(0);
    ring->CommitBuffer(1);
    EXPECT_EQ(Next(*ring), "0");
    ring->CommitBuffer(2);
    EXPECT_EQ(ring->DiscardUnread(), 2);
    EXPECT_TRUE(ring->IsLocked(0)) << "the host may still read it";
    EXPECT_FALSE(ring->IsLocked(1));
    EXPECT_FALSE(ring->IsLocked(2));
    EXPECT_EQ(ring->GetUnreadCount(), 0);
    EXPECT_EQ(Next(*ring), "Wait Timeout") << "no count of a discarded frame is left";
    const std::uint16_t next = ring->GetNextFreeBuffer();
    ring->CommitBuffer(next);
    EXPECT_EQ(Next(*ring), std::to_string(next));
    EXPECT_FALSE(ring->IsLocked(0)) << "handed out before, unlocked by the next wait";
    EXPECT_EQ(ring->DiscardUnread(), 0);
}

// A consumer may have taken a frame's count and not yet the frame when the frame is discarded:
// it must wait on for the next frame, and no count may outlive its frame.
TEST(RingBuffer, DiscardWhileAConsumerWaitsNeitherLosesNorInventsFrames) {
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        auto ring = MakeRing(4);
        const auto publish = [&](std::uint8_t marker) {
            const std::uint16_t index = ring->GetNextFreeBuffer();
            ring->GetBufferAddress(index, nullptr)[0] = marker;
            ring->CommitBuffer(index);
        };
        int dropped = -1;
        const auto outcome = Waiters(*ring, 1, [&] {
            publish(1);
            dropped = ring->DiscardUnread();
            if (dropped == 1)
                publish(2);  // what the waiter gets instead
        });
        ASSERT_TRUE(!outcome[0].empty() && std::isdigit(static_cast<unsigned char>(outcome[0][0])))
            << outcome[0] << ", round " << round;
        // The element handed out stays locked, so its marker is still the one it was read with.
        const std::string marker =
            std::to_string(ring->GetBufferAddress(std::stoi(outcome[0]), nullptr)[0]);
        EXPECT_EQ(marker, dropped == 1 ? "2" : "1") << "round " << round;
        EXPECT_EQ(ring->GetUnreadCount(), 0);
        EXPECT_EQ(Next(*ring), "Wait Timeout") << "round " << round;
    }
}

// After a discard the producer refills from its last element on; the frames come out in that
// order, and reading one never frees another that is still unread.
TEST(RingBuffer, FramesAfterADiscardComeInTheOrderTheyWereRefilledAndStayLocked) {
    auto ring = MakeRing(2);
    const auto publish = [&](std::uint8_t marker) {
        const std::uint16_t index = ring->GetNextFreeBuffer();
        ring->GetBufferAddress(index, nullptr)[0] = marker;
        ring->CommitBuffer(index);
        return index;
    };
    publish(1);
    publish(2);
    EXPECT_EQ(ring->DiscardUnread(), 2);
    const std::uint16_t first = publish(3);
    const std::uint16_t second = publish(4);
    EXPECT_EQ(Next(*ring), std::to_string(first));
    EXPECT_EQ(ring->GetBufferAddress(first, nullptr)[0], 3);
    EXPECT_TRUE(ring->IsLocked(second)) << "an unread frame was freed for the producer";
    EXPECT_EQ(Next(*ring), std::to_string(second));
    EXPECT_EQ(ring->GetBufferAddress(second, nullptr)[0], 4);
    EXPECT_FALSE(ring->IsLocked(first));
}

TEST(RingBuffer, WakeWaitersWakesOneWaitOnceAndLosesNoFrame) {
    auto ring = MakeRing(2);
    // Before any wait: the next one is woken at once, the one after is not.
    ring->WakeWaiters();
    ring->WakeWaiters();
    EXPECT_EQ(Failure([&] { ring->WaitForNextBuffer(CRingBuffer::kInfinite); }),
              Refusal("Wait interrupted", 0x04100007u));
    EXPECT_EQ(Next(*ring), "Wait Timeout");
    // During a wait without limit.
    EXPECT_EQ(Waiters(*ring, 1, [&] { ring->WakeWaiters(); }),
              std::vector<std::string>{"Wait interrupted"});
    // A frame published with a wake-up pending is still handed out.
    ring->CommitBuffer(0);
    ring->WakeWaiters();
    EXPECT_EQ(Next(*ring), "Wait interrupted");
    EXPECT_EQ(Next(*ring), "0");
    EXPECT_EQ(Next(*ring), "Wait Timeout");
}
