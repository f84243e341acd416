// tape_test.cpp - over real archives: the blocking factor, block counts, read and write errors, pipes,
// create, append (also past 4 GiB), scratch files, and each fast path vs the record path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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
const int64_t R = kRecordBytes;

// n blocks, block i starting with its number i, the rest pattern bytes.
std::string blocks(int n) {
    std::string s = tk::pattern_bytes(static_cast<size_t>(n) * 512, 7);
    for (int i = 0; i < n; i++) memcpy(&s[static_cast<size_t>(i) * 512], &i, sizeof i);
    return s;
}
std::string fill(char c, int n = 1) { return std::string(static_cast<size_t>(n) * 512, c); }
int id(const unsigned char *b) { int v = -1; if (b) memcpy(&v, b, sizeof v); return v; }

// Archive operations that count reads and record writes.
int reads;
std::vector<int> writes;
int counted_read(void *buf, int length) { return reads++, tapeops.run_read(buf, length); }
int recording_write(const void *buf, int length) { return writes.push_back(length), tapeops.run_write(buf, length); }

struct Tape : ::testing::Test {
    tk::TempDir dir;
    char msg[kMessageSize] = {};
    int fds = tk::count_fds();
    std::string data;   // member data behind the memory operations

    void SetUp() override { reset(), ndrive = 0, mszErrMsg = msg; }
    void TearDown() override { reset(), mszErrMsg = nullptr, mbuf = nullptr; EXPECT_EQ(tk::count_fds(), fds); }
    // The end of a run releases what it holds; the next starts with fresh flags.
    void reset() {
        _done();
        msg[0] = '\0', reads = 0, a_flag = c_flag = d_flag = t_flag = file_flag = 0, cblock = 0;
    }
    // Opens the archive the way the driver does.
    void open_archive(const std::string &path) {
        ASSERT_EQ(initape(path.c_str()), 1);
        io_buf = io_2nd = getbuf(cblock ? cblock * kBlockSize : kRecordBytes), runtape();
    }
    void member(const std::string &bytes) {
        data = bytes, mbuf = reinterpret_cast<unsigned char *>(data.data()), msize = std::ssize(data), moff = 0;
    }
};

TEST_F(Tape, ReadLearnsTheBlockingFactorAndFailsOnAnOddLength) {
    // An odd length: its first read is dropped and the next gets nothing, or a later read is odd.
    struct { int n; bool odd; int good, factor, last; uint64_t counted; } cases[] = {
        {3, false, 3, 3, 3, 3},     {32, false, 32, 32, 32, 32}, {33, false, 33, 32, 1, 33},
        {100, false, 100, 32, 4, 100}, {3, true, 0, 0, 0, 4},     {40, true, 32, 32, 32, 41}};
    for (auto c : cases) {
        tk::write_file(dir / "a", blocks(c.n) + (c.odd ? "odd" : "")), t_flag = 1, open_archive(dir / "a");
        int good = 0;
        while (id(readtape()) == good) good++;
        EXPECT_EQ(tuple(good, cblock, nblock, nread, nbytes, allblock, std::string(msg)),
                  tuple(c.good, c.factor, c.factor, c.last, c.good * 512L, c.counted, "archive read error")) << c.n;
        reset();
    }
}

TEST_F(Tape, APipeIsReadAsItComesAndCannotBeRepositioned) {
    int p[2], size = 40 * 512;
    ASSERT_TRUE(pipe(p) == 0 && write(p[1], blocks(40).data(), size) == size);
    close(p[1]), open_archive("/proc/self/fd/" + std::to_string(p[0])), close(p[0]);
    // The 35 blocks are read, not seeked over: the last record read holds 8 blocks.
    ASSERT_TRUE(S_ISFIFO(sa.st_mode) && id(readtape()) == 0 && z9_skipblocks(35) && id(readtape()) == 36 && nread == 8);
    for (const char *error : {"tape blocksize error", "tape seek failed"})   // part of a block; a pipe
        EXPECT_TRUE((nbytes ^= 1, backtape() == 0) && !strcmp(msg, error)) << error;
}

TEST_F(Tape, CreateWritesHeaderDataAndOneEndBlockToAFileAndWholeRecordsToADevice) {
    for (auto [path, length] : {tuple{dir / "a", 1536}, {std::string("/dev/null"), 16384}}) {
        tk::write_file(dir / "a", fill('x', 9));   // emptied by the create
        a_flag = c_flag = 1, open_archive(path);
        tapeops.write = recording_write, writes.clear(), member(tk::pattern_bytes(100));
        ASSERT_TRUE(memset(steptape(), 'H', 512) && writearch(0, 100, "m") == 1 && endtape() == 1);
        EXPECT_EQ(tuple(nblock, handle, hwrite, writes), tuple(32, -1, -1, std::vector<int>{length}));
        EXPECT_EQ(tk::read_file(dir / "a"), length < R ? fill('H') + data + std::string(412, '\0') + fill(0) : fill('x', 9));
        reset();
    }
}

