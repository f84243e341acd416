// list_test.cpp - the doubly linked list: links at both ends, positional
// access at its bounds, and the walk order.
#include <gtest/gtest.h>

#include <string>

#include "support/orv.h"

namespace {

char a[] = "a", b[] = "b", c[] = "c";
std::string seen;

std::string walk(OrvList *l) {
    seen.clear();
    int n = OrvList_DoForEach(l, [](void *data, int pos) { seen += std::to_string(pos) + (char *)data; });
    return std::to_string(n) + ":" + seen;
}

TEST(List, EmptyMissingAndNullData) {
    EXPECT_EQ(OrvList_GetCount(nullptr), -1);
    OrvList *l = OrvList_CreateList();
    EXPECT_EQ(OrvList_GetCount(l), 0);
    EXPECT_EQ(OrvList_RemoveHead(l), nullptr);
    EXPECT_EQ(OrvList_RemoveTail(l), nullptr);
    EXPECT_EQ(OrvList_ViewData(l, 0), nullptr);
    EXPECT_EQ(walk(l), "0:");
    OrvList_AddTail(l, nullptr);  // only the count tells null data from an empty list
    EXPECT_EQ(OrvList_RemoveHead(l), nullptr);
    EXPECT_EQ(OrvList_GetCount(l), 0);
    OrvList_DestroyList(l);
}

TEST(List, LinksAfterAddsAndRemovals) {
    OrvList *l = OrvList_CreateList();
    OrvList_AddHead(l, a);
    EXPECT_EQ(OrvList_AddHead(l, b), 2);
    EXPECT_EQ(walk(l), "2:0b1a");
    EXPECT_EQ(OrvList_RemoveTail(l), a);
    EXPECT_TRUE(l->head == l->tail && !l->head->prev && !l->head->next);
    OrvList_AddTail(l, c);
    OrvList_AddHead(l, a);  // a b c
    EXPECT_EQ(OrvList_ViewData(l, -1), nullptr);
    EXPECT_EQ(OrvList_ViewData(l, 3), nullptr);
    EXPECT_EQ(OrvList_RemoveIndex(l, 1), b);
    EXPECT_TRUE(l->head->next == l->tail && l->tail->prev == l->head);
    EXPECT_EQ(walk(l), "2:0a1c");
    OrvList_DestroyList(l);
}

TEST(List, RemovingTheOnlyNodeEmptiesBothEnds) {
    for (int how = 0; how < 3; how++) {
        OrvList *l = OrvList_CreateList();
        OrvList_AddTail(l, a);
        void *got = how ? how == 1 ? OrvList_RemoveTail(l) : OrvList_RemoveIndex(l, 0) : OrvList_RemoveHead(l);
        EXPECT_TRUE(got == a && !l->head && !l->tail && l->count == 0) << how;
        OrvList_DestroyList(l);
    }
}

}  // namespace
