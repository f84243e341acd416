// backends_test.cpp - member data in the host's memory (never past msize,
// never before the start, nothing without a buffer) and the counting read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "adapter/adapter.h"
#include "tape/tape.h"

namespace {

// One memory operation on a 1000-byte buffer (or none): 'o'pen, 'c'lose,
// 'r'ead or 'w'rite arg bytes, 's'eek to arg from whence; moff before and after.
struct MemOp { bool buffer; char op; int64_t from, arg; int whence; int64_t result, after; };
const MemOp kMemOps[] = {
    {false, 'o', 55, 0, 0, -1, 0}, {false, 'c', 55, 0, 0, -1, 0},   {false, 'r', 0, 4, 0, -1, 0},
    {false, 'w', 0, 4, 0, -1, 0},  {false, 's', 0, 0, SEEK_SET, -1, 0}, {true, 'o', 55, 0, 0, 0, 0},
    {true, 'c', 55, 0, 0, 0, 0},   {true, 'r', 0, 300, 0, 300, 300}, {true, 'r', 300, 212, 0, 212, 512},
    {true, 'r', 512, 600, 0, 488, 1000}, {true, 'r', 1000, 1, 0, 0, 1000}, {true, 'w', 900, 600, 0, 100, 1000},
    {true, 'w', 5000, 1, 0, 0, 5000}, {true, 's', 5, 0, SEEK_END, 1000, 1000}, {true, 's', 100, -10, SEEK_CUR, 90, 90},
    {true, 's', 100, 7, SEEK_SET, 7, 7}, {true, 's', 100, 50, SEEK_END, 1050, 1050}, {true, 's', 100, 0, 3, -1, 100},
    {true, 's', 100, -101, SEEK_CUR, -1, 100}, {true, 's', 100, -1, SEEK_SET, -1, 100},
    {true, 's', 100, INT64_MAX, SEEK_END, -1, 100}};

TEST(MemoryOps, StayWithinTheBuffer) {
    file_flag = 0;
    z9_select_ops();
    for (const MemOp &o : kMemOps) {
        std::vector<unsigned char> data(1000), io(600, 0xAB);   // exact sizes, for the sanitizer
        for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i * 7);
        std::vector<unsigned char> want = data;
        mbuf = o.buffer ? data.data() : nullptr, msize = 1000, moff = o.from;
        size_t n = static_cast<size_t>(o.arg);
        int64_t got = o.op == 'o' ? popenfile("ignored", O_RDONLY) : o.op == 'c' ? pclosefile(0)
                    : o.op == 'r' ? preadfile(0, io.data(), n) : o.op == 'w' ? pwritefile(0, io.data(), n)
                    : plseekfile(0, o.arg, o.whence);
        EXPECT_EQ(std::tuple(got, moff), std::tuple(o.result, o.after)) << o.op << " " << o.from << " " << o.arg;
        // A read hands out the bytes at from; a write changes those and no others.
        for (int64_t k = 0; o.op == 'w' && k < got; k++) want[static_cast<size_t>(o.from + k)] = 0xAB;
        bool read_right = o.op != 'r' || got <= 0 || !memcmp(io.data(), &data[o.from], static_cast<size_t>(got));
        EXPECT_TRUE(data == want && read_right) << o.op << " " << o.from;
    }
    mbuf = nullptr, msize = moff = 0;
}

int next_result;
int scripted_read(void *, int) { return next_result; }

TEST(ArchiveOps, CountingReadCountsBlocksOfEveryReadButNotFailures) {
    z9_select_ops();
    tapeops.run_read = scripted_read;
    z9_count_reads();
    z9_count_reads();   // a second install must not count twice
    char buf[1];
    for (auto [result, total] : {std::tuple{16384, 32u}, {2048, 36u}, {1, 37u}, {513, 39u}, {0, 39u}, {-1, 39u}}) {
        next_result = result;
        EXPECT_EQ(tapeops.read(buf, 16384), result);
        EXPECT_EQ(allblock, total);
    }
    z9_select_ops();
}

}  // namespace
