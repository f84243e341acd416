// delete_test.cpp - "-d" end to end: what the archive holds afterwards (and
// that GNU tar still reads it), links dropped with their target, nothing to
// delete, refusals and failures, and that every kind of run leaves no
// descriptor, buffer or scratch file behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tape/tape.h"
#include "tar/format.h"
#include "tests/testkit/testkit.h"

namespace {

struct Deleted {
    int rc;
    std::string message, trace;
};

// The trace lives in a directory of its own, so that the archive's
// directory shows exactly what the run left there.
Deleted run(const std::string &archive, const std::string &member, const std::string &flags = "-d") {
    tk::TempDir traces;
    tk::Call call("-ARCHIVE " + archive + " -MEMBER " + member + " " + flags + " -T " + (traces / "t"));
    int rc = call.get();
    return {rc, call.message(), tk::trace_text(traces / "t")};
}

bool has(const std::string &trace, const std::string &entry) {
    return trace.find("\n\n" + entry + "\n\n") != std::string::npos;
}

// GNU tar's standard output; it warns about our single end block on stderr.
std::string gnu(const tk::TempDir &dir, const std::string &args) {
    return tk::sh_out("cd " + dir.path() + " && tar " + args + " 2>/dev/null");
}

TEST(Delete, TheOnlyMemberLeavesTheEndMarker) {
    tk::TempDir dir;
    tk::write_file(dir / "a.tar", tk::TarBuilder().file("only", "data").finish());
    Deleted d = run(dir / "a.tar", "only");
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.message, "GetArchive_succeeded");
    EXPECT_TRUE(has(d.trace, "Deleting 'only' (4 bytes, 1 tape blocks) from archive"));
    EXPECT_EQ(tk::read_file(dir / "a.tar"), std::string(kBlockSize, '\0'));
    EXPECT_EQ(tk::list_dir(dir.path()), std::vector<std::string>{"a.tar"});
    EXPECT_EQ(gnu(dir, "-tf a.tar"), "");
}

TEST(Delete, LinksToTheMemberGoWithIt) {
    tk::TempDir dir;
    ASSERT_EQ(tk::sh("cd " + dir.path() + " && echo one > a.txt && echo two > b.txt && ln a.txt hard && "
                     "ln -s a.txt sym && tar --format=gnu -cf x.tar a.txt hard sym b.txt && rm a.txt b.txt hard sym"), 0);
    Deleted d = run(dir / "x.tar", "a.txt");
    EXPECT_EQ(d.rc, 0);
    for (const char *name : {"a.txt", "hard", "sym"})
        EXPECT_NE(d.trace.find(std::string("Deleting '") + name + "'"), std::string::npos) << name;
    EXPECT_EQ(gnu(dir, "-tf x.tar"), "b.txt\n");
    EXPECT_EQ(gnu(dir, "-xOf x.tar b.txt"), "two\n");
    EXPECT_EQ(tk::list_dir(dir.path()), std::vector<std::string>{"x.tar"});
}

TEST(Delete, KeptMembersCrossRecordsByteForByte) {
    tk::TempDir dir;
    // Three members of 20 blocks each in GNU tar's 20-block records.
    for (unsigned i = 1; i <= 3; i++) tk::write_file(dir / ("f" + std::to_string(i)), tk::pattern_bytes(10000, i));
    ASSERT_EQ(tk::sh("cd " + dir.path() + " && tar --format=ustar -cf x.tar f1 f2 f3 && rm f1 f2 f3"), 0);
    EXPECT_EQ(run(dir / "x.tar", "f2").rc, 0);
    EXPECT_EQ(gnu(dir, "-tf x.tar"), "f1\nf3\n");
    EXPECT_TRUE(gnu(dir, "-xOf x.tar f3") == tk::pattern_bytes(10000, 3));
    EXPECT_EQ(tk::read_file(dir / "x.tar").size(), 43u * kBlockSize);   // 2 x 21 blocks, end marker
}

// Every kind of read-side run, good or failed, leaves nothing held and no
// file beside the archive; a run that changes nothing leaves it byte for byte.
TEST(Release, EveryRunLeavesNoDescriptorBufferOrScratchFile) {
    tk::TempDir dir;
    std::string good = tk::TarBuilder().file("a", "1").file("b/c", "2").finish();
    std::string no_end = good.substr(0, 4 * kBlockSize), ok = "GetArchive_succeeded";
    // A header with a good checksum but a bad size field between two members.
    tk::Member bad;
    bad.name = "bad";
    std::string bad_head = tk::TarBuilder::header(bad);
    bad_head.replace(124, 4, "12x ");
    tk::TarBuilder::set_checksum(bad_head);
    std::string damaged = tk::TarBuilder().file("a", "1").raw(bad_head).file("c", "3").finish();
    struct { std::string bytes, member, flags; bool same; std::string message, entry; } cases[] = {
        {good, "c", "-d", true, ok, "archive unchanged"},   // matching starts at the name's beginning
        {good, "a", "-d", false, ok, "Deleting 'a' (1 bytes, 1 tape blocks) from archive"},
        {no_end, "a", "-d", true, "Unable_to_read_archive", "Unable_to_read_archive"},
        {damaged, "a", "-d", true, "Unable_to_read_archive", "bad directory structure"},
        {"", "a", "-d", true, "Unable_to_read_archive", "archive read error"},
        {"/dev/null", "a", "-d", true, "delete_option_(-d)_is_for_file_archives_only",
         "delete_option_(-d)_is_for_file_archives_only"},
        {"", "a", "-CAT", true, "archive read error", "archive read error"},
        {good, "a", "-CAT", true, ok, "Total 1 file(s) for 1 bytes in 6 tape blocks"},
        {good, "zz", "-x", true, "Member 'zz' not found in archive", "Member 'zz' not found in archive"},
        {"-", "a", "-d", true, "Failed_to_open_archive", "Failed to open archive (" + (dir / "a.tar") + ")"}};
    int fds = tk::count_fds();
    for (const auto &c : cases) {
        // "/dev/null": the archive is a link to that character device; "-": none.
        if (c.bytes == "/dev/null") ASSERT_EQ(symlink("/dev/null", (dir / "a.tar").c_str()), 0);
        else if (c.bytes != "-") tk::write_file(dir / "a.tar", c.bytes);
        Deleted d = run(dir / "a.tar", c.member, c.flags);
        EXPECT_EQ(d.rc, c.message == ok ? 0 : -1) << c.flags << " " << c.member;
        EXPECT_EQ(d.message, c.message);
        EXPECT_TRUE(has(d.trace, c.entry)) << c.entry;
        if (c.bytes != "-" && c.bytes != "/dev/null") {
            EXPECT_EQ(tk::read_file(dir / "a.tar") == c.bytes, c.same) << c.flags << " " << c.member;
        }
        EXPECT_EQ(tk::count_fds(), fds) << c.flags << " " << c.member;
        EXPECT_TRUE(handle == -1 && hwrite == -1 && !scratch && !io_buf && !io_2nd) << c.flags;
        EXPECT_EQ(tk::list_dir(dir.path()), c.bytes == "-" ? std::vector<std::string>{} : std::vector<std::string>{"a.tar"});
        unlink((dir / "a.tar").c_str());
    }
}

}  // namespace
