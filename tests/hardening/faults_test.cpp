// faults_test.cpp - runs that fail (a full disk during create, append,
// extraction to a file, delete and replace; an archive that ends inside a
// member, a damaged header, an empty, missing or device archive; a missing
// member or local file) or change nothing: each leaves its own text in the
// message and the trace, the archive as it should be, and no descriptor, buffer
// or scratch file behind. The disk is made full by a file size limit, and
// again on a small tmpfs where one can be mounted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tape/tape.h"
#include "tar/format.h"
#include "testkit/testkit.h"

namespace {

enum After { kAny, kSame, kReadable };                      // the archive after the run
enum Archive { kFixture, kDamaged, kEmpty, kDevice, kMissing };

// room > 0: the disk is full once the file being written has grown by room
// bytes. cut > 0: the archive ends after that many blocks. '@' in args is the
// output template, in message the output's name. trace: the entry that shows
// the failure when it is not the message itself.
struct Fault {
    bool put;
    const char *args;
    int room, cut;
    const char *message;
    After after;
    Archive archive = kFixture;
    const char *trace = nullptr;
};
const char kShort[] = "zero bytes read, expected 40 blocks, blocks left 22\n", kOk[] = "GetArchive_succeeded",
           kUnable[] = "Unable_to_read_archive";
const Fault kFaults[] = {
    {true, "-MEMBER new -c", 20000, 0, "tape write error", kAny},
    {true, "-MEMBER new -a", 8192, 0, "tape write error", kReadable},
    {false, "-MEMBER m2 -x -FILE @", 8192, 0, "error extracting '@'", kSame},
    {false, "-MEMBER m3 -d", 8192, 0, "tape write error", kSame},
    {true, "-MEMBER m1 -d -a", 8192, 0, "tape write error", kSame},
    {false, "-CAT", 0, 40, kShort, kSame},
    {false, "-MEMBER m2 -x", 0, 40, "archive read error", kSame},
    {false, "-MEMBER m2 -x -FILE @", 0, 40, "archive read error", kSame},
    {false, "-MEMBER m1 -d", 0, 40, "archive read error", kSame},   // copying m2 fails
    {false, "-MEMBER m2 -d", 0, 40, kShort, kSame},                 // passing over m2 fails
    {false, "-MEMBER m1 -d", 0, 62, kUnable, kSame},                // no end marker
    {false, "-MEMBER m1 -d", 0, 0, kUnable, kSame, kDamaged, "bad directory structure\n\n"},
    {false, "-MEMBER m1 -d", 0, 0, kUnable, kSame, kEmpty, "archive read error\n\n"},
    {false, "-CAT", 0, 0, "archive read error", kSame, kEmpty},
    {false, "-MEMBER m1 -d", 0, 0, "delete_option_(-d)_is_for_file_archives_only", kAny, kDevice},
    {false, "-MEMBER m1 -d", 0, 0, "Failed_to_open_archive", kAny, kMissing, "Failed to open archive ("},
    {false, "-MEMBER zz -x", 0, 0, "Member 'zz' not found in archive", kSame},
    {true, "-MEMBER m2 -d -a -FILE nowhere", 0, 0, "'nowhere' not found", kSame},
    // Matching starts at the name's beginning: "2" deletes nothing.
    {false, "-MEMBER 2 -d", 0, 0, kOk, kSame, kFixture, "archive unchanged\n\n"},
    {false, "-CAT", 0, 0, kOk, kSame, kFixture, "Total 3 file(s) for 31000 bytes in 67 tape blocks\n\n"},
};

// m1 in blocks 0-20, m2 in 21-61, m3 in 62-64, two end blocks: 67 blocks.
const std::vector<std::pair<std::string, std::string>> kMembers = {
    {"m1", tk::pattern_bytes(10000, 1)}, {"m2", tk::pattern_bytes(20000, 2)}, {"m3", tk::pattern_bytes(1000, 3)}};
const std::string kNew = tk::pattern_bytes(30000, 4);

std::string fixture(bool damaged) {   // damaged: m2's header has a bad size field
    std::string a;
    for (const auto &[name, data] : kMembers) a += damaged && name == "m2" ? tk::blocks({name}, kSizeOff, "12x ") : tk::blocks({name, data});
    return a + std::string(1024, '\0');
}

std::string subst(std::string text, const std::string &value) {
    if (size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, value);
    return text;
}

// A full disk for one scope. With a size limit, writes past base + room fail
// (EFBIG, as SIGXFSZ is ignored meanwhile); on a tmpfs a filler file leaves
// room bytes free, rounded up to whole pages.
struct DiskFull {
    rlimit old{};
    sighandler_t handler = SIG_DFL;
    bool limited = false;
    DiskFull(int room, size_t base, const std::string &tmpfs) {
        if (room <= 0) return;
        if (struct statvfs v; !tmpfs.empty() && statvfs(tmpfs.c_str(), &v) == 0) {
            size_t page = v.f_frsize, left = v.f_bavail * v.f_frsize, keep = (room + page - 1) / page * page;
            tk::write_file(tmpfs + "/filler", std::string(left > keep ? left - keep : 0, 'f'));
            return;
        }
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = base + static_cast<rlim_t>(room);
        handler = signal(SIGXFSZ, SIG_IGN);
        limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~DiskFull() {
        if (limited) setrlimit(RLIMIT_FSIZE, &old), signal(SIGXFSZ, handler);
    }
};

void run_case(const Fault &f, const std::string &root, bool tmpfs) {
    SCOPED_TRACE(std::string(f.args) + (tmpfs ? " on a full tmpfs" : ""));
    tk::TempDir traces;
    std::string dir = root + "/w", out = root + "/out", archive = dir + "/a.tar", old = fixture(f.archive == kDamaged);
    ASSERT_EQ(tk::sh("rm -rf " + dir + " " + out + " " + root + "/filler && mkdir " + dir + " " + out), 0);
    if (f.cut) old.resize(static_cast<size_t>(f.cut) * kBlockSize);
    if (f.archive == kEmpty) old.clear();
    if (f.archive == kDevice) ASSERT_EQ(symlink("/dev/null", archive.c_str()), 0);
    else if (f.archive != kMissing && std::string(f.args).find(" -c") == std::string::npos) tk::write_file(archive, old);
    tk::Call call("-ARCHIVE " + archive + " " + subst(f.args, out + "/o.XXXXXX") + " -T " + (traces / "t"));
    memset(call.rec.szMessage, '#', sizeof call.rec.szMessage);
    int fds = tk::count_fds(), rc;
    {
        DiskFull full(f.room, f.after == kReadable ? old.size() : 0, tmpfs ? root : "");
        rc = f.put ? call.put(kNew) : call.get();
    }
    EXPECT_EQ(rc, std::string(f.message) == kOk ? 0 : -1);
    ASSERT_NE(memchr(call.rec.szMessage, '\0', sizeof call.rec.szMessage), nullptr);
    std::string want = subst(f.message, call.filename());
    EXPECT_EQ(call.message(), want);
    EXPECT_NE(tk::read_file(traces / "t").find("\n\n" + (f.trace ? std::string(f.trace) : want + "\n\n")), std::string::npos);
    EXPECT_EQ(tk::count_fds(), fds);
    EXPECT_TRUE(handle == -1 && hwrite == -1 && !scratch && !io_buf && !io_2nd);
    EXPECT_TRUE(call.rec.pOutData == nullptr && call.rec.nOutLength == 0);
    EXPECT_EQ(tk::list_dir(dir), f.archive == kMissing ? std::vector<std::string>{} : std::vector<std::string>{"a.tar"});
    if (f.after == kSame) {
        EXPECT_TRUE(tk::read_file(archive) == old);
    }
    if (f.after != kReadable) return;   // every member reads, for the library and for GNU tar
    std::string all;
    for (const auto &[name, data] : kMembers) {
        tk::Call get("-ARCHIVE " + archive + " -MEMBER " + name + " -x");
        EXPECT_TRUE(get.got() == "0 GetArchive_succeeded" && get.out() == data) << name;
        all += data;
    }
    EXPECT_TRUE(tk::gnu("xOf " + archive) == all);
}

TEST(Faults, UnderAFileSizeLimit) {
    tk::TempDir root;
    for (const Fault &f : kFaults) run_case(f, root.path(), false);
}

// Mounted for the test and gone before the directory is removed.
struct Tmpfs {
    std::string path;
    bool ok;
    explicit Tmpfs(const std::string &p) : path(p) {
        ok = mkdir(p.c_str(), 0700) == 0 && mount("tmpfs", p.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~Tmpfs() {
        if (ok) umount2(path.c_str(), MNT_DETACH);
    }
};

TEST(Faults, OnAFullTmpfs) {
    tk::TempDir root;
    Tmpfs fs(root / "fs");
    if (!fs.ok) GTEST_SKIP() << "no tmpfs can be mounted here: " << strerror(errno);
    for (const Fault &f : kFaults) run_case(f, fs.path, true);
}

}  // namespace
