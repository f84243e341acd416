// catalog_test.cpp - the listing of "-CAT" as the trace shows it: the exact
// entries of every member type, magic, extent and tail; what a pattern
// selects; archives that end inside a member, and a header with a bad field.
#include <gtest/gtest.h>

#include <regex>

#include "tar/format.h"
#include "testkit/testkit.h"

namespace {

TEST(Catalog, EntriesPerTypeMagicExtentAndTail) {
    tk::TempCwd t;
    std::string name100(kNameLen, 'n'), link100(kLinkLen, 'l'), k512 = tk::pattern_bytes(512);
    std::string archive =
        tk::blocks({.name = "cont", .data = k512, .type = 'M'}, kStartOff, "00000001750") +   // starts at 1000
        tk::blocks({.name = "sparse", .data = tk::pattern_bytes(700), .type = 'S'}, 482, "\1") +
        tk::blocks({.name = "part", .data = k512}, kExtNumOff, std::string("2\0\0\0" "3\0\0\0" "3720", 12)) +
        tk::blocks({.name = "nopart", .data = k512}, kExtNumOff, std::string("4\0\0\0" "3\0\0\0" "3720", 12)) +
        tk::blocks({.name = "coded", .data = "12345"}, kTailSizeOff, "4000 ") +                // coded size 2048
        tk::archive({{.name = "bdev", .type = '4', .major = 8, .minor = 1}, {.name = "dir/", .type = '5', .mode = 0755},
                     {.name = "odd", .type = 'Q'}, {.name = "u0", .data = "1", .magic = "ustar  "},
                     {.name = "unul", .data = "1", .type = '\0', .magic = "ustar  "}, {.name = "xyz", .magic = "XYZ"},
                     {.name = name100, .uid = 1000, .gid = 100},
                     // the magic right behind the unterminated link name
                     {.name = "s", .type = '2', .mode = 0777, .link = link100, .magic = "ustar  "},
                     {.name = "h", .type = '1', .link = "cont", .size = 700}});   // a size, but no data blocks
    tk::write_file("a.tar", archive);
    tk::Listed l = tk::list("a.tar");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.entries, ",rw-r--r--   0/0     512  cont\n\n[from 1000 to 1511]\n\n"
                         "?rw-r--r--   0/0     700  sparse\n\nunknown file type 'S'\n\n\n"
                         " rw-r--r--   0/0     512  part\n\n [extent #2 of 3]\n\n 2000 bytes total\n\n"
                         " rw-r--r--   0/0     512  nopart\n\n> 4\n\n"
                         " rw-r--r--   0/0    2048  coded\n\n"
                         "brw-r--r--   0/0   8,1    bdev\n\n"
                         "drwxr-xr-x   0/0       0  dir/\n\n"
                         "?rw-r--r--   0/0       0  odd\n\nunknown file type 'Q'\n\n\n"
                         " rw-r--r--   0/0       1  u0\n\n"
                         " rw-r--r--   0/0       1  unul\n\n> ustar  \n\n"
                         " rw-r--r--   0/0       0  xyz\n\n> XYZ\n\n"
                         " rw-r--r-- 1000/100       0  " + name100 + "\n\n"
                         "lrwxrwxrwx   0/0       0  s\n\n symlink to " + link100 + "\n\n"
                         " rw-r--r--   0/0     700  h\n\n linked to cont\n\n");
    EXPECT_TRUE(std::regex_search(l.trace, std::regex("\n\nblocks to read in this file 2 \\(extract [0-9]+\\) "
                                                      "st\\.st_size=700 \n\n")));   // passing over sparse's data
    // Sizes counted as shown: 512 + 700 + 512 + 512 + 2048 + 1 + 1 + 0.
    EXPECT_EQ(l.totals, "Total 14 file(s) for 4286 bytes in " + std::to_string(archive.size() / kBlockSize) +
                            " tape blocks");
}

// The totals count what was listed, the tape blocks all that was read. An
// archive that ends inside a member's data (met by the listing or by the walk
// passing over it; in the buffer or after records passed over by seeking)
// fails; a header with a bad field ends the listing early.
TEST(Catalog, PatternsTruncatedDataAndBadHeader) {
    tk::TempCwd t;
    std::string small = (tk::blocks({"a", "x"}) + tk::blocks({"big", tk::pattern_bytes(5000)})).substr(0, 6 * kBlockSize);
    std::string large = tk::blocks({"big", tk::pattern_bytes(51200)}), ragged = large.substr(0, 100 * kBlockSize + 100);
    large.resize(61 * kBlockSize);
    std::string bad = tk::blocks({"good", "x"}) + tk::blocks({"bad"}, kSizeOff, "12x") + tk::archive({{"after", "y"}});
    std::vector<tk::Member> nine;
    for (std::string n : {"b", "a/b", "a/c", "axb", "dir", "dir/x", "dirt", "a.txt", "x/y.txt"}) nine.push_back({n, "0123456789"});
    const std::string p = tk::archive(nine), ok = "GetArchive_succeeded", read_error = "archive read error\n\n";
    auto ten = [](std::vector<std::string> names) {
        std::string s;
        for (const auto &n : names) s += " rw-r--r--   0/0      10  " + n + "\n\n";
        return s;
    };
    const std::string a = " rw-r--r--   0/0       1  a\n\n", big = " rw-r--r--   0/0   51200  big\n\n";
    struct { std::string bytes, pattern, message, entries, totals; } cases[] = {
        {small, "", "zero bytes read, expected 10 blocks, blocks left 7\n",
         a + " rw-r--r--   0/0    5000  big\n\n" + read_error, "Total 1 file(s) for 1 bytes in 6 tape blocks"},
        {small, "a", "zero bytes read, expected 10 blocks, blocks left 7\n", a + read_error,
         "Total 1 file(s) for 1 bytes in 6 tape blocks"},
        {large, "", "zero bytes read, expected 100 blocks, blocks left 40\n", big + read_error,
         "Total 0 file(s) for 0 bytes in 61 tape blocks"},
        {ragged, "", "zero bytes read, expected 100 blocks, blocks left 5\n", big + read_error,
         "Total 0 file(s) for 0 bytes in 101 tape blocks"},
        {p, "", ok, ten({"b", "a/b", "a/c", "axb", "dir", "dir/x", "dirt", "a.txt", "x/y.txt"}),
         "Total 9 file(s) for 90 bytes in 20 tape blocks"},
        {p, "a?b", ok, ten({"a/b", "axb"}), "Total 2 file(s) for 20 bytes in 20 tape blocks"},
        {p, "dir", ok, ten({"dir", "dir/x"}), "Total 2 file(s) for 20 bytes in 20 tape blocks"},
        {p, "nothing", ok, "", "Total 0 file(s) for 0 bytes in 20 tape blocks"},
        // Last: the next run in the process reports the block it passed over.
        {bad, "", ok, " rw-r--r--   0/0       1  good\n\nbad directory structure\n\n",
         "Total 1 file(s) for 1 bytes in 7 tape blocks"}};
    for (const auto &c : cases) {
        tk::write_file("t.tar", c.bytes);
        tk::Listed l = tk::list("t.tar", c.pattern);
        EXPECT_EQ(l.rc, c.message == ok ? 0 : -1);
        EXPECT_EQ(l.message, c.message);
        EXPECT_EQ(l.entries, c.entries + (l.rc ? c.message + "\n\n" : "")) << c.pattern;
        EXPECT_EQ(l.totals, c.totals);
    }
}

}  // namespace
