// members_test.cpp - what the engine makes of single members through the
// entry points: the listing's exact entry for every type, magic, extent and
// tail; extraction's output names and replaced files; a regular member named
// like a directory; the header bytes of a stored member; nodes and walks.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <ctime>

#include "tar/format.h"
#include "tar/tar.h"
#include "testkit/testkit.h"

namespace {

TEST(Catalog, EntriesPerTypeMagicExtentAndTail) {
    tk::Cwd t;
    std::string name100(kNameLen, 'n'), link100(kLinkLen, 'l'), k512 = tk::pattern_bytes(512);
    std::string extent = std::string("2\0\0\0" "3\0\0\0" "3720", 12);   // 2 of 3, of 2000 bytes
    std::string archive =
        tk::blocks({.name = "cont", .data = k512, .type = 'M'}, kStartOff, "1750 ") +   // at 1000
        tk::blocks({.name = "sparse", .data = tk::pattern_bytes(700), .type = 'S'}, 482, "\1") +
        tk::blocks({.name = "part", .data = k512}, kExtNumOff, extent) +
        tk::blocks({.name = "nopart", .data = k512}, kExtNumOff, "4" + extent.substr(1)) +
        tk::blocks({.name = "coded", .data = "12345"}, kTailSizeOff, "4000 ") +   // coded size 2048
        tk::archive({{.name = "bdev", .type = '4', .major = 8, .minor = 1},
                     {.name = "dir/", .type = '5', .mode = 03755},   // set-id letters in place of x
                     {.name = "odd", .type = 'Q'},
                     {.name = "u0", .data = "1", .magic = "ustar  "},
                     {.name = "unul", .data = "1", .type = '\0', .magic = "ustar  "},
                     {.name = "xyz", .mode = 05644, .magic = "XYZ"},
                     {.name = name100, .uid = 40000, .gid = 100},   // ids are 16 bits without sign
                     // the magic right behind the unterminated link name
                     {.name = "s", .type = '2', .mode = 0777, .link = link100, .magic = "ustar  "},
                     {.name = "h", .type = '1', .link = "cont", .size = 700}});   // no data blocks
    tk::write_file("a.tar", archive);
    tk::Listed l = tk::list("a.tar");
    EXPECT_EQ(l.outcome, tk::kGot);
    EXPECT_EQ(l.entries, ",rw-r--r--   0/0     512  cont\n\n[from 1000 to 1511]\n\n"
                         "?rw-r--r--   0/0     700  sparse\n\nunknown file type 'S'\n\n\n"
                         " rw-r--r--   0/0     512  part\n\n [extent #2 of 3]\n\n"
                         " 2000 bytes total\n\n"
                         " rw-r--r--   0/0     512  nopart\n\n> 4\n\n"
                         " rw-r--r--   0/0    2048  coded\n\n"
                         "brw-r--r--   0/0   8,1    bdev\n\n"
                         "drwxr-sr-t   0/0       0  dir/\n\n"
                         "?rw-r--r--   0/0       0  odd\n\nunknown file type 'Q'\n\n\n"
                         " rw-r--r--   0/0       1  u0\n\n"
                         " rw-r--r--   0/0       1  unul\n\n> ustar  \n\n"
                         " rwsr--r-t   0/0       0  xyz\n\n> XYZ\n\n"
                         " rw-r--r-- 40000/100       0  " + name100 + "\n\n"
                         "lrwxrwxrwx   0/0       0  s\n\n symlink to " + link100 + "\n\n"
                         " rw-r--r--   0/0     700  h\n\n linked to cont\n\n");
    // Sparse's data passed over; sizes counted as shown: 512 + 700 + 512 + 512 + 2048 + 1 + 1.
    EXPECT_NE(std::string::npos, l.trace.find("\n\nblocks to read in this file 2 (extract "));
    std::string blocks = std::to_string(archive.size() / 512);
    EXPECT_EQ(l.totals, "Total 14 file(s) for 4286 bytes in " + blocks + " tape blocks");
    // A header with a bad field ends the listing; until a good header is read
    // again, even in a later run, no other one is reported in its place.
    tk::write_file("a.tar", tk::blocks({"bad"}, kSizeOff, "12x") + std::string(1024, '\0'));
    for (bool told : {true, false})
        EXPECT_EQ(told, tk::list("a.tar").trace.find("bad directory") != std::string::npos);
}

// A template without "XXXXXX" is no name; -UNIQUE names the file after the
// member, making its directories (-UID and -GID win over the archive); a file
// where a directory must be fails; a new file is a new inode, so a hard link
// to the old keeps the old bytes. A regular member whose name ends in '/' (a
// long name cut after a slash) is made as a directory; its data, here a
// header, are passed over all the same. Only a first extent goes to memory.
TEST(Extract, OutputNamesReplacedFilesAndARegularMemberNamedLikeADirectory) {
    tk::Cwd t;
    tk::write_file("a.tar", tk::archive({{"a/b/c.txt", "abc"}, {"f/b/c.txt", "abc"}}));
    const std::string abc = "-ARCHIVE a.tar -MEMBER a/b/c.txt -x -FILE ";
    EXPECT_EQ("-1 can't create ''", tk::Call(abc + "out").get());
    tk::Call u(abc + "ignoredXXXXXX -UNIQUE -UID 5 -GID 6 -T t.log");
    ASSERT_EQ(tk::kGot, u.get());
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find("UID = 5 and GID = 6"));
    std::string name = u.filename();
    EXPECT_TRUE(name.size() == 15 && name.substr(0, 9) == "a/b/c.txt") << name;
    EXPECT_TRUE(tk::read_file(name) == "abc" && tk::status(name).st_mtime == 1000000000);
    tk::write_file("f", "old");
    tk::Call f("-ARCHIVE a.tar -MEMBER f/b/c.txt -x -FILE xXXXXXX -UNIQUE");
    EXPECT_EQ("-1 can't create 'f'", f.get());
    ASSERT_EQ(0, link("f", "g"));
    int fd = newfile("f", 0600);
    ASSERT_EQ(3, write(fd, "new", 3));
    close(fd);
    EXPECT_EQ("newold", tk::read_file("f") + tk::read_file("g"));
    tk::write_file("a.tar", tk::archive({{"d/", tk::blocks({"forged", "x"})}, {"m", "m"}}));
    ASSERT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -MEMBER * -x -T t.log").get());
    EXPECT_TRUE(S_ISDIR(tk::status("d").st_mode));
    EXPECT_EQ(std::string::npos, tk::read_file("t.log").find("forged"));
    std::string second = std::string("2\0\0\0" "3\0\0\0" "3000", 11);   // extent 2 of 3
    tk::write_file("a.tar", tk::blocks({"m", "x"}, kExtNumOff, second) + std::string(1024, '\0'));
    EXPECT_EQ("-1 'm' is extent 2 of 3: only a first extent can be extracted into memory",
              tk::extract("a.tar", "m"));
}

