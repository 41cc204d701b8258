// The host stand-in: reference counting, attaching, images and misuse.
#include "host/ZylHost.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace ZYL;

namespace {

struct Probe final : IImageVPA {
    explicit Probe(int* counter) : disposed(counter) {}
    Result GetSize(std::int32_t*, std::int32_t*, std::int32_t*) override { return kOk; }
    Result GetPlaneDataType(std::int32_t, std::int32_t*) override { return kOk; }
    Result GetPlaneVPA(std::int32_t, std::uint8_t**, VPAEntry**) override { return kOk; }
    Result GetImageRecord(ImageRecord*) override { return kOk; }
    Result SetImageRecord(const ImageRecord*) override { return kOk; }
    void Dispose() override {
        ++*disposed;
        this->~Probe();
    }
    int* disposed;
};

}  // namespace

TEST(HostStandIn, LastReleaseDisposesOnceAndKillsTheHandle) {
    const auto live = HostLiveObjects();
    void* block = nullptr;
    HostHandle handle = HostAllocObject(sizeof(Probe), &block);
    ASSERT_NE(handle, nullptr);
    int disposed = 0;
    auto* probe = new (block) Probe(&disposed);
    ASSERT_EQ(HostAttachDisposable(handle, probe), kOk);
    EXPECT_EQ(HostAttachDisposable(handle, probe), kBadArgument) << "one object per host object";
    void* found = nullptr;
    EXPECT_EQ(HostQueryInterface(handle, kIdImageVPA, &found), kOk);
    EXPECT_EQ(found, static_cast<IImageVPA*>(probe));
    EXPECT_EQ(HostQueryInterface(handle, kIdGrab2, &found), kNotSupported);
    EXPECT_EQ(HostAddRef(handle), kOk);
    HostRelease(handle);
    EXPECT_EQ(disposed, 0);
    HostRelease(handle);
    EXPECT_EQ(disposed, 1);
    EXPECT_EQ(HostLiveObjects(), live);
    // The handle is dead now: every call is refused, none crashes.
    EXPECT_EQ(HostQueryInterface(handle, kIdImageVPA, &found), kBadArgument);
    EXPECT_EQ(HostAddRef(handle), kBadArgument);
    HostRelease(handle);
    HostRelease(nullptr);
    EXPECT_EQ(disposed, 1);
    EXPECT_EQ(HostQueryInterface(reinterpret_cast<HostHandle>(0xdeadbeef), 1, &found),
              kBadArgument);
    EXPECT_EQ(HostAllocObject(8, nullptr), nullptr);
}

TEST(HostStandIn, ImagesOverCallerMemoryCallTheReleaseCallback) {
    const auto live = HostLiveObjects();
    std::vector<std::uint8_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2x2 RGB
    int released = 0;
    const std::int32_t order[4] = {2, 1, 0, 3};
    HostHandle image = nullptr;
    ASSERT_EQ(HostImageFromMemory(
                  pixels.data(), pixels.size(), 2, 2, 3, kDataType8, 3, 6, 1, order,
                  [](void* c) { ++*static_cast<int*>(c); }, &released, &image),
              kOk);
    std::uint8_t* base = nullptr;
    VPAEntry* table = nullptr;
    ASSERT_EQ(HostPlaneAccess(image, 0, &base, &table), kOk);
    EXPECT_EQ(base[table[1].x + table[1].y], 12) << "plane 0 starts at component 2";
    EXPECT_EQ(table[-1].x, table[0].x) << "guard entries";
    EXPECT_EQ(table[5].y, table[1].y);
    EXPECT_EQ(HostPlaneAccess(image, 3, &base, &table), kBadPlane);
    ImageRecord record{};
    EXPECT_EQ(HostGetImageRecord(image, &record), kOk);
    EXPECT_EQ(HostSetPlaneRecord(image, 2, &record, 0), kOk);
    EXPECT_EQ(HostSetPlaneRecord(image, 3, &record, 0), kBadPlane);
    HostRelease(image);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(HostLiveObjects(), live);
}

TEST(HostStandIn, RefusesImagesThatWouldReachPastTheirMemory) {
    std::vector<std::uint8_t> pixels(11);
    HostHandle image = nullptr;
    EXPECT_EQ(HostImageFromMemory(pixels.data(), pixels.size(), 2, 2, 3, kDataType8, 3, 6, 1,
                                  nullptr, nullptr, nullptr, &image),
              kBadArgument);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(HostCreateImage(kDataType8, 5, 2, 2, &image), kBadArgument);
    EXPECT_EQ(HostCreateImage(16, 1, 2, 2, &image), kBadArgument);
    ASSERT_EQ(HostCreateImage(kDataType8, 3, 4, 2, &image), kOk);
    std::uint8_t* base = nullptr;
    VPAEntry* table = nullptr;
    ASSERT_EQ(HostPlaneAccess(image, 2, &base, &table), kOk);
    base[table[3].x + table[1].y] = 7;  // the last byte of the last plane is inside the image
    HostRelease(image);
}

namespace {

// A driver object that misbehaves the way C++ code can: an absurd interface count, or an
// exception of its own from either call the host makes.
struct Unruly final : IDisposableType {
    enum Fault { HugeCount, ThrowsOnList, ThrowsOnDispose };
    explicit Unruly(Fault f) : fault(f) {}
    Result GetInterfaces(InterfaceEntry* list, std::uint64_t* count) override {
        if (fault == ThrowsOnList)
            throw std::runtime_error("driver failure");
        if (fault == HugeCount) {
            *count = std::uint64_t{1} << 62;
            return kOk;
        }
        const InterfaceEntry self{kIdGrab2, this};
        return ListInterfaces(&self, 1, list, count);
    }
    void Dispose() override {
        const bool throws = fault == ThrowsOnDispose;  // read before the object is gone
        this->~Unruly();
        if (throws)
            throw std::runtime_error("driver failure");
    }
    Fault fault;
};

// Calls through the way a C host would: an exception reaching here ends the process.
template <class F>
auto AsCHost(F f) noexcept {
    return f();
}

}  // namespace

TEST(HostStandIn, NothingThrownInsideCrossesTheCInterface) {
    const auto live = HostLiveObjects();
    void* block = reinterpret_cast<void*>(1);
    EXPECT_EQ(AsCHost([&] { return HostAllocObject(~std::uint64_t{0}, &block); }), nullptr)
        << "a size that would wrap round";
    EXPECT_EQ(block, nullptr);
    for (auto fault : {Unruly::HugeCount, Unruly::ThrowsOnList, Unruly::ThrowsOnDispose}) {
        HostHandle handle = HostAllocObject(sizeof(Unruly), &block);
        ASSERT_NE(handle, nullptr);
        auto* object = new (block) Unruly(fault);
        const Result attached = AsCHost([&] { return HostAttachDisposable(handle, object); });
        EXPECT_EQ(attached < 0, fault != Unruly::ThrowsOnDispose) << fault;
        if (attached < 0)
            object->~Unruly();
        AsCHost([&] { HostRelease(handle); });
        EXPECT_EQ(HostLiveObjects(), live) << fault;
    }
}
