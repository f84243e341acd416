// tape_test.cpp - the block layer over real archives: blocking factor, read
// errors, pipes, create, append (also behind 4 GiB), scratch files, member
// data in and out, byte reading, end marker, write errors, block skipping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

namespace {

// n blocks, block i starting with its number, the rest pattern bytes.
std::string blocks(int n) {
    std::string s = tk::pattern_bytes(static_cast<size_t>(n) * 512, 7);
    for (int i = 0; i < n; i++) memcpy(&s[static_cast<size_t>(i) * 512], &i, sizeof i);
    return s;
}
int id(const unsigned char *b) { int v; memcpy(&v, b, sizeof v); return v; }

struct Tape : ::testing::Test {
    tk::TempDir dir;
    char msg[kMessageSize] = {};
    int fds = tk::count_fds();
    std::string data;   // member data for the memory operations

    void SetUp() override {
        a_flag = c_flag = d_flag = t_flag = file_flag = 0;
        cblock = 0, ndrive = 0, mszErrMsg = msg;
    }
    // What _done does for this module: close, free, mark released.
    void reset() {
        if (hwrite >= 0) close(hwrite);
        if (handle >= 0 && handle != hwrite) close(handle);
        handle = hwrite = -1;
        if (io_2nd != io_buf) free(io_2nd);
        free(io_buf), free(scratch);
        io_buf = io_2nd = nullptr, scratch = nullptr, msg[0] = '\0';
        a_flag = c_flag = d_flag = t_flag = 0, cblock = 0;
    }
    void TearDown() override {
        reset();
        mszErrMsg = nullptr, mbuf = nullptr;
        EXPECT_EQ(tk::count_fds(), fds);
    }
    // Opens the archive the way the driver does.
    void open_archive(const std::string &path) {
        ASSERT_EQ(initape(path.c_str()), 1);
        io_buf = io_2nd = getbuf(cblock ? cblock * kBlockSize : kRecordBytes);
        ASSERT_TRUE(io_buf);
        runtape();
    }
    void member(const std::string &bytes) {
        data = bytes;
        mbuf = reinterpret_cast<unsigned char *>(data.data()), msize = static_cast<int64_t>(data.size()), moff = 0;
    }
};

TEST_F(Tape, ReadLearnsTheBlockingFactorAndCountsEveryBlock) {
    struct { int blocks, factor, last; } cases[] = {{3, 3, 3}, {32, 32, 32}, {33, 32, 1}, {100, 32, 4}};
    for (auto c : cases) {
        SCOPED_TRACE(c.blocks);
        tk::write_file(dir / "a", blocks(c.blocks));
        t_flag = 1;
        open_archive(dir / "a");
        for (int i = 0; i < c.blocks; i++) ASSERT_EQ(id(readtape()), i);
        EXPECT_EQ(cblock, c.factor);
        EXPECT_EQ(nblock, c.factor);
        EXPECT_EQ(nread, c.last);
        EXPECT_EQ(nbytes, c.blocks * 512);
        EXPECT_EQ(allblock, static_cast<uint64_t>(c.blocks));
        EXPECT_EQ(readtape(), nullptr);
        EXPECT_STREQ(msg, "archive read error");
        reset();
    }
}

TEST_F(Tape, AnOddLengthEndsInAReadError) {
    for (int whole : {3, 40}) {   // the odd read is the first one, or a later one
        tk::write_file(dir / "a", blocks(whole) + "odd");
        open_archive(dir / "a");
        int good = whole < 32 ? 0 : 32;
        for (int i = 0; i < good; i++) ASSERT_TRUE(readtape());
        EXPECT_EQ(readtape(), nullptr);
        EXPECT_STREQ(msg, "archive read error");
        EXPECT_EQ(nbytes, good * 512);
        reset();
    }
}

TEST_F(Tape, APipeIsReadAsItComesAndCannotBeRepositioned) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string all = blocks(40);
    ASSERT_EQ(write(p[1], all.data(), all.size()), static_cast<ssize_t>(all.size()));
    close(p[1]);
    open_archive("/proc/self/fd/" + std::to_string(p[0]));
    close(p[0]);
    ASSERT_TRUE(S_ISFIFO(sa.st_mode));
    ASSERT_EQ(id(readtape()), 0);
    ASSERT_EQ(z9_skipblocks(35), 1);
    for (int i = 36; i < 40; i++) ASSERT_EQ(id(readtape()), i);
    EXPECT_EQ(nread, 8);
    EXPECT_EQ(backtape(), 0);
    EXPECT_STREQ(msg, "tape seek failed");
}