// Extraction leaves the host's file-creation mask as it was, and what it
// makes gets exactly its archived bits all the same (directories 0777).
TEST(Extract, ModesAsArchivedAndTheHostsMaskLeftAlone) {
    tk::Cwd t;
    std::vector<tk::Member> m = {{.name = "a", .mode = 0600}, {.name = "b", .mode = 0777},
                                 {.name = "c", .mode = 0755}, {.name = "d", .type = '5'},
                                 {.name = "p", .type = '6', .mode = 0666}};
    tk::write_file("a.tar", tk::archive(m));
    mode_t host = umask(077);
    EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -MEMBER * -x -FILE xXXXXXX -UNIQUE").get());
    EXPECT_EQ(077u, umask(host));
    EXPECT_EQ("600 ./a\n777 ./b\n755 ./c\n777 ./d\n666 ./p\n",
              tk::sh_out("find . -mindepth 1 ! -name a.tar -printf '%m %p\\n' | "
                         "sed -E 's/[a-zA-Z0-9]{6}$//' | sort -k2"));
}

long long octal(const std::string &header, int off, int len) {
    return std::stoll(header.substr(off, len), nullptr, 8);
}

TEST(Store, HeaderBytesOfAMemoryMember) {
    struct { std::string args; size_t bytes; const char *ids; } cases[] = {
        {"", 0, "   777 \0     0 \0     0 \0"},
        {"", 100, "   777 \0     0 \0     0 \0"},
        {"-PERM 4640 -UID 40000 -GID 2000", 1000, "  4640 \0" "716100 \0  3720 \0"}};
    for (const auto &c : cases) {
        tk::Cwd t;
        std::string data = tk::pattern_bytes(c.bytes);
        time_t t0 = time(nullptr);
        ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE m.tar -MEMBER data1 -c " + c.args).put(data));
        std::string a = tk::read_file("m.tar");
        ASSERT_EQ(((c.bytes + 511) / 512 + 2) * 512, a.size());   // header, data, one end block
        EXPECT_EQ("data1" + std::string(95, '\0') + std::string(c.ids, 24), a.substr(0, 124));
        EXPECT_EQ(static_cast<long long>(c.bytes), octal(a, 124, 12));
        EXPECT_TRUE(a[135] == ' ' && t0 <= octal(a, 136, 12) && octal(a, 136, 12) <= time(nullptr));
        unsigned sum = 8 * ' ';
        for (int i = 0; i < 512; i++) sum += i >= 148 && i < 156 ? 0 : static_cast<uint8_t>(a[i]);
        EXPECT_EQ(sum, octal(a, 148, 6));
        // Checksum terminator; type, link, magic, devices and tail all zero; the data padded.
        EXPECT_TRUE(std::string(358, '\0') == a.substr(154, 358));
        EXPECT_TRUE(data + std::string(a.size() - 512 - c.bytes, '\0') == a.substr(512));
    }
}

