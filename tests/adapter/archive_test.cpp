// archive_test.cpp - the operations that change an archive, end to end, read
// back by the library itself (GNU tar and Python read back in interop_test):
// adding, updating, replacing and deleting, and what lies behind the end marker.
#include <gtest/gtest.h>
#include <utime.h>

#include <ctime>

#include "testkit/testkit.h"

namespace {

// The archive holds m, stored `age` seconds before the local file m (for an
// update, with an older copy behind it: the newest archived time decides).
// Update stores only what is newer; replace drops the archived copy only when
// a local file of the member's name is there (and, updating, is newer).
TEST(AddUpdateReplace, KeepOrStoreByTheLocalFile) {
    struct { std::string op; bool local; long age; int members; const char *last; } cases[] = {
        {"-a -u", true, -100000, 2, "older"},       {"-a -u", true, 100000, 3, "new"},
        {"-a -u -FILE m", true, 0, 2, "older"},     {"-a -u -FILE m", true, -10, 2, "older"},
        {"-a -u -FILE m", true, 10, 3, "new"},      {"-d -a -u", true, -100000, 1, "old"},
        {"-d -a -u", true, 100000, 1, "new"},       {"-d -a -u -FILE m", true, 0, 1, "old"},
        {"-d -a -u -FILE m", true, 10, 1, "new"},   {"-d -a -u -FILE data", true, 0, 2, "new"},
        {"-d -a", true, 0, 1, "new"},               {"-d -a -FILE data", true, 0, 1, "new"},
        {"-d -a", false, 0, 2, "new"},              {"-d -a -FILE data", false, 0, 2, "new"}};
    for (const auto &c : cases) {
        tk::Cwd t;
        time_t now = time(nullptr);
        std::vector<tk::Member> archived = {{.name = "m", .data = "old", .mtime = now - c.age}};
        if (c.op[1] == 'a') archived.push_back({"m", "older"});   // at the builder's time, in 2001
        tk::write_file("a.tar", tk::archive(archived));
        tk::write_file("data", "new");
        if (c.local) tk::write_file("m", "new");
        struct utimbuf times = {now, now};
        utime("m", &times);
        std::string line = "-ARCHIVE a.tar -MEMBER m -T t.log " + c.op;
        ASSERT_EQ(tk::kPut, tk::Call(line).put("new")) << line;
        std::string total = "Total " + std::to_string(c.members) + " file(s)";
        EXPECT_EQ(0u, tk::list("a.tar").totals.find(total)) << line;
        EXPECT_EQ(c.last, tk::extract("a.tar", "m")) << line << " " << c.age;
        bool kept = tk::read_file("t.log").find("\n\ncan't access 'm'\n\n") != std::string::npos;
        EXPECT_EQ(!c.local, kept) << line;
    }
}

// A deleted member's blocks go, with the links that name it, whatever their
// size field says; a type 'S' member has exactly its size's data blocks.
// Delete and append stop at an end marker with members behind it (a delete drops free space
// there), and where blocks had to be passed over to find a header (another writer's long name).
TEST(Delete, LinksSparseMembersAndWhatLiesBehindTheEndMarker) {
    tk::Cwd t;
    const std::string a = tk::pattern_bytes(700, 2), b = tk::pattern_bytes(3000, 3);
    std::string sparse = tk::blocks({.name = "s", .data = a, .type = 'S'}, 482, "\1");
    tk::Member hard = {.name = "h", .type = '1', .link = "a", .size = 700};
    tk::Member sym = {.name = "y", .type = '2', .link = "a"};
    tk::write_file("a.tar", sparse + tk::archive({{"a", a}, hard, sym, {"b", b}}));
    EXPECT_EQ(b, tk::extract("a.tar", "b"));
    ASSERT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -MEMBER s -d").get());
    ASSERT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -MEMBER a -d -T t.log").get());
    EXPECT_EQ(tk::archive({{"b", b}}, 1), tk::read_file("a.tar"));
    std::string trace = tk::read_file("t.log");
    for (std::string gone : {"'a' (700 bytes, 2", "'h' (700 bytes, 2", "'y' (0 bytes, 0"})
        EXPECT_NE(std::string::npos, trace.find("Deleting " + gone + " tape blocks)"));
    EXPECT_EQ((std::vector<std::string>{"a.tar", "t.log"}), tk::list_dir("."));   // no scratch file
    std::string behind = tk::archive({{"a", a}}, 1) + tk::archive({{"b", b}});
    tk::Member long_name = {.name = "././@LongLink", .data = std::string(120, 'L'), .type = 'L'};
    for (std::string lost : {behind, tk::archive({{"a", a}, long_name, {"b", b}})}) {
        tk::write_file("a.tar", lost);
        EXPECT_EQ("-1 Unable_to_read_archive", tk::Call("-ARCHIVE a.tar -MEMBER a -d").get());
        EXPECT_EQ(lost, tk::read_file("a.tar"));
    }
    tk::write_file("a.tar", behind);
    EXPECT_EQ("-1 Unable_to_read_archive", tk::Call("-ARCHIVE a.tar -MEMBER n -a").put("n"));
    EXPECT_EQ(behind, tk::read_file("a.tar"));
    tk::write_file("a.tar", tk::archive({{"a", a}}, 1) + b.substr(0, 512) + tk::archive({}));
    ASSERT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -MEMBER a -d").get());
    EXPECT_EQ(tk::archive({}, 1), tk::read_file("a.tar"));
}

}  // namespace
