// extract_test.cpp - what an extraction run makes of each kind of member:
// several matches, output naming, replaced files, nodes and links made in
// memory mode, refused types, devices and owners, extents and the coded size.
// Every test runs in a scratch directory of its own.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "tar/format.h"
#include "tar/tar.h"
#include "testkit/testkit.h"

namespace {

const std::string kOk = "0 GetArchive_succeeded";

// Every match is extracted: the last one stays in memory, each gets a file.
// A later failing run leaves the buffer handed over alone.
TEST(Extract, TwoMatchesGiveTheSecondInMemoryAndTwoFiles) {
    tk::TempCwd t;
    tk::write_file("a.tar", tk::archive({{"m", "first"}, {"m", "second"}}));
    tk::Call c("-ARCHIVE a.tar -MEMBER m -x"), f(c.cmd + " -FILE outXXXXXX"), zz("-ARCHIVE a.tar -MEMBER zz -x");
    ASSERT_EQ(kOk + kOk, c.got() + f.got());
    EXPECT_EQ(-1, zz.get());
    auto files = tk::list_dir(".");  // a.tar and two out??????
    ASSERT_EQ(3u, files.size());
    std::string both = tk::read_file(files[1]) + tk::read_file(files[2]);
    EXPECT_TRUE(both == "firstsecond" || both == "secondfirst") << both;
    EXPECT_EQ("second second out", c.out() + " " + tk::read_file(f.filename()) + " " + f.filename().substr(0, 3));
}

TEST(Extract, OutputNamesAndReplacedFiles) {
    tk::TempCwd t;
    tk::write_file("a.tar", tk::archive({{"a/b/c.txt", "abc"}, {"f/b/c.txt", "abc"}}));
    tk::Call bad("-ARCHIVE a.tar -MEMBER a/b/c.txt -x -FILE out");   // no XXXXXX to make unique
    EXPECT_EQ("-1 can't create ''", bad.got());
    tk::Call u("-ARCHIVE a.tar -MEMBER a/b/c.txt -x -FILE ignoredXXXXXX -UNIQUE");
    ASSERT_EQ(kOk, u.got());
    EXPECT_TRUE(u.filename().size() == 15 && u.filename().substr(0, 9) == "a/b/c.txt") << u.filename();
    EXPECT_TRUE(tk::read_file(u.filename()) == "abc" && tk::status(u.filename()).st_mtime == 1000000000);
    tk::write_file("f", "old");   // a file stands where a directory must
    EXPECT_EQ("-1 can't create 'f'", tk::Call("-ARCHIVE a.tar -MEMBER f/b/c.txt -x -FILE xXXXXXX -UNIQUE").got());
    // A file is replaced by a new one: a hard link to the old keeps its bytes.
    ASSERT_EQ(0, link("f", "g"));
    int fd = newfile("f", 0600);
    ASSERT_EQ(3, write(fd, "new", 3));
    close(fd);
    EXPECT_EQ("newold", tk::read_file("f") + tk::read_file("g"));
}

// In memory mode directories, FIFOs and links are made on disk all the same,
// while a local file of a regular member's name stays as it is; a link to a
// missing target is only noted; directories that exist are no failure.
TEST(Extract, NodesAndLinksOnDiskInMemoryMode) {
    tk::TempCwd t;
    tk::write_file("t", "on disk");
    tk::write_file("a.tar", tk::archive({{.name = "d", .type = '5'}, {.name = "o/x/"},
                                         {.name = "p", .type = '6', .mode = 0640}, {"t", "T"},
                                         {.name = "h", .type = '1', .link = "t"},
                                         {.name = "h2", .type = '1', .link = "missing"}}));
    tk::Call c("-ARCHIVE a.tar -MEMBER * -x -T t.log");
    ASSERT_EQ(kOk, c.got());
    EXPECT_EQ("T on disk", c.out() + " " + tk::read_file("t"));
    EXPECT_TRUE(S_ISDIR(tk::status("d").st_mode) && S_ISDIR(tk::status("o/x").st_mode));
    EXPECT_TRUE(tk::status("p").st_mode == (S_IFIFO | 0640u) && tk::status("p").st_mtime == 1000000000);
    EXPECT_EQ(tk::status("t").st_ino, tk::status("h").st_ino);
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find("\n\ncan't link 'h2' to 'missing'\n\n"));
    tk::write_file("a.tar", tk::archive({{.name = "d", .type = '5'}, {.name = "o/x/"}}));
    EXPECT_EQ(kOk, c.got());
    tk::write_file("a.tar", tk::archive({{.name = "t", .data = "data", .type = '7'}}));   // contiguous: refused
    EXPECT_EQ("-1 't' unknown file type '7'\n", c.got());
}