TEST_F(Tape, CreateWritesHeaderDataAndOneEndBlock) {
    tk::write_file(dir / "a", std::string(5000, 'x'));   // emptied by the create
    a_flag = c_flag = 1;
    member(tk::pattern_bytes(100));
    open_archive(dir / "a");
    EXPECT_EQ(cblock, 32);
    memset(steptape(), 'H', 512);
    EXPECT_EQ(writearch(0, 100, "m"), 1);
    EXPECT_EQ(endtape(), 1);
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(hwrite, -1);
    EXPECT_EQ(tk::read_file(dir / "a"), std::string(512, 'H') + data + std::string(924, '\0'));
}

TEST_F(Tape, AppendReplacesTheEndBlockOrCreatesAMissingArchive) {
    tk::write_file(dir / "a", std::string(512, 'A') + std::string(512, 'B') + std::string(512, '\0'));
    a_flag = 1;
    open_archive(dir / "a");
    for (int i = 0; i < 3; i++) ASSERT_TRUE(readtape());
    ASSERT_EQ(backtape(), 1);
    EXPECT_EQ(lseek(handle, 0, SEEK_CUR), 0);
    memset(steptape(), 'C', 512);
    member(std::string(600, 'D'));
    EXPECT_EQ(writearch(0, 600, "m"), 2);
    ASSERT_EQ(endtape(), 1);
    EXPECT_EQ(tk::read_file(dir / "a"), std::string(512, 'A') + std::string(512, 'B') + std::string(512, 'C') +
                                         data + std::string(424 + 512, '\0'));
    reset();
    a_flag = 1;
    open_archive(dir / "new");
    EXPECT_EQ(c_flag, 1);
    EXPECT_EQ(nblock, 32);
}

