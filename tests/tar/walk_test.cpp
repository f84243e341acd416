// walk_test.cpp - the pattern match (mismatch, inargs), the member texts
// (prmode, okwork), skipping data blocks, and scantape's selection, order
// and failures, run over archive files opened by the block layer.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST(Mismatch, TableAndThePlainRulesOnEverySmallInput) {
    struct { const char *pat, *text; int len, want; } cases[] = {
        {"", "", 0, 0},        {"*", "", 0, 1},         {"a*", "a", 1, 1},      {"a*", "ab", 2, 0},
        {"*a", "a", 1, 0},     {"b", "a/b", 3, -1},     {"*/b", "a/b", 3, 0},   {"a?b", "a/b", 3, 0},
        {"ab", "abc", 3, 1},   {"abc", "ab", 2, 1},     {"a*c", "abd", 3, 1},   {"x*", "abc", 3, -1},
        {"A", "a", 1, -1},     {"**a", "ba", 2, 0},     {"a", "ab", 1, 0},      {"*a*", "ba", 2, 1},
        {"*a*", "bab", 3, 0},  {"", "a", 1, 1},         {"a", "a", -1, 1},      {"*", nullptr, 0, 1}};
    for (const auto &c : cases) EXPECT_EQ(mismatch(c.pat, c.text, c.len), c.want) << c.pat << " / " << (c.text ? c.text : "");
    // Every pattern of up to 5 of "ab*?" against every text of up to 6 of "ab".
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
    struct { int type; unsigned mode; const char *shown; } cases[] = {
        {' ', S_IFDIR | 0755, "drwxr-xr-x"}, {' ', S_IFIFO | 0644, "prw-r--r--"}, {' ', S_IFCHR | 0600, "crw-------"},
        {' ', S_IFBLK | 0600, "brw-------"}, {' ', S_IFLNK | 0777, "lrwxrwxrwx"}, {' ', S_IFREG | 0644, " rw-r--r--"},
        {' ', 0644, " rw-r--r--"},           {' ', S_IFSOCK | 0755, "?rwxr-xr-x"}, {',', S_IFREG | 0640, ",rw-r-----"}};
    std::string want;
    for (const auto &c : cases) {
        struct stat s = {};
        s.st_mode = c.mode, s.st_uid = 12, s.st_gid = 3, s.st_size = 1234567;
        EXPECT_EQ(okwork('x', c.type, &s, "d/n"), 1);
        want += std::string("x ") + c.shown + "  12/3 1234567 d/n\n\n";
    }
    EXPECT_EQ(trace.text(), want);
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

TEST(Skipfile, BlocksOfASizeThenTheNextHeader) {
    tk::TempDir dir;
    for (int64_t size : {0, 1, 512, 513}) {
        tk::write_file(dir / "a.tar", tk::TarBuilder().add(file("a", static_cast<size_t>(size))).file("next", "x").finish());
        ReadRun run(dir / "a.tar");
        ASSERT_EQ(gethead(1), 1);
        EXPECT_EQ(skipfile(), 1);
        std::regex want("blocks to read in this file " + std::to_string((size + 511) / 512) +
                        " \\(extract [0-9]+\\) st\\.st_size=" + std::to_string(size) + " \n");
        EXPECT_TRUE(std::regex_match(run.msg, want)) << run.msg;
        ASSERT_EQ(gethead(1), 1);
        EXPECT_STREQ(reinterpret_cast<char *>(hblock), "next");
    }
}

// The action records each member it is given and fails at the fail_at'th.
std::vector<std::string> seen;
size_t fail_at;
int record() {
    seen.push_back(reinterpret_cast<char *>(hblock));
    return (usize() && !skipfile()) || seen.size() == fail_at ? 0 : 1;
}

TEST(Scantape, SelectionOrderAndFailures) {
    tk::TempDir dir;
    tk::TarBuilder b;
    b.add(file("d/1", 700)).add(file("x", 10)).add(file("d/2", 0)).add(file("d", 3)).add(file("dd", 600));
    std::string all = b.finish(0);
    std::vector<std::string> five{"d/1", "x", "d/2", "d", "dd"}, d3{"d/1", "d/2", "d"};
    const std::string missing = "Member '' not found in archive\n\n";
    struct { unsigned char extract; std::string pattern; size_t fail_at; bool ended; int rc;
             std::vector<std::string> seen; std::string trace; } cases[] = {
        {1, "d", 0, true, 1, d3, ""},        {0, "", 0, true, 1, five, ""},   {0, "nothing", 0, true, 1, {}, ""},
        {1, "", 0, true, 0, {}, missing + missing},                            // once as error, once as information
        {1, "d", 2, true, 0, {"d/1", "d/2"}, ""}, {0, "", 0, false, 0, five, "archive read error\n\n"}};
    for (const auto &c : cases) {
        tk::write_file(dir / "a.tar", c.ended ? all + std::string(1024, '\0') : all);
        Trace trace(dir / "t");
        ReadRun run(dir / "a.tar", c.extract, !c.extract);
        seen.clear(), fail_at = c.fail_at;
        EXPECT_EQ(scantape(c.pattern.c_str(), record, 1), c.rc) << c.pattern;
        EXPECT_EQ(seen, c.seen) << c.pattern;
        EXPECT_EQ(essentials(trace.text()), c.trace) << c.pattern;
        EXPECT_EQ(c.trace.find(std::string(run.msg) + "\n\n"), c.trace.empty() ? std::string::npos : 0);
    }
}

}  // namespace