TEST(Store, DeviceNodeIsAHeaderNamedByItsPath) {
    tk::Cwd t;
    ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE a.tar -MEMBER x -c -FILE /dev/null").put());
    std::string a = tk::read_file("a.tar");
    ASSERT_EQ(1024u, a.size());
    EXPECT_TRUE(a.substr(0, 10) == std::string("/dev/null\0", 10) && a[156] == '3');
    EXPECT_EQ(0, octal(a, 124, 12));
    EXPECT_EQ(std::string("     1 \0     3 \0", 16), a.substr(329, 16));
}

// A socket fails the run and ends the walk: the files the walk met before it
// are stored, the ones after are not. A walk passes over the archive itself.
TEST(Store, AWalkEndsAtASocketAndPassesOverTheArchive) {
    tk::Cwd t;
    ASSERT_EQ(0, tk::sh("mkdir s d && echo d >d/f && for f in 0 1 2 3 4; do echo $f >s/f$f; done"));
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = "s/sk"};
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
    close(s);
    EXPECT_EQ("-1 's/sk' not a file", tk::Call("-ARCHIVE a.tar -MEMBER x -c -FILE s -T t").put());
    std::string trace = tk::read_file("t"), order = tk::sh_out("ls -U s");   // the walk's order
    std::string before = order.substr(0, order.find("sk\n"));
    for (std::string f : {"f0", "f1", "f2", "f3", "f4"}) {
        bool met = before.find(f + "\n") != std::string::npos;
        EXPECT_EQ(met, trace.find("a s/" + f + " 1 blocks") != std::string::npos) << f;
    }
    ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE d/a.tar -MEMBER x -c -FILE d").put());
    EXPECT_EQ(" rw-r--r--   0/0       2  d/f\n\n", tk::list("d/a.tar").entries);
}

}  // namespace
