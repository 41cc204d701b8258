#include "module/logging/logger.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "module/logging/capture_target.h"

using namespace qnLogging;

using LoggerTree = zyl::test::LoggingTest;
using zyl::test::Refusal;

TEST_F(LoggerTree, PathsNameTheirLoggersAndRefuseEmptyEntities) {
    EXPECT_EQ(get_logger(""), root_logger());
    const auto child = get_logger("video.decoder");
    EXPECT_EQ(child->name(), "video.decoder");
    EXPECT_EQ(child->parent()->name(), "video");
    EXPECT_EQ(child->parent()->parent(), root_logger());
    EXPECT_EQ(get_logger("video.decoder"), child) << "a live child is found again";
    for (const char* bad : {"a..b", ".a", "a.", "."}) {
        EXPECT_EQ(Refusal<std::logic_error>([&] { get_logger(bad); }),
                  "Invalid path: logger entity names must not be empty")
            << bad;
    }
}

TEST_F(LoggerTree, ChildrenInheritTheMaskAtCreationAndVanishWhenUnused) {
    set_level_mask(root_logger(), mask::warn);
    auto child = get_logger("a");
    EXPECT_EQ(child->level_mask(), mask::warn);
    set_level_mask(child, mask::debug);
    EXPECT_EQ(root_logger()->level_mask(), mask::warn);
    child.reset();
    EXPECT_EQ(get_logger("a")->level_mask(), mask::warn) << "re-created from the parent";
}

TEST_F(LoggerTree, RootRenameRules) {
    EXPECT_THROW(set_root_name("a.b"), std::invalid_argument);
    set_root_name("  Reel2 \t");
    EXPECT_EQ(root_logger()->name(), "Reel2");
    {
        const auto child = get_logger("cam");
        EXPECT_EQ(child->name(), "Reel2.cam");
        set_root_name("Reel2");  // the same name: nothing to do, even with children
        EXPECT_EQ(Refusal<std::runtime_error>([] { set_root_name("Other"); }),
                  "Root name can only be changed if no children are present");
    }
    set_root_name("");  // the child expired and is purged first
    EXPECT_EQ(root_logger()->name(), "");
}

TEST_F(LoggerTree, GroupNames) {
    const auto refusal = [](std::uint64_t group) {
        return Refusal<std::invalid_argument>([&] { group_name(group); });
    };
    EXPECT_EQ(refusal(0), "Invalid group id");
    EXPECT_EQ(refusal(3), "Invalid group id") << "two bits";
    EXPECT_EQ(refusal(std::uint64_t{1} << 40), "Group id not registered");
    register_group_name(std::uint64_t{1} << 63, "io");
    EXPECT_EQ(group_name(std::uint64_t{1} << 63), "io");
    register_group_name(std::uint64_t{1} << 63, "");
    EXPECT_EQ(refusal(std::uint64_t{1} << 63), "Group id not registered") << "unregistered";
}

TEST_F(LoggerTree, ConcurrentLookupsShareChildren) {
    std::vector<std::thread> threads;
    std::vector<logger_ptr> found(8);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            for (int k = 0; k < 500; ++k)
                found[i] = get_logger("x.y.z");
        });
    }
    for (auto& t : threads)
        t.join();
    for (const auto& l : found)
        EXPECT_EQ(l, found[0]);
}
