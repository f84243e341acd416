// store_test.cpp - storing through the put entry point and through savefile
// directly: header bytes of memory members, trees with links, FIFOs, devices,
// sockets and long names, the size limit, update, links, a shrinking file.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/readers.h"
#include "tar/tar.h"

#if !defined(__SANITIZE_ADDRESS__)
// Lets one test make the link list's allocation fail; passes through otherwise.
static bool fail_calloc;
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *calloc(size_t n, size_t s) { return fail_calloc ? nullptr : __libc_calloc(n, s); }
#endif

namespace {

int put(const std::string &line, const std::string &data = "", std::string *msg = nullptr) {
    tk::Call c(line);
    int rc = c.put(data);
    if (msg) *msg = c.message();
    return rc;
}

long long octal(const std::string &a, int off, int len) { return std::stoll(a.substr(off, len), nullptr, 8); }

struct MemoryCase {
    const char *args;
    size_t bytes;
    const char *mode, *uid, *gid;  // the 8-byte fields as written
    unsigned owner, group;         // as a reader takes them
};

TEST(StoreMemory, HeaderBytesBlocksAndPadding) {
    const MemoryCase cases[] = {
        {"", 1000, "   777 ", "     0 ", "     0 ", 0, 0},
        {"-PERM 640 -UID 23 -GID 2000", 1000, "   640 ", "    27 ", "  3720 ", 23, 2000},
        {"", 0, "   777 ", "     0 ", "     0 ", 0, 0},
        {"", 100, "   777 ", "     0 ", "     0 ", 0, 0},
    };
    for (const auto &c : cases) {
        tk::TempDir d;
        std::string data = tk::pattern_bytes(c.bytes), tar = d / "m.tar";
        time_t t0 = time(nullptr);
        ASSERT_EQ(0, put("-ARCHIVE " + tar + " -MEMBER data1 -c " + c.args, data));
        std::string a = tk::read_file(tar);
        size_t blocks = (c.bytes + 511) / 512;
        ASSERT_EQ((blocks + 2) * 512, a.size()) << c.bytes;  // header, data, one end block
        EXPECT_EQ(std::string("data1") + std::string(95, '\0'), a.substr(0, 100));
        EXPECT_EQ(std::string(c.mode, 8), a.substr(100, 8));
        EXPECT_EQ(std::string(c.uid, 8), a.substr(108, 8));
        EXPECT_EQ(std::string(c.gid, 8), a.substr(116, 8));
        EXPECT_EQ(static_cast<long long>(c.bytes), octal(a, 124, 12));
        EXPECT_EQ(' ', a[135]);
        EXPECT_LE(t0, octal(a, 136, 12));
        EXPECT_GE(time(nullptr), octal(a, 136, 12));
        unsigned sum = 8 * ' ';
        for (int i = 0; i < 512; i++) sum += (i >= 148 && i < 156) ? 0 : static_cast<unsigned char>(a[i]);
        EXPECT_EQ(sum, octal(a, 148, 6));
        EXPECT_EQ(std::string(2, '\0'), a.substr(154, 2));
        EXPECT_TRUE(std::string(356, '\0') == a.substr(156, 356));  // type, link, magic, devices, tail
        EXPECT_TRUE(data == a.substr(512, c.bytes));
        EXPECT_TRUE(std::string(a.size() - 512 - c.bytes, '\0') == a.substr(512 + c.bytes));
        rd::expect_members(tar, {{"data1", data}});
        rd::Seen seen = rd::python(tar).at(0);
        EXPECT_EQ(std::stoul(c.mode, nullptr, 8), seen.mode);
        EXPECT_EQ(c.owner, seen.uid);
        EXPECT_EQ(c.group, seen.gid);
    }
}

void make_socket(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
    close(s);
}

TEST(StoreTree, FilesLinksAndFifoButNoDirectoriesNorTheArchive) {
    tk::TempDir d;
    tk::Chdir cd(d.path());
    ASSERT_EQ(0, tk::sh("mkdir -p t/sub && printf alpha >t/a && head -c 3000 /dev/urandom >t/l1 && "
                        "ln t/l1 t/sub/l2 && mkfifo t/p && printf beta >t/sub/b"));
    ASSERT_EQ(0, put("-ARCHIVE t/out.tar -MEMBER x -c -FILE t"));
    std::vector<rd::Seen> seen = rd::python("t/out.tar");
    std::sort(seen.begin(), seen.end(), [](auto &x, auto &y) { return x.name < y.name; });
    ASSERT_EQ(5u, seen.size());
    EXPECT_EQ("t/a", seen[0].name);
    EXPECT_EQ("alpha", seen[0].data);
    EXPECT_EQ("t/l1", seen[1].name);
    EXPECT_EQ("t/p", seen[2].name);
    EXPECT_EQ("6", seen[2].type);
    EXPECT_EQ("t/sub/b", seen[3].name);
    EXPECT_EQ("t/sub/l2", seen[4].name);
    // Whichever name came first holds the data; the other links to it.
    rd::Seen &data = seen[1].type == "1" ? seen[4] : seen[1], &link = seen[1].type == "1" ? seen[1] : seen[4];
    EXPECT_EQ(tk::read_file("t/l1"), data.data);
    EXPECT_EQ("1", link.type);
    EXPECT_EQ(data.name, link.link);
    EXPECT_EQ(3000, link.size);
    EXPECT_EQ(0, rd::gnu_list("t/out.tar").status);
}

TEST(StoreTree, DeviceNodeIsAHeaderNamedByItsPath) {
    tk::TempDir d;
    ASSERT_EQ(0, put("-ARCHIVE " + d / "a.tar" + " -MEMBER x -c -FILE /dev/null"));
    std::string a = tk::read_file(d / "a.tar");
    ASSERT_EQ(1024u, a.size());
    EXPECT_STREQ("/dev/null", a.c_str());
    EXPECT_EQ('3', a[156]);
    EXPECT_EQ(0, octal(a, 124, 12));
    EXPECT_EQ(std::string("     1 \0     3 \0", 16), a.substr(329, 16));
}

TEST(StoreTree, SocketFailsTheRunAndEndsTheWalk) {
    tk::TempDir d;
    tk::Chdir cd(d.path());
    ASSERT_EQ(0, tk::sh("mkdir s && for f in f0 f1 f2 f3 f4; do echo $f >s/$f; done"));
    make_socket("s/sk");
    std::string msg;
    EXPECT_EQ(-1, put("-ARCHIVE a.tar -MEMBER x -c -FILE s -T t.log", "", &msg));
    EXPECT_EQ("'s/sk' not a file", msg);
    std::string trace = tk::read_file("t.log");
    bool before = true;
    DIR *dir = opendir("s");
    while (dirent *e = readdir(dir)) {
        std::string n = e->d_name;
        if (n == "sk") before = false;
        if (n[0] != 'f') continue;
        EXPECT_EQ(before, trace.find("a s/" + n + " 1 blocks") != std::string::npos) << n;
    }
    closedir(dir);
}

// A relative directory path of exactly `len` characters, made on disk.
std::string deep_dir(size_t len) {
    std::string p;
    for (size_t i = 0; i < len; i++) p += i % 41 == 40 && i + 1 < len ? '/' : 'd';
    tk::sh("mkdir -p " + p);
    return p;
}

TEST(StoreNames, LengthLimitsAndTheCutHeaderName) {
    struct Case { size_t dir; std::string file; bool ok; } cases[] = {
        {148, "f", true}, {254, "f", true}, {255, "f", false}, {256, "f", false}, {200, std::string(255, 'n'), false},
    };
    for (const auto &c : cases) {
        tk::TempDir d;
        tk::Chdir cd(d.path());
        std::string dir = deep_dir(c.dir), path = dir + "/" + c.file;
        tk::write_file(path, "data");
        std::string msg;
        int rc = put("-ARCHIVE a.tar -MEMBER x -c -T t.log -FILE " + dir.substr(0, dir.find('/')), "", &msg);
        if (c.ok) {
            ASSERT_EQ(0, rc) << msg;
            std::string a = tk::read_file("a.tar");
            EXPECT_EQ(path.substr(0, 100), a.substr(0, 100));  // cut, no terminator
            rd::expect_members("a.tar", {{path.substr(0, 100), "data"}});
        } else {
            EXPECT_EQ(-1, rc);
            std::string text = "'" + path + "' name too long";
            EXPECT_EQ(text.substr(0, 99), msg);
            EXPECT_NE(std::string::npos, tk::read_file("t.log").find(text));
        }
    }
}

TEST(StoreLimits, MemberOfEightGibibytesIsRefusedBeforeAnyHeader) {
    tk::TempDir d;
    int fd = open((d / "big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(0, ftruncate(fd, 8589934592LL));  // sparse: 8^11 bytes, one past the field
    close(fd);
    std::string msg;
    EXPECT_EQ(-1, put("-ARCHIVE " + d / "a.tar" + " -MEMBER m -c -FILE " + d / "big", "", &msg));
    EXPECT_EQ("'" + d / "big" + "' too large to archive (8589934592 bytes)", msg);
    EXPECT_EQ("", tk::read_file(d / "a.tar"));
}

// A create run driven by hand, for what the entry points cannot arrange.
struct Direct {
    tk::TempDir d;
    tk::Chdir cd{d.path()};
    char msg[kMessageSize] = {};
    Direct() {
        file_flag = c_flag = a_flag = 1;
        mszErrMsg = msg;
        OrvLogInit();
        OrvLogOpen("t.log", 1);
        OrvLogSetMode(2);
        OrvLogSetLevel(5);
        initape("a.tar");
        io_buf = io_2nd = getbuf(kRecordBytes);
        runtape();
    }
    ~Direct() {
        _done();
        OrvLogClose();
        mszErrMsg = nullptr;
        file_flag = c_flag = a_flag = u_flag = 0;
    }
    int store(const std::string &path) {
        char buf[kStorePathSize];
        snprintf(buf, sizeof buf, "%s", path.c_str());
        return z9tarstore(buf, buf);
    }
};

TEST(StoreDirect, PathAndMemberNameLimits) {
    // The command line cuts values to 256 characters, so these come in directly.
    struct Case { unsigned char file; size_t len; int ok; } cases[] = {{1, 256, 1}, {1, 257, 0}, {0, 100, 1}, {0, 101, 0}};
    for (const auto &c : cases) {
        Direct r;
        file_flag = c.file;
        std::string name = c.file ? deep_dir(c.len) : std::string(c.len, 'p');
        EXPECT_EQ(c.ok, r.store(name)) << c.len;
        EXPECT_EQ(c.ok ? "" : ("'" + name + "' name too long").substr(0, 99), std::string(r.msg));
    }
}

TEST(StoreDirect, ShrunkFileIsPaddedToItsHeaderSize) {
    for (size_t real : {100u, 0u}) {
        Direct r;
        std::string f = "f";
        tk::write_file(f, tk::pattern_bytes(real));
        stat(f.c_str(), &st);
        st.st_size = 2000;
        char path[kStorePathSize];
        snprintf(path, sizeof path, "%s", f.c_str());
        if (real == 0) {  // no data at all fails, without a text of its own
            EXPECT_EQ(0, savefile(path, "m"));
            EXPECT_STREQ("", r.msg);
            continue;
        }
        ASSERT_EQ(1, savefile(path, "m"));
        ASSERT_EQ(1, endtape());
        EXPECT_NE(std::string::npos, tk::read_file("t.log").find("'" + f + "' decreased size"));
        EXPECT_EQ(6u * 512, tk::read_file("a.tar").size());
        rd::expect_members("a.tar", {{"m", tk::pattern_bytes(real) + std::string(1900, '\0')}});
    }
}

TEST(StoreDirect, LinkItemCountsDownAndGoes) {
    Direct r;
    ASSERT_EQ(0, tk::sh("echo hi >x && ln x y && ln x z"));
    ASSERT_EQ(1, r.store("x"));
    ASSERT_NE(nullptr, linkhead);
    EXPECT_EQ(2, linkhead->links);
    ASSERT_EQ(1, r.store("y"));
    EXPECT_EQ(1, linkhead->links);
    ASSERT_EQ(1, r.store("z"));
    EXPECT_EQ(nullptr, linkhead);
    ASSERT_EQ(1, endtape());
    std::vector<rd::Seen> seen = rd::python("a.tar");
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ("hi\n", seen[0].data);
    for (int i : {1, 2}) EXPECT_EQ("x", seen[i].link);
}

TEST(StoreDirect, UpdatePassesOverWhatTheArchiveHasAsNew) {
    for (int delta : {0, 1, -1}) {
        Direct r;
        std::string f = "f";
        tk::write_file(f, "new");
        struct stat s;
        stat(f.c_str(), &s);
        ITEM *at;
        finditem(f.c_str(), &at, timehead);
        additem(f.c_str(), at, &timehead)->mtime = s.st_mtime + delta;
        u_flag = 1;
        ASSERT_EQ(1, r.store(f));
        EXPECT_EQ(nullptr, timehead);
        EXPECT_EQ(delta < 0 ? 2 : 0, wblock) << delta;  // header and one block, or nothing
        ASSERT_EQ(1, r.store(f));  // the item is used up: now it is stored
        EXPECT_EQ(delta < 0 ? 4 : 2, wblock);
    }
}

TEST(StoreDirect, LostLinksAreNotedOnceAndStoredInFull) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the allocator cannot be replaced under AddressSanitizer";
#else
    Direct r;
    ASSERT_EQ(0, tk::sh("echo one >a && ln a a2 && echo two >b && ln b b2"));
    fail_calloc = true;
    for (const char *n : {"a", "b", "a2"}) EXPECT_EQ(1, r.store(n));
    fail_calloc = false;
    ASSERT_EQ(1, endtape());
    std::string trace = tk::read_file("t.log"), note = "out of memory; link(s) lost\n";
    EXPECT_NE(std::string::npos, trace.find(note));
    EXPECT_EQ(trace.find(note), trace.rfind(note));
    rd::expect_members("a.tar", {{"a", "one\n"}, {"b", "two\n"}, {"a2", "one\n"}});
#endif
}

}  // namespace
