// walk_test.cpp - the pattern match (mismatch, inargs), the member texts
// (prmode, okwork), skipping data blocks, and scantape's selection, order
// and failures, run over archive files opened by the block layer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

namespace {

// The match as its rules read, without any table: the reference that the
// memoised version must agree with on every small input.
int reference(const char *p, const char *t, int n) {
    for (;;) {
        if (*p == '\0' || n == 0) return (*p == '\0' && n == 0) ? 0 : 1;
        if (*p == '*') {
            while (*p == '*') p++;
            for (;; t++, n--) {
                if (n == 0) return *p == '\0' ? 0 : 1;
                if (reference(p, t, n) == 0) return 0;
            }
        }
        if (*p != '?' && *p != *t) return -1;
        p++, t++, n--;
    }
}

TEST(Mismatch, Table) {
    struct { const char *pat, *text; int len, want; } cases[] = {
        {"", "", 0, 0},        {"*", "", 0, 1},         {"a*", "a", 1, 1},      {"a*", "ab", 2, 0},
        {"*a", "a", 1, 0},     {"b", "a/b", 3, -1},     {"*/b", "a/b", 3, 0},   {"a?b", "a/b", 3, 0},
        {"ab", "abc", 3, 1},   {"abc", "ab", 2, 1},     {"a*c", "abd", 3, 1},   {"x*", "abc", 3, -1},
        {"A", "a", 1, -1},     {"**a", "ba", 2, 0},     {"a", "ab", 1, 0},      {"*a*", "ba", 2, 1},
        {"*a*", "bab", 3, 0},  {"", "a", 1, 1},         {"a", "a", -1, 1},      {"*", nullptr, 0, 1}};
    for (const auto &c : cases) EXPECT_EQ(mismatch(c.pat, c.text, c.len), c.want) << c.pat << " / " << (c.text ? c.text : "");
}

TEST(Mismatch, AgreesWithThePlainRulesOnEverySmallInput) {
    std::vector<std::string> pats{""}, texts{""};
    for (size_t i = 0; i < pats.size() && pats[i].size() < 5; i++)
        for (char c : std::string("ab*?")) pats.push_back(pats[i] + c);
    for (size_t i = 0; i < texts.size() && texts[i].size() < 6; i++)
        for (char c : std::string("ab")) texts.push_back(texts[i] + c);
    for (const auto &p : pats)
        for (const auto &t : texts)
            for (int n = 0; n <= static_cast<int>(t.size()); n++)
                ASSERT_EQ(mismatch(p.c_str(), t.c_str(), n), reference(p.c_str(), t.c_str(), n)) << p << " / " << t;
}

TEST(Mismatch, ManyStarsAgainstALongNameFinish) {
    // Without the table this takes longer than any test timeout.
    std::string name(100, 'a'), pat;
    for (int i = 0; i < 48; i++) pat += "*a";
    EXPECT_EQ(mismatch((pat + "*b").c_str(), name.c_str(), 100), 1);
    EXPECT_EQ(mismatch((pat + "*b").c_str(), (name + "b").c_str(), 101), 0);
    EXPECT_EQ(inargs("*a*a*a*a*a*a*a*a*a*a*a*b", name.c_str()), 0);
    // Beyond the name and pattern limits the table comes from the heap.
    std::string huge(300, 'a');
    EXPECT_EQ(mismatch((pat + pat + "*b").c_str(), huge.c_str(), 300), 1);
}

TEST(Inargs, Table) {
    std::string longname(100, 'x');
    struct { std::string pat, name; int want; } cases[] = {
        {"b", "a/b", 0},        {"*/b", "a/b", 1},     {"a?b", "a/b", 1},     {"dir", "dir", 1},
        {"dir", "dir/x", 1},    {"dir", "dirt", 0},    {"dir", "dir/", 1},    {"*.txt", "a.txt", 1},
        {"*.txt", "x/y.txt", 1}, {"/x", "/x/y", 1},    {"a/b", "a/b/c", 1},   {"a/b/c", "a/b", 0},
        {"", "a", 0},           {"a", "", 0},          {"*", longname, 1},    {"x", longname, 0},
        {"a*", "a", 0},         {"a*", "a/b", 1}};
    for (const auto &c : cases) EXPECT_EQ(inargs(c.pat.c_str(), c.name.c_str()), c.want) << c.pat << " / " << c.name;
}

TEST(Prmode, Table) {
    struct { int type, mode; const char *want; } cases[] = {
        {' ', 04755, " rwsr-xr-x"}, {' ', 01777, " rwxrwxrwt"}, {' ', 04644, " rwsr--r--"},
        {'d', 0755, "drwxr-xr-x"},  {'-', 0, "----------"},     {' ', 02750, " rwxr-s---"},
        {' ', 07000, " --s--s--t"}, {'l', 0100777, "lrwxrwxrwx"}};
    for (const auto &c : cases) EXPECT_STREQ(prmode(c.type, c.mode), c.want) << std::oct << c.mode;
}

// The trace without the block layer's and the skip's information entries.
std::string essentials(const std::string &trace) {
    return std::regex_replace(trace, std::regex("(blocks to read in this file|blocksize =)[^\n]*\n\n\n"), "");
}

// A trace file in the entry points' mode (text and an empty line per entry).
struct Trace {
    std::string path;
    explicit Trace(const std::string &p) : path(p) {
        OrvLogInit();
        OrvLogOpen(path.c_str(), 1);
        OrvLogSetMode(2);
        OrvLogSetLevel(5);
    }
    std::string text() {
        OrvLogClose();
        return tk::read_file(path);
    }
};

TEST(Okwork, TypeFromTheModeWhenGivenASpace) {
    tk::TempDir dir;
    Trace trace(dir / "t");
    struct { int type; unsigned mode; } cases[] = {{' ', S_IFDIR | 0755}, {' ', S_IFIFO | 0644}, {' ', S_IFCHR | 0600},
                                                   {' ', S_IFBLK | 0600}, {' ', S_IFLNK | 0777}, {' ', S_IFREG | 0644},
                                                   {' ', 0644},           {' ', S_IFSOCK | 0755}, {',', S_IFREG | 0640}};
    for (const auto &c : cases) {
        struct stat s = {};
        s.st_mode = c.mode, s.st_uid = 12, s.st_gid = 3, s.st_size = 1234567;
        EXPECT_EQ(okwork('x', c.type, &s, "d/n"), 1);
    }
    EXPECT_EQ(trace.text(),
              "x drwxr-xr-x  12/3 1234567 d/n\n\nx prw-r--r--  12/3 1234567 d/n\n\nx crw-------  12/3 1234567 d/n\n\n"
              "x brw-------  12/3 1234567 d/n\n\nx lrwxrwxrwx  12/3 1234567 d/n\n\nx  rw-r--r--  12/3 1234567 d/n\n\n"
              "x  rw-r--r--  12/3 1234567 d/n\n\nx ?rwxr-xr-x  12/3 1234567 d/n\n\nx ,rw-r-----  12/3 1234567 d/n\n\n");
}

// One read run over an archive file, as the driver sets it up.
struct ReadRun {
    char msg[kMessageSize] = {};
    explicit ReadRun(const std::string &path, unsigned char extract = 0, unsigned char list = 0) {
        a_flag = c_flag = d_flag = file_flag = 0;
        x_flag = extract, t_flag = list;
        mszErrMsg = msg;
        cblock = 0;
        EXPECT_EQ(initape(path.c_str()), 1);
        io_2nd = io_buf = getbuf(kRecordBytes);
        runtape();
    }
    ~ReadRun() {
        _done();
        mszErrMsg = nullptr;
        x_flag = t_flag = 0;
    }
};

tk::Member file(const std::string &name, size_t size) {
    tk::Member m;
    m.name = name;
    m.data = tk::pattern_bytes(size);
    return m;
}

TEST(Skipfile, BlocksOfASizeAndTheNextHeaderAfterThem) {
    tk::TempDir dir;
    for (int64_t size : {0, 1, 512, 513}) {
        tk::write_file(dir / "a.tar", tk::TarBuilder().add(file("a", static_cast<size_t>(size))).file("next", "x").finish());
        ReadRun run(dir / "a.tar");
        ASSERT_EQ(gethead(1), 1);
        EXPECT_EQ(skipfile(), 1);
        int64_t n = (size + 511) / 512;
        std::regex want("blocks to read in this file " + std::to_string(n) + " \\(extract [0-9]+\\) st\\.st_size=" +
                        std::to_string(size) + " \n");
        EXPECT_TRUE(std::regex_match(run.msg, want)) << run.msg;
        ASSERT_EQ(gethead(1), 1);   // the very next block is the next header
        EXPECT_STREQ(reinterpret_cast<char *>(hblock), "next");
    }
}

TEST(Skipfile, ArchiveEndingInsideTheDataSaysHowManyBlocksWereLeft) {
    tk::TempDir dir;
    // Header and 3 of 10 data blocks; then one of 100 data blocks of which 60
    // exist, so whole records are passed over before the end is met.
    struct { size_t size, kept; const char *want; } cases[] = {
        {5000, 3, "zero bytes read, expected 10 blocks, blocks left 7\n"},
        {51200, 60, "zero bytes read, expected 100 blocks, blocks left 40\n"}};
    for (const auto &c : cases) {
        std::string bytes = tk::TarBuilder().add(file("a", c.size)).finish(0).substr(0, (c.kept + 1) * 512);
        tk::write_file(dir / "a.tar", bytes);
        ReadRun run(dir / "a.tar");
        ASSERT_EQ(gethead(1), 1);
        EXPECT_EQ(skipfile(), 0);
        EXPECT_STREQ(run.msg, c.want);
    }
}

// Walks an archive with an action that records each member it is given.
struct Walk {
    std::vector<std::string> seen;
    int fail_at = 0;
    int scan(const char *pattern) {
        static Walk *self;
        self = this;
        return scantape(pattern, [] {
            self->seen.push_back(reinterpret_cast<char *>(hblock));
            if (usize() && !skipfile()) return 0;
            return static_cast<int>(self->seen.size()) == self->fail_at ? 0 : 1;
        }, 1);
    }
};

std::string three_dirs(const tk::TempDir &dir) {
    tk::write_file(dir / "a.tar", tk::TarBuilder()
                                      .add(file("d/1", 700)).add(file("x", 10)).add(file("d/2", 0))
                                      .add(file("d", 3)).add(file("dd", 600)).finish());
    return dir / "a.tar";
}

TEST(Scantape, EveryMatchInArchiveOrderOthersSkipped) {
    tk::TempDir dir;
    ReadRun run(three_dirs(dir), 1);
    Walk w;
    EXPECT_EQ(w.scan("d"), 1);
    EXPECT_EQ(w.seen, (std::vector<std::string>{"d/1", "d/2", "d"}));
}

TEST(Scantape, EmptyPatternListsAllButExtractsNothing) {
    tk::TempDir dir;
    {
        ReadRun run(three_dirs(dir), 0, 1);
        Walk w;
        EXPECT_EQ(w.scan(""), 1);
        EXPECT_EQ(w.seen.size(), 5u);
    }
    Trace trace(dir / "t");
    ReadRun run(three_dirs(dir), 1);
    Walk w;
    EXPECT_EQ(w.scan(""), 0);
    EXPECT_TRUE(w.seen.empty());
    EXPECT_STREQ(run.msg, "Member '' not found in archive");
    // Once as the error and once among the information lines.
    EXPECT_EQ(essentials(trace.text()), "Member '' not found in archive\n\nMember '' not found in archive\n\n");
}

TEST(Scantape, NoMatchIsFineOutsideAnExtraction) {
    tk::TempDir dir;
    ReadRun run(three_dirs(dir), 0, 1);
    Walk w;
    EXPECT_EQ(w.scan("nothing"), 1);
    EXPECT_TRUE(w.seen.empty());
}

TEST(Scantape, StopsAtAFailingActionAndAtAMissingEnd) {
    tk::TempDir dir;
    {
        ReadRun run(three_dirs(dir), 1);
        Walk w;
        w.fail_at = 2;
        EXPECT_EQ(w.scan("d"), 0);
        EXPECT_EQ(w.seen.size(), 2u);
    }
    // No end marker: no further block where a header was expected.
    tk::write_file(dir / "b.tar", tk::TarBuilder().add(file("a", 5)).finish(0));
    ReadRun run(dir / "b.tar", 0, 1);
    Walk w;
    EXPECT_EQ(w.scan(""), 0);
    EXPECT_EQ(w.seen.size(), 1u);
}

TEST(Delfile, LogsTheDropAndPassesOverTheData) {
    tk::TempDir dir;
    tk::Member link;
    link.name = "h", link.type = '1', link.link = "a", link.size = 700;
    tk::write_file(dir / "a.tar", tk::TarBuilder().add(file("a", 700)).add(link).file("b", "x").finish());
    Trace trace(dir / "t");
    ReadRun run(dir / "a.tar");
    ASSERT_EQ(gethead(1), 1);
    EXPECT_EQ(delfile(), 1);
    ASSERT_EQ(gethead(1), 1);
    EXPECT_EQ(delfile(), 1);   // a link's size has no blocks behind it
    ASSERT_EQ(gethead(1), 1);
    EXPECT_STREQ(reinterpret_cast<char *>(hblock), "b");
    EXPECT_EQ(essentials(trace.text()), "d a, 700 bytes, 2 tape blocks\n\n\nd h, 700 bytes, 2 tape blocks\n\n\n");
}

}  // namespace