TEST_F(Tape, AppendBehindTwoAndFourGibibytesLandsOnTheEndMarker) {
    for (int64_t big : {(int64_t{5} << 29) + 100, (int64_t{9} << 29) + 100}) {
        // A header whose data is a hole of that size, one small member, the end marker.
        const int64_t data_blocks = (big + 511) / 512, total = 1 + data_blocks + 3;
        int fd = open((dir / "big").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
        ASSERT_EQ(ftruncate(fd, total * 512), 0);
        ASSERT_EQ(pwrite(fd, std::string(512, 'H').data(), 512, 0), 512);
        ASSERT_EQ(pwrite(fd, std::string(1024, 'I').data(), 1024, (1 + data_blocks) * 512), 1024);
        close(fd);
        a_flag = 1;
        open_archive(dir / "big");
        ASSERT_EQ(readtape()[0], 'H');
        ASSERT_EQ(z9_skipblocks(data_blocks), 1);
        ASSERT_EQ(readtape()[0], 'I');
        ASSERT_EQ(readtape()[0], 'I');
        ASSERT_EQ(readtape()[0], 0);
        EXPECT_EQ(nbytes, total * 512);
        ASSERT_EQ(backtape(), 1);
        EXPECT_EQ(lseek(handle, 0, SEEK_CUR), (total - (total % 32 ? total % 32 : 32)) * 512);
        memset(steptape(), 'J', 512);
        ASSERT_EQ(endtape(), 1);
        struct stat s;
        stat((dir / "big").c_str(), &s);
        EXPECT_EQ(s.st_size, (total + 1) * 512);
        char got[1024];
        fd = open((dir / "big").c_str(), O_RDONLY);
        pread(fd, got, 1024, (total - 2) * 512);
        close(fd);
        EXPECT_EQ(std::string(got, 1024), std::string(512, 'I') + std::string(512, 'J'));
        reset();
        unlink((dir / "big").c_str());
    }
}

TEST_F(Tape, ScratchFileIsMadeBesideTheArchive) {
    tk::write_file(dir / "a", blocks(3));
    mkdir((dir / "sub").c_str(), 0700);
    tk::write_file(dir / "sub/b", blocks(3));
    mode_t old = umask(022);
    {
        tk::Chdir cd(dir.path());
        d_flag = 1;
        open_archive("a");
        ASSERT_EQ(duptape("a"), 1);
        EXPECT_EQ(strlen(scratch), 6u);
    }
    struct stat s;
    ASSERT_EQ(fstat(hwrite, &s), 0);
    EXPECT_EQ(s.st_mode, S_IFREG | 0644);
    EXPECT_TRUE(tk::exists(dir / scratch));
    EXPECT_NE(io_2nd, io_buf);
    reset();
    umask(old);
    open_archive(dir / "sub/b");
    ASSERT_EQ(duptape((dir / "sub/b").c_str()), 1);
    std::string name = scratch;
    EXPECT_EQ(name.size(), (dir / "sub/").size() + 6);
    EXPECT_EQ(name.rfind(dir / "sub/", 0), 0u);
    EXPECT_TRUE(tk::exists(name));
    reset();
    open_archive(dir / "a");
    EXPECT_EQ(duptape((dir / "gone/a").c_str()), 0);
    EXPECT_STREQ(msg, "can't create scratch file\n");
    EXPECT_EQ(hwrite, handle);
}

TEST_F(Tape, MemberDataMovesInWholeRecordPieces) {
    a_flag = c_flag = 1;
    member(tk::pattern_bytes(20000));
    open_archive(dir / "a");
    EXPECT_EQ(writearch(0, 20000, "m"), 40);
    ASSERT_EQ(endtape(), 1);
    reset();
    std::string want = data;
    member(std::string(20000, '\0'));
    open_archive(dir / "a");
    ASSERT_EQ(readarch(0, 20000), 1);
    EXPECT_EQ(data, want);
    EXPECT_EQ(id(readtape()), 0);   // the end block, right behind the padding
    reset();
    member(std::string(100, '\0'));
    snprintf(ofname, sizeof ofname, "%s", "out");
    open_archive(dir / "a");
    EXPECT_EQ(readarch(0, 600), 0);
    EXPECT_STREQ(msg, "error extracting 'out'");
}

TEST_F(Tape, WritearchStopsWhereTheSourceEnds) {
    a_flag = c_flag = 1;
    member(std::string(700, 'S'));
    open_archive(dir / "a");
    EXPECT_EQ(writearch(0, 2000, "m"), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(io_2nd), 1024), data + std::string(324, '\0'));
    EXPECT_EQ(writearch(0, 0, "m"), 0);
    mbuf = nullptr;
    EXPECT_EQ(writearch(0, 10, "gone"), 0);
    EXPECT_STREQ(msg, "error reading 'gone'");
}

TEST_F(Tape, ReadbyteWalksBlocksAndBacoupleHandsTheBlockOutAgain) {
    std::string all = blocks(33);
    tk::write_file(dir / "a", all);
    open_archive(dir / "a");
    readtape();
    for (int i = 512; i < 1024; i++) ASSERT_EQ(readbyte(), static_cast<unsigned char>(all[i]));
    bacouple();
    EXPECT_EQ(id(readtape()), 1);
    readbyte(), readbyte();
    bacouple();
    EXPECT_EQ(id(readtape()), 2);
    for (int i = 3; i < 32; i++) readtape();
    EXPECT_EQ(readbyte(), static_cast<unsigned char>(all[32 * 512]));   // refills
}

std::vector<int> writes;
int recording_write(const void *buf, int length) {
    writes.push_back(length);
    return tapeops.run_write(buf, length);
}

TEST_F(Tape, EndtapeWritesTheBlocksInUseToAFileAndAWholeRecordToADevice) {
    for (auto [path, length] : {std::pair{dir / "a", 1024}, {std::string("/dev/null"), 16384}}) {
        a_flag = c_flag = 1;
        open_archive(path);
        tapeops.write = recording_write;
        writes.clear();
        memset(steptape(), 'H', 512);
        ASSERT_EQ(endtape(), 1);
        EXPECT_EQ(writes, std::vector<int>{length});
        EXPECT_EQ(handle, -1);
        EXPECT_EQ(hwrite, -1);
        reset();
    }
}

int shortfall;
int short_write(const void *, int length) { return shortfall < 0 ? -1 : length - shortfall; }

