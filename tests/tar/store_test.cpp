// store_test.cpp - storing through the put entry point: the header bytes of a
// memory member, device nodes, sockets, path lengths in a directory walk, the
// size limit, a file shorter than its status says, links without memory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "testkit/testkit.h"
#include "tar/tar.h"

#if !defined(__SANITIZE_ADDRESS__)
// Lets one test make the link list's allocations fail; passes through otherwise.
static size_t fail_size;
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *calloc(size_t n, size_t s) { return n * s == fail_size ? nullptr : __libc_calloc(n, s); }
#endif

namespace {

long long octal(const std::string &a, int off, int len) { return std::stoll(a.substr(off, len), nullptr, 8); }

TEST(Store, HeaderBytesOfAMemoryMember) {
    struct { const char *args; size_t bytes; const char *ids; unsigned mode, uid, gid; } cases[] = {
        {"", 0, "   777 \0     0 \0     0 \0", 0777, 0, 0}, {"", 100, "   777 \0     0 \0     0 \0", 0777, 0, 0},
        {"-PERM 640 -UID 23 -GID 2000", 1000, "   640 \0    27 \0  3720 \0", 0640, 23, 2000}};
    for (const auto &c : cases) {
        tk::TempCwd t;
        std::string data = tk::pattern_bytes(c.bytes);
        time_t t0 = time(nullptr);
        ASSERT_EQ(0, tk::put("-ARCHIVE m.tar -MEMBER data1 -c " + std::string(c.args), data));
        std::string a = tk::read_file("m.tar");
        ASSERT_EQ(((c.bytes + 511) / 512 + 2) * 512, a.size()) << c.bytes;  // header, data, one end block
        EXPECT_EQ(std::string("data1") + std::string(95, '\0') + std::string(c.ids, 24), a.substr(0, 124));
        EXPECT_EQ(static_cast<long long>(c.bytes), octal(a, 124, 12));
        EXPECT_TRUE(a[135] == ' ' && t0 <= octal(a, 136, 12) && octal(a, 136, 12) <= time(nullptr));
        unsigned sum = 8 * ' ';
        for (int i = 0; i < 512; i++) sum += (i >= 148 && i < 156) ? 0 : static_cast<unsigned char>(a[i]);
        EXPECT_EQ(sum, octal(a, 148, 6));
        // Checksum terminator; type, link, magic, devices and tail all zero; the data padded.
        EXPECT_TRUE(std::string(358, '\0') == a.substr(154, 358));
        EXPECT_TRUE(data + std::string(a.size() - 512 - c.bytes, '\0') == a.substr(512));
        tk::expect_members("m.tar", {{"data1", data}});
        tk::Seen seen = tk::python("m.tar").at(0);
        EXPECT_TRUE(c.mode == seen.mode && c.uid == seen.uid && c.gid == seen.gid);
    }
}

TEST(Store, DeviceNodeIsAHeaderNamedByItsPath) {
    tk::TempCwd t;
    ASSERT_EQ(0, tk::put("-ARCHIVE a.tar -MEMBER x -c -FILE /dev/null"));
    std::string a = tk::read_file("a.tar");
    ASSERT_EQ(1024u, a.size());
    EXPECT_TRUE(a.substr(0, 10) == std::string("/dev/null\0", 10) && a[156] == '3' && octal(a, 124, 12) == 0);
    EXPECT_EQ(std::string("     1 \0     3 \0", 16), a.substr(329, 16));
}

// A socket fails the run and ends the walk: the files the walk met before it
// are stored, the ones after are not.
TEST(Store, SocketFailsTheRunAndEndsTheWalk) {
    tk::TempCwd t;
    ASSERT_EQ(0, tk::sh("mkdir s && for f in f0 f1 f2 f3 f4; do echo $f >s/$f; done"));
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = "s/sk"};
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
    close(s);
    std::string msg;
    EXPECT_EQ(-1, tk::put("-ARCHIVE a.tar -MEMBER x -c -FILE s -T t.log", "", &msg));
    EXPECT_EQ("'s/sk' not a file", msg);
    std::string trace = tk::read_file("t.log");
    bool before = true;
    DIR *dir = opendir("s");
    while (dirent *e = readdir(dir)) {
        std::string n = e->d_name;
        before = before && n != "sk";
        EXPECT_TRUE(n[0] != 'f' || before == (trace.find("a s/" + n + " 1 blocks") != std::string::npos)) << n;
    }
    closedir(dir);
}