TEST(Extract, DeviceNumbersAndOwnersUnlessDashO) {
    if (geteuid() != 0) GTEST_SKIP() << "devices and foreign owners need root";
    tk::TempCwd t;
    tk::write_file("a.tar", tk::archive({{.name = "c", .type = '3', .mode = 0600, .major = 7, .minor = 9},
                                         {.name = "m", .data = "x", .uid = 1234, .gid = 4321}}));
    for (bool keep : {false, true}) {
        tk::Call c("-ARCHIVE a.tar -MEMBER m -x -FILE outXXXXXX" + std::string(keep ? " -o" : ""));
        ASSERT_EQ(kOk, c.got());
        struct stat s = tk::status(c.filename());
        EXPECT_TRUE(s.st_uid == (keep ? geteuid() : 1234u) && s.st_gid == (keep ? getegid() : 4321u)) << keep;
        EXPECT_EQ(1000000000, s.st_mtime);
    }
    ASSERT_EQ(kOk, tk::Call("-ARCHIVE a.tar -MEMBER c -x").got());
    struct stat s = tk::status("c");
    EXPECT_TRUE(s.st_mode == (S_IFCHR | 0600u) && major(s.st_rdev) == 7 && minor(s.st_rdev) == 9);
}

// Member m of 512 bytes as extent n of 3 of a 1536-byte file. Only the first
// can start a file or a buffer.
TEST(Extract, TheFirstExtentIsDeliveredLaterOnesFail) {
    tk::TempCwd t;
    std::string piece = tk::pattern_bytes(512);
    auto extent = [&](char n) {
        return tk::blocks({"m", piece}, kExtNumOff, n + std::string("\0\0\0" "3\0\0\0" "3000", 11)) + std::string(1024, '\0');
    };
    tk::write_file("a.tar", extent('1'));
    tk::Call file("-ARCHIVE a.tar -MEMBER m -x -FILE xXXXXXX -UNIQUE -T t.log"), mem("-ARCHIVE a.tar -MEMBER m -x");
    ASSERT_EQ(kOk + kOk, file.got() + mem.got());
    EXPECT_TRUE(tk::read_file(file.filename()) == piece && mem.out() == piece);
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find("x " + file.filename() + ", 512 bytes, 1 tape blocks"));
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find(" [extent #1 of 3]"));
    tk::write_file("a.tar", extent('2'));
    std::string got = file.got();
    EXPECT_EQ("-1 '" + file.filename() + "' does not exist\n", got);
    EXPECT_EQ("-1 'm' is extent 2 of 3: only a first extent can be extracted into memory", mem.got());
}

// A size below the coded size: the buffer has the coded size, zero-filled; one
// whose length nOutLength could not carry is refused unallocated.
TEST(Extract, SizeBelowCodedSizeGivesAZeroFilledBuffer) {
    tk::TempCwd t;
    tk::write_file("a.tar", tk::blocks({"m", "abcdefghij"}, kTailSizeOff, "144") + std::string(1024, '\0'));
    tk::Call c("-ARCHIVE a.tar -MEMBER m -x");
    ASSERT_EQ(kOk, c.got());
    EXPECT_EQ(std::string(100, '\0'), c.out());
    tk::write_file("a.tar", tk::blocks({"m", "abcdefghij"}, kTailSizeOff, "50000000000") + std::string(1024, '\0'));
    EXPECT_EQ("-1 'm' is too large to extract into memory (5368709120 bytes)", c.got());
}

}  // namespace
