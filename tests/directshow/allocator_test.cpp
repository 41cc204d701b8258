// The pooled memory allocator and its samples, across a producer and a consumer thread.
#include "directshow/allocator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "com/com_ptr.h"

namespace {

ComPtr<IMemAllocator> MakeAllocator(LONG buffers, LONG size) {
    auto* allocator = new CMemAllocator(L"test", nullptr, nullptr);
    allocator->NonDelegatingAddRef();
    auto result = ComPtr<IMemAllocator>::Attach(allocator);
    ALLOCATOR_PROPERTIES request{buffers, size, 16, 0}, actual{};
    EXPECT_EQ(result->SetProperties(&request, &actual), S_OK);
    return result;
}

}  // namespace

TEST(MemAllocator, PropertiesCommitAndSampleState) {
    auto allocator = MakeAllocator(2, 100);
    IMediaSample* sample = nullptr;
    EXPECT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    ALLOCATOR_PROPERTIES bad{1, 1, 3, 0}, actual{};
    EXPECT_EQ(allocator->SetProperties(&bad, &actual), VFW_E_BADALIGN);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ALLOCATOR_PROPERTIES again{1, 1, 1, 0};
    EXPECT_EQ(allocator->SetProperties(&again, &actual), VFW_E_ALREADY_COMMITTED);
    ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 16, 0u);
    EXPECT_EQ(sample->GetSize(), 100);
    REFERENCE_TIME start = 10, end = 20;
    sample->SetTime(&start, &end);
    sample->SetSyncPoint(1);
    EXPECT_EQ(sample->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
    sample->SetActualDataLength(50);
    sample->Release();
    ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(sample->GetTime(&start, &end), VFW_E_SAMPLE_TIME_NOT_SET)
        << "state is cleared on return";
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
    sample->Release();
}

TEST(MemAllocator, GetBufferWaitsForAFreeSampleOrADecommit) {
    auto allocator = MakeAllocator(1, 8);
    ASSERT_EQ(allocator->Commit(), S_OK);
    IMediaSample* held = nullptr;
    ASSERT_EQ(allocator->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    IMediaSample* none = nullptr;
    EXPECT_EQ(allocator->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    std::atomic<HRESULT> got{E_FAIL};
    std::thread waiter([&] {
        IMediaSample* sample = nullptr;
        got = allocator->GetBuffer(&sample, nullptr, nullptr, 0);
        if (sample)
            sample->Release();
    });
    // Deliberate, here and below: gives the waiter time to block; the test holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    held->Release();  // the waiter takes it
    waiter.join();
    EXPECT_EQ(got.load(), S_OK);

    ASSERT_EQ(allocator->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    std::thread blocked([&] {
        IMediaSample* sample = nullptr;
        got = allocator->GetBuffer(&sample, nullptr, nullptr, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    allocator->Decommit();
    blocked.join();
    EXPECT_EQ(got.load(), VFW_E_NOT_COMMITTED) << "a decommit ends the wait";
    held->Release();  // the memory goes now that the last sample is back
}

TEST(MemAllocator, OutstandingSamplesKeepTheAllocatorAlive) {
    const LONG before = CBaseObject::ObjectsActive();
    IMediaSample* sample = nullptr;
    {
        auto allocator = MakeAllocator(1, 8);
        allocator->Commit();
        ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
        allocator->Decommit();
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), before + 1);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    data[7] = 1;  // still valid memory
    sample->Release();
    EXPECT_EQ(CBaseObject::ObjectsActive(), before);
}

TEST(MemAllocator, ProducerAndConsumerThreadsShareThePool) {
    auto allocator = MakeAllocator(3, 64);
    ASSERT_EQ(allocator->Commit(), S_OK);
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<IMediaSample*> queue;
    constexpr int kSamples = 2000;
    std::thread producer([&] {
        for (int i = 0; i < kSamples; ++i) {
            IMediaSample* sample = nullptr;
            ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            std::memcpy(data, &i, sizeof i);
            std::lock_guard lock(mutex);
            queue.push_back(sample);
            cv.notify_one();
        }
    });
    int expected = 0;
    while (expected < kSamples) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return !queue.empty(); });
        IMediaSample* sample = queue.front();
        queue.erase(queue.begin());
        lock.unlock();
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        int value;
        std::memcpy(&value, data, sizeof value);
        EXPECT_EQ(value, expected++);
        sample->Release();
    }
    producer.join();
    EXPECT_EQ(static_cast<CBaseAllocator*>(allocator.Get())->FreeCount(), 3);
}
