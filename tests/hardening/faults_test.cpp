// faults_test.cpp - runs that fail (a full disk, an archive cut short, damaged,
// empty, missing, a device or locked, a missing member or file) or change nothing:
// each leaves its own text in the message and the trace, the archive as it
// should be, and no descriptor, buffer or scratch file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "tape/tape.h"
#include "testkit/testkit.h"

namespace {

enum After { kAny, kSame, kUndone };   // the archive after the run; kUndone: kSame once grown
enum Archive { kFixture, kDamaged, kEmpty, kDevice, kMissing, kShared, kLocked };

// A run is "get ..." or "put ..." (which stores `bytes` bytes). room > 0: the
// disk is full once the file being written has grown by room bytes. cut > 0:
// the archive ends after that many blocks. '@' in the run is the output
// template, in the message the output's name. trace: the entry that shows the
// failure when it is not the message itself.
struct Fault { const char *run; int room, cut; const char *message; After after;
               Archive archive = kFixture; const char *trace = nullptr; size_t bytes = 30000; };
const char kShort[] = "zero bytes read, expected 40 blocks, blocks left 22\n",
           kOk[] = "GetArchive_succeeded", kUnable[] = "Unable_to_read_archive";
const Fault kFaults[] = {
    {"put -MEMBER new -c", 20000, 0, "tape write error", kAny},
    // Workers compress blocks of 5 MiB of data no codec can shrink while the disk fills.
    {"put -MEMBER new -c -COMPRESS gzip", 1500000, 0, "tape write error", kAny, kFixture, nullptr, 5 << 20},
    {"put -MEMBER new -c -COMPRESS bzip2", 1500000, 0, "tape write error", kAny, kFixture, nullptr, 5 << 20},
    {"put -MEMBER new -c -COMPRESS xz", 1500000, 0, "tape write error", kAny, kFixture, nullptr, 5 << 20},
    {"put -MEMBER new -a", 8192, 0, "tape write error", kUndone},
    {"get -MEMBER m2 -x -FILE @", 8192, 0, "error extracting '@'", kSame},
    {"get -MEMBER m3 -d", 8192, 0, "tape write error", kSame},
    {"put -MEMBER m1 -d -a", 8192, 0, "tape write error", kSame},
    {"get -CAT", 0, 40, kShort, kSame},
    {"get -MEMBER m2 -x", 0, 40, "archive read error", kSame},
    {"get -MEMBER m2 -x -FILE @", 0, 40, "archive read error", kSame},
    {"get -MEMBER m1 -d", 0, 40, "archive read error", kSame},   // copying m2 fails
    {"get -MEMBER m2 -d", 0, 40, kShort, kSame},                 // passing over m2 fails
    {"get -MEMBER m1 -d", 0, 62, kUnable, kSame},                // no end marker
    {"get -MEMBER m1 -d", 0, 0, kUnable, kSame, kDamaged, "bad directory structure\n\n"},
    {"get -MEMBER m1 -d", 0, 0, kUnable, kSame, kEmpty, "archive read error\n\n"},
    {"get -CAT", 0, 0, "archive read error", kSame, kEmpty},
    {"get -MEMBER m1 -d", 0, 0, "delete_option_(-d)_is_for_file_archives_only", kAny, kDevice},
    {"get -MEMBER m1 -d", 0, 0, "Failed_to_open_archive", kAny, kMissing, "Failed to open archive"},
    {"get -MEMBER zz -x", 0, 0, "Member 'zz' not found in archive", kSame},
    {"put -MEMBER m2 -d -a -FILE nowhere", 0, 0, "'nowhere' not found", kSame},
    // Matching starts at the name's beginning: "2" deletes nothing.
    {"get -MEMBER 2 -d", 0, 0, kOk, kSame, kFixture, "archive unchanged\n\n"},
    {"get -CAT", 0, 0, kOk, kSame, kFixture, "Total 3 file(s) for 31000 bytes in 67 tape blocks"},
    {"get -CAT", 0, 0, kOk, kSame, kShared, "Total 3 file(s) for 31000 bytes in 67 tape blocks"},
    {"get -MEMBER m3 -d", 0, 0, "'@' is locked by another process", kSame, kShared},
    {"get -MEMBER m2 -x", 0, 0, "'@' is locked by another process", kSame, kLocked},
};

// m1 in blocks 0-20, m2 in 21-61, m3 in 62-64, two end blocks: 67 blocks.
const std::vector<tk::Member> kMembers = {
    {"m1", tk::pattern_bytes(10000, 1)}, {"m2", tk::pattern_bytes(20000, 2)},
    {"m3", tk::pattern_bytes(1000, 3)}};

std::string subst(std::string text, const std::string &value) {
    if (size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, value);
    return text;
}

TEST(Faults, EachRunLeavesItsTextAndNothingBehind) {
    signal(SIGXFSZ, SIG_IGN);
    setenv("Z9TAR_THREADS", "3", 1);   // workers, whatever the CPUs
    const size_t tasks = tk::list_dir("/proc/self/task").size();
    setenv("Z9TAR_LOCK_WAIT", "0.2", 1);
    tk::TempDir root, traces;
    for (const Fault &f : kFaults) {
        SCOPED_TRACE(f.run);
        std::string dir = root / "w", out = root / "out", archive = dir + "/a.tar";
        std::string old = tk::archive(kMembers);
        if (f.archive == kDamaged) old.replace(21 * 512, 512, tk::blocks({"m2"}, 124, "12x "));
        old.resize(f.cut ? f.cut * 512u : f.archive == kEmpty ? 0 : old.size());
        ASSERT_EQ(tk::sh("rm -rf " + dir + " " + out + " && mkdir " + dir + " " + out), 0);
        bool put = f.run[0] == 'p', create = std::string(f.run).find(" -c") != std::string::npos;
        if (f.archive == kDevice) ASSERT_EQ(symlink("/dev/null", archive.c_str()), 0);
        else if (f.archive != kMissing && !create) tk::write_file(archive, old);
        std::string line = "-ARCHIVE " + archive + " " + subst(f.run + 4, out + "/o.XXXXXX");
        tk::Call call(line + " -T " + (traces / "t"));
        int lock = f.archive >= kShared ? open(archive.c_str(), O_RDWR) : -1;   // another's lock
        struct flock l = {};
        l.l_type = f.archive == kShared ? F_RDLCK : F_WRLCK;
        ASSERT_TRUE(lock < 0 || fcntl(lock, F_OFD_SETLK, &l) == 0);
        memset(call.rec.szMessage, '#', sizeof call.rec.szMessage);
        // A full disk: writes past room bytes more fail (EFBIG, as SIGXFSZ is ignored).
        int fds = tk::count_fds();
        rlimit unlimited, full;
        getrlimit(RLIMIT_FSIZE, &unlimited);
        full = {(f.after == kUndone ? old.size() : 0) + f.room, unlimited.rlim_max};
        if (f.room > 0) setrlimit(RLIMIT_FSIZE, &full);
        put ? call.put(tk::pattern_bytes(f.bytes, 4)) : call.get();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_EQ(call.rec.nReturnCode, std::string(f.message) == kOk ? 0 : -1);
        ASSERT_NE(memchr(call.rec.szMessage, '\0', sizeof call.rec.szMessage), nullptr);
        std::string want = subst(f.message, lock >= 0 ? archive : call.filename());
        EXPECT_EQ(call.rec.szMessage, want);
        std::string entry = "\n\n" + (f.trace ? std::string(f.trace) : want + "\n\n");
        EXPECT_NE(tk::read_file(traces / "t").find(entry), std::string::npos);
        EXPECT_EQ(tk::count_fds(), fds);
        EXPECT_EQ(tk::list_dir("/proc/self/task").size(), tasks);
        EXPECT_TRUE(handle == -1 && hwrite == -1 && !scratch && !io_buf && !io_2nd);
        EXPECT_TRUE(call.rec.pOutData == nullptr && call.rec.nOutLength == 0);
        EXPECT_EQ(tk::list_dir(dir).size(), f.archive == kMissing ? 0u : 1u);   // the archive alone
        EXPECT_TRUE(f.after == kAny || tk::read_file(archive) == old);
        if (lock >= 0) close(lock);
    }
}

}  // namespace
