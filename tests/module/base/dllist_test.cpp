#include "module/base/collections/CqnList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

template <class F>
std::int32_t CodeOf(F&& f) {
    try {
        f();
    } catch (const CqnExceptionObject& e) {
        EXPECT_EQ(e.GetStatus(), 0x80000000u);
        EXPECT_STREQ(e.GetFile(), "CqnList");
        return e.GetCode();
    }
    return 0;
}

}  // namespace

TEST(CqnDLList, BoundsAndEmptyListFailWithTheirCodes) {
    CqnDLList<int> list;
    EXPECT_EQ(CodeOf([&] { list.RemoveHead(); }), -3);
    list.AddTail(1);
    EXPECT_EQ(CodeOf([&] { list.GetAt(1); }), -1);
    EXPECT_EQ(CodeOf([&] { list.RemoveAt(5); }), -1);
}

TEST(CqnDLList, KeepsOrderThroughRemovalsFromBothEnds) {
    CqnDLList<std::string> list(3);
    for (const char* s : {"a", "b", "c", "d", "e"})
        list.AddTail(s);
    EXPECT_EQ(list.RemoveAt(2), "c");
    EXPECT_EQ(list.RemoveHead(), "a");
    EXPECT_EQ(list.RemoveAt(2), "e");
    ASSERT_EQ(list.GetCount(), 2u);
    EXPECT_EQ(list.GetAt(0), "b");
    EXPECT_EQ(list.GetAt(1), "d");
    list.AddTail("f");
    EXPECT_EQ(list.GetAt(2), "f");
}

TEST(CqnDLList, PoolGrowsByBlocksAndReusesFreedNodes) {
    CqnDLList<int> list;
    for (int i = 0; i < 100; ++i)
        list.AddTail(i);
    EXPECT_EQ(list.GetCapacity(), 100u);
    list.AddTail(100);
    EXPECT_EQ(list.GetCapacity(), 200u);
    while (list.GetCount() != 0)
        list.RemoveHead();
    for (int i = 0; i < 100; ++i)
        list.AddTail(i);
    EXPECT_EQ(list.GetCapacity(), 200u);
    EXPECT_EQ(list.GetAt(99), 99);
}