// A file `dir` characters deep below the walk's start: paths up to 256
// characters are stored, the header name cut to 100 without a terminator;
// longer ones fail with their whole name in the trace.
TEST(Store, PathLengthsInAWalkAndTheCutHeaderName) {
    struct { size_t dir; std::string file; bool ok; } cases[] = {
        {148, "f", true}, {254, "f", true}, {255, "f", false}, {256, "f", false}, {200, std::string(255, 'n'), false}};
    for (const auto &c : cases) {
        tk::TempCwd t;
        std::string dir, msg;
        for (size_t i = 0; i < c.dir; i++) dir += i % 41 == 40 && i + 1 < c.dir ? '/' : 'd';
        std::string path = dir + "/" + c.file, text = "'" + path + "' name too long";
        ASSERT_EQ(0, tk::sh("mkdir -p " + dir));
        tk::write_file(path, "data");
        int rc = tk::put("-ARCHIVE a.tar -MEMBER x -c -T t.log -FILE " + dir.substr(0, dir.find('/')), "", &msg);
        EXPECT_EQ(c.ok ? 0 : -1, rc) << msg;
        if (c.ok) {
            tk::expect_members("a.tar", {{path.substr(0, 100), "data"}});
        } else {
            EXPECT_TRUE(text.substr(0, 99) == msg && tk::read_file("t.log").find(text) != std::string::npos) << msg;
        }
    }
}

TEST(Store, MemberOfEightGibibytesIsRefusedBeforeAnyHeader) {
    tk::TempCwd t;
    ASSERT_EQ(0, tk::sh("truncate -s 8G big"));   // sparse: 8^11 bytes, one past the size field
    std::string msg;
    EXPECT_EQ(-1, tk::put("-ARCHIVE a.tar -MEMBER m -c -FILE big", "", &msg));
    EXPECT_EQ("'big' too large to archive (8589934592 bytes)", msg);
    EXPECT_EQ("", tk::read_file("a.tar"));
}

// A sysfs attribute claims a page and holds a few bytes: zero blocks make up
// the size its header gives.
TEST(Store, ShortFileIsPaddedToItsHeaderSize) {
    const std::string f = "/sys/devices/system/cpu/online", data = tk::read_file(f);
    if (tk::status(f).st_size != 4096 || data.empty()) GTEST_SKIP() << f << " does not claim a page";
    tk::TempCwd t;
    ASSERT_EQ(0, tk::put("-ARCHIVE a.tar -MEMBER m -c -T t.log -FILE " + f));
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find("\n\n'" + f + "' decreased size\n\n"));
    tk::expect_members("a.tar", {{"m", data + std::string(4096 - data.size(), '\0')}});
}

// Without memory for the link list every name of a linked file is stored in
// full, and the trace says so once.
TEST(Store, LostLinksAreNotedOnceAndStoredInFull) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the allocator cannot be replaced under AddressSanitizer";
#else
    tk::TempCwd t;
    ASSERT_EQ(0, tk::sh("mkdir d && echo one >d/a && ln d/a d/c && echo two >d/b && ln d/b d/e"));
    fail_size = sizeof(ITEM) + 4;   // the link list's node for a name of three characters
    EXPECT_EQ(0, tk::put("-ARCHIVE a.tar -MEMBER x -c -T t.log -FILE d"));
    fail_size = 0;
    std::string trace = tk::read_file("t.log"), note = "\n\nout of memory; link(s) lost\n\n";
    EXPECT_TRUE(trace.find(note) != std::string::npos && trace.find(note) == trace.rfind(note));
    std::vector<tk::Seen> seen = tk::python("a.tar");
    std::sort(seen.begin(), seen.end(), [](auto &x, auto &y) { return x.name < y.name; });
    ASSERT_EQ(4u, seen.size());
    const char *want[] = {"d/a0one\n", "d/b0two\n", "d/c0one\n", "d/e0two\n"};
    for (int i = 0; i < 4; i++) EXPECT_EQ(want[i], seen[i].name + seen[i].type + seen[i].data);
#endif
}

}  // namespace