TEST_F(Tape, ShortOrFailedWritesAreWriteErrors) {
    a_flag = c_flag = 1;
    member(std::string(16384, 'm'));
    open_archive(dir / "a");
    tapeops.write = short_write;
    for (int s : {512, 1, -1}) {
        shortfall = s;
        runtape(), msg[0] = 0;
        for (int i = 0; i < 32; i++) steptape();
        EXPECT_EQ(steptape(), nullptr);
        EXPECT_STREQ(msg, "tape write error");
        runtape(), moff = 0, msg[0] = 0;
        EXPECT_EQ(writearch(0, 16384, "m"), 0);
        EXPECT_STREQ(msg, "tape write error");
        runtape(), msg[0] = 0;
        EXPECT_EQ(endtape(), 0);
        EXPECT_STREQ(msg, "tape write error");
        EXPECT_GE(hwrite, 0);
    }
}

TEST_F(Tape, AWriteCutByTheFileSizeLimitIsAWriteError) {
    a_flag = c_flag = 1;
    open_archive(dir / "a");
    memset(steptape(), 'H', 512);
    struct rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old);
    small = old, small.rlim_cur = 1000;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    int ended = endtape();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(ended, 0);
    EXPECT_STREQ(msg, "tape write error");
}

TEST_F(Tape, BacktapeNeedsWholeBlocksAndReReadsADevice) {
    tk::write_file(dir / "a", blocks(3));
    open_archive(dir / "a");
    for (int i = 0; i < 3; i++) readtape();
    sa.st_mode = S_IFCHR;   // the device path: step back, read again, step back
    ASSERT_EQ(backtape(), 1);
    EXPECT_EQ(lseek(handle, 0, SEEK_CUR), 0);
    EXPECT_EQ(nbytes, 2 * 1536);
    EXPECT_EQ(wblock, 2);
    nbytes = 1000;
    EXPECT_EQ(backtape(), 0);
    EXPECT_STREQ(msg, "tape blocksize error");
}

// Everything a later read can see: skipping must leave exactly this.
struct Seen {
    int64_t nbytes, pos;
    int nread, rblock, next;
    uint64_t allblock;
    std::string msg;
    bool operator==(const Seen &) const = default;
    friend std::ostream &operator<<(std::ostream &o, const Seen &s) {
        return o << s.nbytes << "/" << s.pos << " nread " << s.nread << " rblock " << s.rblock << " next "
                 << s.next << " allblock " << s.allblock << " '" << s.msg << "'";
    }
};
int reads;
int counted_read(void *buf, int length) { return reads++, tapeops.run_read(buf, length); }

TEST_F(Tape, SkippingBlocksEndsExactlyAsReadingThem) {
    struct { int size, before, skip; bool ok; } cases[] = {
        {100, 0, 1, true},   {100, 1, 31, true},  {100, 1, 32, true}, {100, 1, 95, true},
        {100, 5, 70, true},  {100, 0, 99, true},  {100, 3, 97, true}, {70, 1, 100, false},
        {-99, 0, 98, false}, {-99, 1, 95, true}};   // negative: 99 blocks and an odd tail
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.before << " " << c.skip);
        tk::write_file(dir / "a", c.size > 0 ? blocks(c.size) : blocks(-c.size) + "odd");
        Seen seen[2];
        int calls[2];
        for (int skip = 0; skip < 2; skip++) {
            t_flag = 1;
            open_archive(dir / "a");
            tapeops.read = counted_read, reads = 0;
            for (int i = 0; i < c.before; i++) readtape();
            int ok = 1;
            if (skip) ok = z9_skipblocks(c.skip);
            for (int i = 0; i < c.skip && !skip && ok; i++) ok = readtape() != nullptr;
            EXPECT_EQ(ok, c.ok);
            calls[skip] = reads;
            unsigned char *next = ok ? readtape() : nullptr;
            seen[skip] = {nbytes, lseek(handle, 0, SEEK_CUR), nread, rblock, next ? id(next) : -1, allblock, msg};
            reset();
        }
        EXPECT_EQ(seen[0], seen[1]);
        if (c.ok && c.skip > 32) {
            EXPECT_LT(calls[1], calls[0]);
        }
    }
}

TEST_F(Tape, WithoutANameTheDefaultDriveIsTried) {
    ndrive = 8 + 7;   // only the low 3 bits count: /dev/mt7, absent on a test machine
    EXPECT_EQ(initape(""), 0);
    EXPECT_EQ(handle, -1);
    EXPECT_STREQ(msg, "");
}

}  // namespace
