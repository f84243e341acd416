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
#include <tuple>
#include <vector>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

namespace {

using std::tuple;

// n blocks, block i starting with its number i, the rest pattern bytes.
std::string blocks(int n) {
    std::string s = tk::pattern_bytes(static_cast<size_t>(n) * 512, 7);
    for (int i = 0; i < n; i++) memcpy(&s[static_cast<size_t>(i) * 512], &i, sizeof i);
    return s;
}
std::string fill(char c, int n = 1) { return std::string(static_cast<size_t>(n) * 512, c); }
int id(const unsigned char *b) { int v = -1; if (b) memcpy(&v, b, sizeof v); return v; }

struct Tape : ::testing::Test {
    tk::TempDir dir;
    char msg[kMessageSize] = {};
    int fds = tk::count_fds();
    std::string data;   // member data behind the memory operations

    void SetUp() override { reset(), ndrive = 0, mszErrMsg = msg; }
    // Stands in for _done: close, free, mark released; and fresh run flags.
    void reset() {
        if (hwrite >= 0) close(hwrite);
        if (handle >= 0 && handle != hwrite) close(handle);
        if (io_2nd != io_buf) free(io_2nd);
        free(io_buf), free(scratch);
        handle = hwrite = -1, io_buf = io_2nd = nullptr, scratch = nullptr, msg[0] = '\0';
        a_flag = c_flag = d_flag = t_flag = file_flag = 0, cblock = 0;
    }
    void TearDown() override {
        reset(), mszErrMsg = nullptr, mbuf = nullptr;
        EXPECT_EQ(tk::count_fds(), fds);
    }
    // Opens the archive the way the driver does.
    void open_archive(const std::string &path) {
        ASSERT_EQ(initape(path.c_str()), 1);
        io_buf = io_2nd = getbuf(cblock ? cblock * kBlockSize : kRecordBytes);
        runtape();
    }
    void member(const std::string &bytes) {
        data = bytes, mbuf = reinterpret_cast<unsigned char *>(data.data());
        msize = static_cast<int64_t>(data.size()), moff = 0;
    }
};

TEST_F(Tape, ReadLearnsTheBlockingFactorAndCountsEveryBlock) {
    for (auto [n, factor, last] : {tuple{3, 3, 3}, {32, 32, 32}, {33, 32, 1}, {100, 32, 4}}) {
        SCOPED_TRACE(n);
        tk::write_file(dir / "a", blocks(n));
        t_flag = 1;
        open_archive(dir / "a");
        for (int i = 0; i < n; i++) ASSERT_EQ(id(readtape()), i);
        EXPECT_EQ(tuple(cblock, nblock, nread, nbytes), tuple(factor, factor, last, n * 512L));
        EXPECT_EQ(allblock, static_cast<uint64_t>(n));
        EXPECT_EQ(readtape(), nullptr);
        EXPECT_STREQ(msg, "archive read error");
        reset();
    }
}

TEST_F(Tape, AnOddLengthEndsInAReadError) {
    for (auto [whole, good] : {tuple{3, 0}, {40, 32}}) {   // the odd read is the first, or a later one
        tk::write_file(dir / "a", blocks(whole) + "odd");
        open_archive(dir / "a");
        for (int i = 0; i < good; i++) ASSERT_TRUE(readtape());
        EXPECT_EQ(readtape(), nullptr);
        EXPECT_STREQ(msg, "archive read error");
        EXPECT_EQ(nbytes, good * 512);   // a dropped first read counts nothing
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
    ASSERT_EQ(z9_skipblocks(35), 1);   // read, not seeked
    for (int i = 36; i < 40; i++) ASSERT_EQ(id(readtape()), i);
    EXPECT_EQ(nread, 8);
    EXPECT_EQ(backtape(), 0);
    EXPECT_STREQ(msg, "tape seek failed");
}

TEST_F(Tape, CreateWritesHeaderDataAndOneEndBlock) {
    tk::write_file(dir / "a", fill('x', 9));   // emptied by the create
    a_flag = c_flag = 1;
    member(tk::pattern_bytes(100));
    open_archive(dir / "a");
    EXPECT_EQ(cblock, 32);
    memset(steptape(), 'H', 512);
    EXPECT_EQ(writearch(0, 100, "m"), 1);
    EXPECT_EQ(endtape(), 1);
    EXPECT_EQ(tuple(handle, hwrite), tuple(-1, -1));
    EXPECT_EQ(tk::read_file(dir / "a"), fill('H') + data + std::string(412, '\0') + fill(0));
}

TEST_F(Tape, AppendReplacesTheEndBlockOrCreatesAMissingArchive) {
    tk::write_file(dir / "a", fill('A') + fill('B') + fill(0));
    a_flag = 1;
    open_archive(dir / "a");
    for (int i = 0; i < 3; i++) ASSERT_TRUE(readtape());
    ASSERT_EQ(backtape(), 1);
    EXPECT_EQ(lseek(handle, 0, SEEK_CUR), 0);
    memset(steptape(), 'C', 512);
    member(fill('D'));
    EXPECT_EQ(writearch(0, 512, "m"), 1);
    ASSERT_EQ(endtape(), 1);
    EXPECT_EQ(tk::read_file(dir / "a"), fill('A') + fill('B') + fill('C') + fill('D') + fill(0));
    reset();
    a_flag = 1;
    open_archive(dir / "new");
    EXPECT_EQ(tuple(c_flag, nblock), tuple(1, 32));
}

TEST_F(Tape, AppendBehindTwoAndFourGibibytesLandsOnTheEndMarker) {
    for (int64_t big : {(int64_t{5} << 29) + 100, (int64_t{9} << 29) + 100}) {
        // A header with a hole of that size as data, one small member, the end marker.
        const int64_t hole = (big + 511) / 512, total = 1 + hole + 3, last = total % 32 ? total % 32 : 32;
        int fd = open((dir / "big").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
        ASSERT_EQ(ftruncate(fd, total * 512), 0);
        ASSERT_EQ(pwrite(fd, fill('H').data(), 512, 0), 512);
        ASSERT_EQ(pwrite(fd, fill('I', 2).data(), 1024, (1 + hole) * 512), 1024);
        close(fd);
        a_flag = 1;
        open_archive(dir / "big");
        ASSERT_EQ(readtape()[0], 'H');
        ASSERT_EQ(z9_skipblocks(hole), 1);
        for (char c : {'I', 'I', '\0'}) ASSERT_EQ(readtape()[0], c);
        ASSERT_EQ(backtape(), 1);
        EXPECT_EQ(lseek(handle, 0, SEEK_CUR), (total - last) * 512);
        memset(steptape(), 'J', 512);
        ASSERT_EQ(endtape(), 1);
        std::string tail(2048, 'x');
        fd = open((dir / "big").c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, tail.data(), 2048, (total - 2) * 512), 1536);   // the file ends there
        close(fd);
        tail.resize(1536);
        EXPECT_EQ(tail, fill('I') + fill('J') + fill(0));
        reset();
    }
}

TEST_F(Tape, ScratchFileIsMadeBesideTheArchive) {
    tk::write_file(dir / "a", blocks(3));
    {
        tk::Chdir cd(dir.path());
        d_flag = 1;
        open_archive("a");
        ASSERT_EQ(duptape("a"), 1);
        EXPECT_EQ(strlen(scratch), 6u);
        EXPECT_TRUE(tk::exists(scratch));
        EXPECT_NE(io_2nd, io_buf);
        EXPECT_NE(hwrite, handle);
    }
    reset();
    open_archive(dir / "a");
    ASSERT_EQ(duptape((dir / "a").c_str()), 1);
    EXPECT_EQ(std::string(scratch).size(), (dir / "").size() + 6);
    EXPECT_EQ(std::string(scratch).rfind(dir / "", 0), 0u);
    EXPECT_TRUE(tk::exists(scratch));
    reset();
    open_archive(dir / "a");
    EXPECT_EQ(duptape((dir / "gone/a").c_str()), 0);
    EXPECT_STREQ(msg, "can't create scratch file\n");
    EXPECT_EQ(hwrite, handle);
}

TEST_F(Tape, MemberDataMovesThroughTheRecords) {
    a_flag = c_flag = 1;
    member(tk::pattern_bytes(20000));
    open_archive(dir / "a");
    EXPECT_EQ(writearch(0, 20000, "m"), 40);   // one record out, 8 blocks left
    member(std::string(700, 'S'));
    EXPECT_EQ(writearch(0, 2000, "m"), 2);      // the source ends early
    EXPECT_EQ(std::string(reinterpret_cast<char *>(io_2nd) + 8 * 512, 1024), data + std::string(324, '\0'));
    mbuf = nullptr;
    EXPECT_EQ(writearch(0, 10, "gone"), 0);
    EXPECT_STREQ(msg, "error reading 'gone'");
    ASSERT_EQ(endtape(), 1);
    reset();
    std::string want = tk::pattern_bytes(20000);
    member(std::string(20000, '\0'));
    open_archive(dir / "a");
    ASSERT_EQ(readarch(0, 20000), 1);
    EXPECT_EQ(data, want);
    EXPECT_EQ(readtape()[0], 'S');   // the next block, right behind the padding
    member(std::string(100, '\0'));
    snprintf(ofname, sizeof ofname, "%s", "out");
    EXPECT_EQ(readarch(0, 600), 0);
    EXPECT_STREQ(msg, "error extracting 'out'");
}

TEST_F(Tape, ReadbyteWalksBlocksAndBacoupleHandsTheBlockOutAgain) {
    std::string all = blocks(33);
    tk::write_file(dir / "a", all);
    open_archive(dir / "a");
    readtape();
    for (int i = 512; i < 1024; i++) ASSERT_EQ(readbyte(), static_cast<unsigned char>(all[i]));
    bacouple();
    EXPECT_EQ(id(readtape()), 1);
    readbyte(), readbyte(), bacouple();
    EXPECT_EQ(id(readtape()), 2);
    for (int i = 3; i < 32; i++) readtape();
    EXPECT_EQ(readbyte(), static_cast<unsigned char>(all[32 * 512]));   // refills
}

std::vector<int> writes;
int recording_write(const void *buf, int length) { return writes.push_back(length), tapeops.run_write(buf, length); }

TEST_F(Tape, EndtapeWritesTheBlocksInUseToAFileAndAWholeRecordToADevice) {
    for (auto [path, length] : {tuple{dir / "a", 1024}, {std::string("/dev/null"), 16384}}) {
        a_flag = c_flag = 1;
        open_archive(path);
        tapeops.write = recording_write, writes.clear();
        memset(steptape(), 'H', 512);
        ASSERT_EQ(endtape(), 1);
        EXPECT_EQ(writes, std::vector<int>{length});
        EXPECT_EQ(tuple(handle, hwrite), tuple(-1, -1));
        reset();
    }
}

TEST_F(Tape, ShortOrFailedWritesAreWriteErrors) {
    a_flag = c_flag = 1;
    member(fill('m', 32));
    open_archive(dir / "a");
    // Under a 1000-byte file size limit a write at 0 comes back short, one at 1000 fails.
    int results[2][3];
    rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old);
    small = old, small.rlim_cur = 1000;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    for (int at = 0; at < 2; at++) {
        lseek(hwrite, at * 1000, SEEK_SET), runtape();
        for (int i = 0; i < 32; i++) steptape();
        results[at][0] = steptape() != nullptr;
        lseek(hwrite, at * 1000, SEEK_SET), runtape(), moff = 0;
        results[at][1] = writearch(0, 16384, "m");
        lseek(hwrite, at * 1000, SEEK_SET), runtape(), steptape(), steptape();
        results[at][2] = endtape();   // 3 blocks, more than the limit
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    for (auto &r : results) EXPECT_EQ(tuple(r[0], r[1], r[2]), tuple(0, 0, 0));
    EXPECT_STREQ(msg, "tape write error");
    EXPECT_GE(hwrite, 0);   // a failed end leaves the archive open
}

TEST_F(Tape, BacktapeNeedsWholeBlocksAndReReadsADevice) {
    tk::write_file(dir / "a", blocks(3));
    open_archive(dir / "a");
    for (int i = 0; i < 3; i++) readtape();
    sa.st_mode = S_IFCHR;   // the device way: step back, read again, step back
    ASSERT_EQ(backtape(), 1);
    EXPECT_EQ(tuple(lseek(handle, 0, SEEK_CUR), nbytes, wblock), tuple(0L, 2 * 1536L, 2));
    nbytes = 1000;
    EXPECT_EQ(backtape(), 0);
    EXPECT_STREQ(msg, "tape blocksize error");
}

int reads;
int counted_read(void *buf, int length) { return reads++, tapeops.run_read(buf, length); }

TEST_F(Tape, SkippingBlocksEndsExactlyAsReadingThem) {
    // Archive of `size` blocks (negative: that many and an odd tail); read
    // `before` blocks, then pass over `skip` blocks by reading (way 0) or by
    // skipping, through a wrapped read (way 1, records are read whole) or the
    // plain one (way 2, the record a skip lands in is read as needed).
    struct { int size, before, skip; bool ok; } cases[] = {
        {100, 0, 1, true},  {100, 1, 31, true}, {100, 1, 32, true},  {100, 1, 95, true},
        {100, 5, 70, true}, {100, 0, 99, true}, {100, 3, 97, true},  {70, 1, 100, false},
        {-99, 0, 98, false}, {-99, 1, 95, true}, {100, 30, 10, true}, {100, 0, 100, true}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.before << " " << c.skip);
        tk::write_file(dir / "a", c.size > 0 ? blocks(c.size) : blocks(-c.size) + "odd");
        std::vector<int64_t> seen[3];
        int calls[2];
        for (int way = 0; way < 3; way++) {
            t_flag = 1;
            open_archive(dir / "a");
            if (way < 2) tapeops.read = counted_read, reads = 0;
            for (int i = 0; i < c.before; i++) readtape();
            int ok = way ? z9_skipblocks(c.skip) : 1;
            for (int i = 0; i < c.skip && !way && ok; i++) ok = readtape() != nullptr;
            EXPECT_EQ(ok, c.ok);
            if (way < 2) calls[way] = reads;
            int64_t at = lseek(handle, 0, SEEK_CUR);
            seen[way] = {nbytes, at, nread, rblock, static_cast<int64_t>(allblock), msg[0]};
            // Then every block up to the end, and a step back into the record.
            for (const unsigned char *b; ok && (b = readtape()) != nullptr;) seen[way].push_back(id(b));
            if (ok) bacouple(), seen[way].push_back(id(readtape()));
            reset();
        }
        EXPECT_TRUE(!c.ok || c.skip <= 32 || calls[1] < calls[0]) << "whole records are seeked over";
        EXPECT_EQ(seen[0], seen[1]);   // nbytes, position, nread, rblock, allblock, message, blocks
        EXPECT_EQ(seen[0], seen[2]);
    }
}

TEST_F(Tape, DirectReadIntoMemoryEndsExactlyAsBufferedRead) {
    // Archive of `size` blocks (negative: that many and an odd tail); after
    // `before` blocks, `bytes` of member data go into memory (whole records
    // straight past io_buf) or into a file (always through io_buf).
    const int64_t R = 16384;
    struct { int size, before; int64_t bytes; bool ok; } cases[] = {
        {200, 1, 2 * R, true},     {200, 1, 2 * R + 1, true}, {200, 1, 2 * R - 1, true},
        {200, 1, 3 * R - 512, true}, {200, 32, 3 * R, true},  {200, 0, 4 * R + 512, true},
        {200, 1, 199 * 512, true}, {200, 1, 199 * 512 + 1, false}, {200, 9, 150 * 512 - 7, true},
        {-150, 1, 149 * 512, false}, {-150, 1, 100 * 512, true}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.before << " " << c.bytes);
        tk::write_file(dir / "a", c.size > 0 ? blocks(c.size) : blocks(-c.size) + "odd");
        std::vector<int64_t> seen[2];
        std::string out[2];
        int calls[2];
        for (int direct = 0; direct < 2; direct++) {
            file_flag = !direct, t_flag = 1;
            open_archive(dir / "a");
            tapeops.read = counted_read, reads = 0;
            int fd = direct ? 0 : open((dir / "out").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
            member(std::string(static_cast<size_t>(c.bytes), '\0'));
            for (int i = 0; i < c.before; i++) readtape();
            EXPECT_EQ(readarch(fd, c.bytes), c.ok);
            if (!direct) close(fd);
            out[direct] = direct ? data.substr(0, static_cast<size_t>(moff)) : tk::read_file(dir / "out");
            calls[direct] = reads;
            int next = c.ok ? id(readtape()) : -2;
            seen[direct] = {nbytes, lseek(handle, 0, SEEK_CUR), nread, rblock, next,
                            static_cast<int64_t>(allblock), msg[0]};
            reset();
        }
        EXPECT_TRUE(out[0] == out[1]) << "the same bytes arrive";
        EXPECT_TRUE(c.bytes < 3 * R || calls[1] < calls[0]) << "whole records go straight to memory";
        EXPECT_EQ(seen[0], seen[1]);   // nbytes, position, nread, rblock, next block, allblock, message
    }
}

TEST_F(Tape, CopyingBlocksGivesTheBytesAndStateOfReadingAndSteppingThem) {
    // Archive of `size` blocks (negative: that many and an odd tail); after
    // `before` blocks read and `pending` blocks put in the output, `n` blocks
    // are copied to the scratch file block by block, or by z9_copyblocks.
    struct { int size, before, pending, n; bool ok; } cases[] = {
        {200, 1, 1, 150, true},  {200, 1, 0, 64, true},  {200, 32, 31, 96, true}, {200, 0, 5, 200, true},
        {200, 1, 1, 40, true},   {200, 3, 2, 198, false}, {-150, 1, 1, 140, false}, {-150, 1, 7, 100, true}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " " << c.before << " " << c.pending << " " << c.n);
        tk::write_file(dir / "a", c.size > 0 ? blocks(c.size) : blocks(-c.size) + "odd");
        std::vector<int64_t> seen[2];
        std::string out[2];
        for (int bulk = 0; bulk < 2; bulk++) {
            d_flag = 1;
            open_archive(dir / "a");
            ASSERT_EQ(duptape((dir / "a").c_str()), 1);
            std::string copy = scratch;
            for (int i = 0; i < c.before; i++) readtape();
            for (int i = 0; i < c.pending; i++) memset(steptape(), 'P', 512);
            int ok = bulk ? z9_copyblocks(c.n) : 1;
            for (int i = 0; i < c.n && ok && !bulk; i++) {
                unsigned char *in = readtape(), *to = in ? steptape() : nullptr;
                if ((ok = to != nullptr)) memcpy(to, in, 512);
            }
            EXPECT_EQ(ok, c.ok);
            int64_t at = lseek(hwrite, 0, SEEK_CUR) + wblock * 512L;   // where the next block lands
            int next = ok ? id(readtape()) : -2;
            if (ok) {
                EXPECT_EQ(endtape(), 1);
            }
            out[bulk] = ok ? tk::read_file(copy) : "";
            seen[bulk] = {nbytes, lseek(handle, 0, SEEK_CUR), nread, rblock, next, at, msg[0]};
            reset();
            unlink(copy.c_str());
        }
        EXPECT_TRUE(out[0] == out[1]) << "the same bytes arrive";
        EXPECT_EQ(seen[0], seen[1]);   // nbytes, position, nread, rblock, next block, output position, message
    }
}

