// The video decoder's memory of seeks on its own: which pictures it keeps, which it lets go of
// first, and when it refuses to name a picture at all.
#include <gtest/gtest.h>

#include "directshow/media/step_cache.h"

using dshow::media::FramePtr;
using dshow::media::StepCache;

namespace {

constexpr REFERENCE_TIME kFrame = 400000;  // 25 frames/s

FramePtr Picture(bool key) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_GRAY8;
    frame->width = 64;
    frame->height = 64;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    frame->key_frame = key ? 1 : 0;
    return frame;
}

std::uint64_t BytesOf(const AVFrame& frame) {
    std::uint64_t bytes = 0;
    for (const AVBufferRef* buffer : frame.buf)
        bytes += buffer ? buffer->size : 0;
    return bytes;
}

// A pass from a key frame at `first` through `last`, as a seek decodes it.
void Pass(StepCache& cache, int first, int last, REFERENCE_TIME target) {
    cache.BeginPass(target);
    for (int n = first; n <= last; ++n)
        cache.Offer(*Picture(n == first), n * kFrame, (n + 1) * kFrame);
}

bool Has(const StepCache& cache, int n) {
    REFERENCE_TIME start = 0, end = 0;
    return cache.Find(n * kFrame + kFrame / 2, &start, &end) != nullptr && start == n * kFrame &&
           end == (n + 1) * kFrame;
}

}  // namespace

TEST(StepCache, KeepsThePassWithinItsBudgetNearestTheTargetOnTheSideStepsGo) {
    const std::uint64_t picture = BytesOf(*Picture(false));
    StepCache cache;
    Pass(cache, 0, 9, 9 * kFrame);
    EXPECT_EQ(cache.Count(), 0u) << "no budget, nothing kept";

    cache.SetBudget(4 * picture);
    Pass(cache, 0, 9, 9 * kFrame);
    // Going back from 9: the four before and at the target.
    EXPECT_EQ(cache.Count(), 4u);
    EXPECT_LE(cache.Bytes(), 4 * picture);
    for (int n = 6; n <= 9; ++n)
        EXPECT_TRUE(Has(cache, n)) << n;
    EXPECT_FALSE(Has(cache, 5));

    // The next step back keeps its window: the picture after the target goes first.
    Pass(cache, 0, 5, 5 * kFrame);
    for (int n = 2; n <= 5; ++n)
        EXPECT_TRUE(Has(cache, n)) << n;

    cache.SetBudget(picture);
    EXPECT_EQ(cache.Count(), 1u);
    cache.SetBudget(0);
    EXPECT_EQ(cache.Count(), 0u);
    EXPECT_EQ(cache.Bytes(), 0u);
}

TEST(StepCache, NeverKeepsWhatComesBeforeTheKeyFrameOrTimesThatDoNotRise) {
    StepCache cache;
    cache.SetBudget(1 << 30);
    // An open group's leading pictures come out before its key frame: decoded without their
    // references, they must never be answered later.
    cache.BeginPass(12 * kFrame);
    for (int n : {10, 11})
        cache.Offer(*Picture(false), n * kFrame, (n + 1) * kFrame);
    for (int n : {12, 13})
        cache.Offer(*Picture(n == 12), n * kFrame, (n + 1) * kFrame);
    EXPECT_FALSE(Has(cache, 10));
    EXPECT_FALSE(Has(cache, 11));
    EXPECT_TRUE(Has(cache, 12));
    EXPECT_TRUE(Has(cache, 13));
    REFERENCE_TIME start = 0, end = 0;
    EXPECT_EQ(cache.Find(20 * kFrame, &start, &end), nullptr) << "nothing kept there";

    // A picture whose time does not rise names no picture for sure: everything goes, for good.
    cache.BeginPass(14 * kFrame);
    cache.Offer(*Picture(true), 14 * kFrame, 15 * kFrame);
    cache.Offer(*Picture(false), 14 * kFrame, 15 * kFrame);
    EXPECT_EQ(cache.Count(), 0u);
    Pass(cache, 20, 22, 22 * kFrame);
    EXPECT_EQ(cache.Count(), 0u);
}
