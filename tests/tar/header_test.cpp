// header_test.cpp - the header codec (field parsers and forms, checksum,
// predicates) on crafted blocks, and gethead/newhead over real archive files.
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

template <size_t N> static std::string B(const char (&s)[N]) { return std::string(s, N - 1); }

struct Block {  // a zeroed block that is the current header
    unsigned char b[kBlockSize] = {};
    Block() { hblock = b; }
    ~Block() { hblock = nullptr; }
    void put(int off, const std::string &s) { memcpy(b + off, s.data(), s.size()); }
};

TEST(HeaderCodec, ReadsNumericFields) {
    struct { int kind, off; std::string text; int64_t value; int bad; } cases[] = {
        {0, 100, B("000644 \0"), 420, 0},     {0, 100, B("0000644\0"), 420, 0},
        {0, 100, B("00000644"), 064, 1},      {0, 100, "", 0, 0},
        {0, 100, "12x", 10, 1},               {0, 100, B("700000 \0"), -32768, 0},
        {0, 100, "        644 ", 420, 0},     {0, 504, "        ", 0, 1},
        {1, 124, "12x", 10, 1},               {1, 124, "77777777777 ", 8589934591, 0},
        {1, 124, "777777777777", 8589934591, 1}, {1, 506, "777777", 0777777, 1},
        {2, 502, B("0000abCD\0"), 0xabcd, 0}, {2, 490, "123456789", 0x12345678, 1},
    };
    for (const auto &c : cases) {
        Block blk;
        blk.put(c.off, c.text);
        short s = 0;
        int64_t l = 0;
        int bad = c.kind == 0 ? soctus(blk.b + c.off, &s)
                : c.kind == 1 ? soctul(blk.b + c.off, &l) : shexul(blk.b + c.off, &l);
        EXPECT_EQ(c.kind == 0 ? s : l, c.value) << c.text;
        EXPECT_EQ(bad, c.bad) << c.text;
    }
    unsigned char alone[kModeLen];  // outside the header: never read beyond the field
    memset(alone, ' ', sizeof alone);
    short v = 5;
    EXPECT_EQ(soctus(alone, &v), 1);
    EXPECT_EQ(v, 0);
}

TEST(HeaderCodec, WritesOctalForms) {
    struct { short value; char last; std::string want; } shorts[] = {
        {0644, ' ', B("   644 \0")}, {static_cast<short>(32768), ' ', B("700000 \0")},
        {static_cast<short>(65534), ' ', B("777776 \0")}, {static_cast<short>(70000), ' ', B(" 10560 \0")},
        {04755, ' ', B("  4755 \0")}, {0, '\0', B("     0\0\0")},
    };
    for (const auto &c : shorts) {
        Block blk;
        procts(blk.b + kUidOff, c.value, c.last);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(blk.b + kUidOff), kUidLen), c.want);
        short back = 0;
        EXPECT_EQ(soctus(blk.b + kUidOff, &back), 0);
        EXPECT_EQ(back, c.value);
    }
    Block blk;
    proctl(blk.b + kSizeOff, 5);
    proctl(blk.b + kMtimeOff, kMaxMemberSize);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk.b + kSizeOff), 24),
              "          5 77777777777 ");
}

TEST(HeaderCodec, ChecksumTakesBytesUnsignedAndFieldAsSpaces) {
    Block blk;
    EXPECT_EQ(headsum(blk.b), 8 * ' ');
    memset(blk.b, 0xFF, kBlockSize);
    EXPECT_EQ(headsum(blk.b), static_cast<short>(504 * 255 + 8 * ' '));
}

TEST(HeaderCodec, ExtentFields) {
    struct { std::string text; int want; } octal[] = {
        {B("2\0\0\0"), 1}, {B("123\0"), 1}, {B("2 \0\0"), 1}, {"1234", 0},
        {B("\0\0\0\0"), 0}, {B("2  \0"), 0}, {B("2\0x\0"), 0}};
    for (const auto &c : octal)
        EXPECT_EQ(isoctal(reinterpret_cast<const unsigned char *>(c.text.data()), 4), c.want) << c.text;
    struct { char type; const char *num, *total; int want; } ext[] = {
        {'0', "2", "3720", 2}, {'0', "2", "1000", -1}, {'0', "4", "3720", -1}, {'5', "2", "3720", -1}};
    for (const auto &c : ext) {
        Block blk;
        blk.b[kTypeOff] = static_cast<unsigned char>(c.type);
        blk.put(kExtNumOff, c.num);
        blk.put(kExtCountOff, "3");
        blk.put(kExtTotalOff, c.total);
        st.st_size = 512;
        short count = 0;
        int64_t total = 0;
        EXPECT_EQ(isextent(&count, &total), c.want) << c.num << " " << c.total;
        if (c.want > 0) {
            EXPECT_EQ(count, 3);
            EXPECT_EQ(total, 2000);
        }
    }
}

TEST(HeaderCodec, MagicsAndTypes) {
    struct { std::string magic; char type; int want; } magics[] = {
        {"ustar", '0', 'u'}, {"ustar", '\0', 0}, {"ustar  ", '0', 'u'}, {"ustar   ", '0', 0},
        {"GNUtar ", '0', 'G'}, {"GNUtar", '0', 'G'}, {"ustaR", '0', 0}, {"", '0', 0}};
    for (const auto &c : magics) {
        Block blk;
        blk.b[kTypeOff] = static_cast<unsigned char>(c.type);
        blk.put(kMagicOff, c.magic);
        EXPECT_EQ(ismagic(), c.want) << c.magic;
    }
    const std::string types = B("\0" "01234567DMSVx"), letters = "   lcbdp D,?v?", data = "11000000111100";
    for (size_t i = 0; i < types.size(); i++) {
        Block blk;
        blk.b[kTypeOff] = static_cast<unsigned char>(types[i]);
        EXPECT_EQ(prefix(), letters[i]) << i;
        EXPECT_EQ(usize(), data[i] - '0') << i;
    }
}