TEST_F(Tape, AppendReplacesTheEndBlockAlsoBehindFourGibibytes) {
    // A header, a hole of `hole` blocks as its data, two blocks and the end
    // marker; a device steps back, reads the record again and steps back.
    for (auto [hole, device] : {tuple{int64_t{0}, false}, {int64_t{0}, true}, {(int64_t{13} << 20) + 1, false}}) {
        const int64_t total = 1 + hole + 3, last = total % 32 ? total % 32 : 32;
        int fd = open((dir / "big").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
        ASSERT_TRUE(ftruncate(fd, total * 512) == 0 && pwrite(fd, fill('H').data(), 512, 0) == 512 &&
                    pwrite(fd, fill('I', 2).data(), 1024, (1 + hole) * 512) == 1024);
        a_flag = 1, open_archive(dir / "big");
        if (device) sa.st_mode = S_IFCHR;
        ASSERT_TRUE(readtape()[0] == 'H' && z9_skipblocks(hole) && readtape()[0] == 'I' && readtape()[0] == 'I' &&
                    readtape()[0] == '\0');
        ASSERT_EQ(backtape(), 1);
        EXPECT_EQ(tuple(lseek(handle, 0, SEEK_CUR), nbytes), tuple((total - last) * 512, (total + device * 4) * 512));
        memset(steptape(), 'J', 512);
        ASSERT_EQ(endtape(), 1);
        std::string tail(2048, 'x');   // behind the two blocks: the new one and an end block
        EXPECT_TRUE(pread(fd, tail.data(), 2048, (1 + hole) * 512) == 2048 && tail == fill('I', 2) + fill('J') + fill(0));
        EXPECT_EQ(lseek(fd, 0, SEEK_END), (total + 1 + device * 3) * 512);   // a device gets whole records
        close(fd), reset();
    }
}

TEST_F(Tape, ScratchFileIsMadeBesideTheArchive) {
    tk::write_file(dir / "a", blocks(3));
    tk::Chdir cd(dir.path());
    mode_t old = umask(027);
    for (auto [name, prefix] : {tuple{std::string("a"), std::string()}, {dir / "a", dir / ""}, {dir / "no/a", ""}}) {
        d_flag = 1, open_archive(dir / "a");
        bool made = duptape(name.c_str());
        std::string s = made ? scratch : prefix + "failed";   // six characters after the prefix
        EXPECT_TRUE(s.size() == prefix.size() + 6 && s.rfind(prefix, 0) == 0) << s;
        EXPECT_EQ(tk::status(dir / s.substr(s.size() - 6)).st_mode, made ? S_IFREG | 0640u : 0u);
        EXPECT_STREQ(msg, name.find("no/") == std::string::npos ? "" : "can't create scratch file\n");
        EXPECT_TRUE(io_2nd != io_buf && (hwrite != handle) == made);
        reset();
    }
    umask(old);
}

TEST_F(Tape, ShortOrFailedWritesAreWriteErrors) {
    a_flag = c_flag = 1, open_archive(dir / "a"), tk::write_file(dir / "src", fill('f', 96));
    int src = open((dir / "src").c_str(), O_RDONLY);
    // After `steps` blocks: no more ('s'), writearch from memory ('m') or a file ('f'), endtape ('e'): each place
    // writing records writes last once. Under a 1000-byte size limit a write at 0 is short, at 1000 fails (EFBIG).
    struct { char op; int steps; uint64_t bytes; } ops[] = {
        {'s', 33, 0}, {'m', 1, R}, {'m', 0, R}, {'m', 0, 2 * R + 1}, {'f', 0, 2 * R + 1}, {'e', 2, 0}};
    rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old), small = old, small.rlim_cur = 1000;
    auto handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    std::vector<std::string> got;
    for (int at : {0, 1000})
        for (auto [op, steps, bytes] : ops) {
            file_flag = op == 'f', z9_select_ops(), member(fill('m', 96)), runtape(), msg[0] = '\0';
            lseek(hwrite, at, SEEK_SET), lseek(src, 0, SEEK_SET);
            bool ok = true;
            for (int i = 0; i < steps; i++) ok = steptape() != nullptr;
            if (op != 's') ok = op == 'e' ? endtape() : writearch(file_flag ? src : 0, bytes, "m");
            got.push_back(ok ? "stored" : msg);
        }
    setrlimit(RLIMIT_FSIZE, &old), signal(SIGXFSZ, handler), close(src);
    EXPECT_EQ(got, std::vector<std::string>(12, "tape write error"));
    EXPECT_GE(hwrite, 0);   // a failed end leaves the archive open
    mbuf = nullptr, file_flag = 0, z9_select_ops(), runtape();
    EXPECT_TRUE(writearch(0, 10, "gone") == 0 && !strcmp(msg, "error reading 'gone'"));
}

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
