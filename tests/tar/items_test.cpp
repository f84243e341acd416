// items_test.cpp - the time list's order and lookups, unlinking nodes at
// every place, and _done's release of lists, descriptors, scratch file and
// buffers (twice in a row releasing nothing twice).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

namespace {

std::vector<std::string> names(ITEM *head) {
    std::vector<std::string> out;
    for (ITEM *n = head, *prev = nullptr; n; prev = n, n = n->next) {
        EXPECT_EQ(n->prev, prev);   // both directions agree
        out.push_back(n->name);
    }
    return out;
}

ITEM *add(const char *name, ITEM **head) {
    ITEM *at = nullptr;
    EXPECT_EQ(finditem(name, &at, *head), nullptr);
    return additem(name, at, head);
}

TEST(Items, TimeListKeepsNamesInByteOrder) {
    ITEM *head = nullptr;
    for (const char *n : {"b", "a", "c", "\xe9", "B"}) ASSERT_NE(add(n, &head), nullptr);
    EXPECT_EQ(names(head), (std::vector<std::string>{"B", "a", "b", "c", "\xe9"}));   // bytes unsigned
    for (const char *n : {"a", "b", "c"}) {
        ITEM *at = nullptr;
        ITEM *found = finditem(n, &at, head);
        ASSERT_NE(found, nullptr);
        EXPECT_STREQ(found->name, n);
        EXPECT_EQ(at, found->prev);   // the last node sorting before it
    }
    ITEM *at = head;
    EXPECT_EQ(finditem("bb", &at, head), nullptr);
    EXPECT_STREQ(at->name, "b");
    timehead = head;
    _done();
}

TEST(Items, DelitemAtHeadMiddleAndTail) {
    struct { const char *gone; std::vector<std::string> left; } cases[] = {
        {"a", {"b", "c"}}, {"b", {"a", "c"}}, {"c", {"a", "b"}}};
    for (const auto &c : cases) {
        ITEM *head = nullptr;
        for (const char *n : {"a", "b", "c"}) add(n, &head);
        ITEM *at;
        delitem(finditem(c.gone, &at, head), &head);
        EXPECT_EQ(names(head), c.left) << c.gone;
        linkhead = head;
        _done();
    }
    ITEM *head = nullptr;
    delitem(add("only", &head), &head);
    EXPECT_EQ(head, nullptr);
}

// A delete run left half way (two descriptors, an open scratch file, two
// buffers, list nodes), then a read run (one descriptor, one buffer).
TEST(Done, ReleasesEverythingOnceAndRemovesAnOpenScratchFile) {
    tk::TempDir dir;
    tk::write_file(dir / "a.tar", std::string(1024, '\0'));
    int fds = tk::count_fds();
    handle = open((dir / "a.tar").c_str(), O_RDONLY);
    scratch = static_cast<char *>(malloc(kStorePathSize));
    snprintf(scratch, kStorePathSize, "%s", (dir / "XXXXXX").c_str());
    ASSERT_GE(hwrite = z9_mkstemp(scratch), 0);
    io_buf = getbuf(kRecordBytes), io_2nd = getbuf(kRecordBytes);
    additem("t", nullptr, &timehead), additem("l", nullptr, &linkhead);
    _done();
    _done();
    EXPECT_EQ(tk::list_dir(dir.path()), std::vector<std::string>{"a.tar"});
    EXPECT_TRUE(handle == -1 && hwrite == -1 && !scratch && !io_buf && !io_2nd && !timehead && !linkhead);
    hwrite = handle = open((dir / "a.tar").c_str(), O_RDONLY);
    io_2nd = io_buf = getbuf(kRecordBytes);
    _done();
    EXPECT_EQ(tk::count_fds(), fds);
    EXPECT_TRUE(handle == -1 && hwrite == -1 && !io_buf && !io_2nd);
    EXPECT_EQ(tk::list_dir(dir.path()), std::vector<std::string>{"a.tar"});
}

}  // namespace
