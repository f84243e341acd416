// list_test.cpp - the support list's removals keep both links of every node.
#include <gtest/gtest.h>

#include "support/orv.h"

TEST(List, RemovalsKeepBothLinks) {
    char a[] = "a", b[] = "b", c[] = "c";
    OrvList *l = OrvList_CreateList();
    for (char *data : {a, b, c}) OrvList_AddTail(l, data);
    EXPECT_TRUE(OrvList_RemoveIndex(l, 1) == b && l->tail->prev == l->head);
    EXPECT_TRUE(OrvList_RemoveTail(l) == c && l->head == l->tail && !l->tail->next);
    EXPECT_TRUE(OrvList_RemoveHead(l) == a && !l->head && !l->tail && !OrvList_RemoveTail(l));
    OrvList_DestroyList(l);
}