TEST_F(Tape, DirectWritesStoreWhatBufferedWritesStore) {
    // After `pending` blocks, writearch stores `size` bytes from memory (real
    // < 0) or from a file of `real` bytes, straight into the archive, or
    // through io_2nd when a wrapped archive write keeps it from going direct.
    const int64_t R = 16384;
    struct { int pending; int64_t size, real; } cases[] = {
        {1, 3 * R, -1}, {0, 2 * R, -1}, {31, 2 * R + 1, -1}, {5, 5 * R - 100, -1},
        {1, 3 * R, 3 * R}, {0, 4 * R + 512, 4 * R + 512}, {1, 3 * R, 2 * R + 700},
        {0, 3 * R, 2 * R}, {3, 3 * R, R + 512}, {0, 2 * R, 0}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.pending << " " << c.size << " " << c.real);
        std::string source = tk::pattern_bytes(static_cast<size_t>(c.real < 0 ? c.size : c.real), 5);
        tk::write_file(dir / "src", source);
        std::string out[2];
        std::vector<int64_t> seen[2];
        for (int direct = 0; direct < 2; direct++) {
            a_flag = c_flag = 1, file_flag = c.real >= 0;
            open_archive(dir / "a");
            if (!direct) tapeops.write = recording_write;
            member(source);
            int fd = file_flag ? open((dir / "src").c_str(), O_RDONLY) : 0;
            for (int i = 0; i < c.pending; i++) memset(steptape(), 'P', 512);
            int blocks = writearch(fd, static_cast<uint64_t>(c.size), "src");
            if (file_flag) close(fd);
            int64_t at = lseek(hwrite, 0, SEEK_CUR) + wblock * 512L;   // where the next block lands
            EXPECT_EQ(endtape(), 1);
            out[direct] = tk::read_file(dir / "a");
            seen[direct] = {blocks, at, file_flag ? 0 : moff, msg[0]};
            reset();
        }
        EXPECT_TRUE(out[0] == out[1]) << "the same archive";
        EXPECT_EQ(seen[0], seen[1]);   // blocks stored, output position, moff, message
    }
}

}  // namespace
