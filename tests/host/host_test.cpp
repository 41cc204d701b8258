// The host stand-in: reference counting, attaching, images and misuse.
#include "host/ZylHost.h"

#include <gtest/gtest.h>

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
    EXPECT_NE(HostInterfaceId("ZYLRawVideo"), HostInterfaceId("Other"));
    EXPECT_EQ(HostInterfaceId("ZYLRawVideo"), HostInterfaceId("ZYLRawVideo"));
}
