// compress_test.cpp - compressed archives end to end: what GNU tar and Python
// compress is listed and extracted (memory, file, -POSIX, a pipe); -COMPRESS
// writes what they read back; damage is named; changes are refused.
#include <gtest/gtest.h>

#include "testkit/testkit.h"

namespace {

// lead: what a pipe writes before the archive (zstd: a skippable frame, as pzstd writes).
// alone: the tool that compresses a tar stream as the library does in one thread.
struct Kind {
    const char *name, *tar_flag, *python_mode, *lead, *alone = "";
};
const Kind kCodecs[] = {{"gzip", "-z", "w:gz", ""},
                        {"zstd", "--zstd", "", "P*M\\030\\004\\000\\000\\000four"},
                        {"xz", "-J", "w:xz", "", "xz -6 -T1"},
                        {"bzip2", "-j", "w:bz2", "", "bzip2 -9"}};

const std::string kData = tk::pattern_bytes(300000, 7), kLong = std::string(150, 'l');

TEST(Compress, ReadsWhatGnuTarAndPythonCompress) {
    for (const Kind &c : kCodecs) {
        SCOPED_TRACE(c.name);
        tk::Cwd t;
        tk::write_file("d", kData);
        tk::write_file(kLong, "long");
        ASSERT_EQ(0, tk::sh(std::string("tar ") + c.tar_flag + " -cf g.tar d " + kLong +
                            " && mkfifo p q && (printf '" + c.lead + "'; cat g.tar) >s.tar"));
        std::vector<std::string> archives = {"g.tar", "p", "q"};
        if (*c.python_mode) {
            ASSERT_EQ(
                0, tk::sh(std::string("python3 -c \"import tarfile; t = tarfile.open('y.tar', '") +
                          c.python_mode + "'); t.add('d'); t.close()\""));
            archives.push_back("y.tar");
        }
        for (const std::string &a : archives) {
            SCOPED_TRACE(a);
            // A pipe is read as it comes: its first reads, made to tell the
            // codec, go on to the walk; a first piece shorter than any signature
            // is read on from.
            if (a == "p") {
                ASSERT_EQ(0, tk::sh("(cat g.tar >p &)"));
            }
            if (a == "q") {
                ASSERT_EQ(0, tk::sh("((head -c 1 s.tar; sleep 0.2; tail -c +2 s.tar) >q &)"));
            }
            tk::Call mem("-ARCHIVE " + a + " -MEMBER d -x");
            EXPECT_EQ("0 GetArchive_succeeded", mem.get());
            EXPECT_TRUE(mem.out() == kData);
            if (a == "p" || a == "q") continue;
            tk::Call file("-ARCHIVE " + a + " -MEMBER d -x -UNIQUE -FILE x");
            EXPECT_EQ("0 GetArchive_succeeded", file.get());
            EXPECT_TRUE(tk::read_file(file.filename()) == kData);
            tk::Listed l = tk::list(a);
            EXPECT_NE(std::string::npos, l.entries.find(" 300000  d\n")) << l.trace;
        }
        tk::Call posix("-ARCHIVE g.tar -MEMBER l* -x -POSIX");
        EXPECT_EQ("0 GetArchive_succeeded", posix.get());
        EXPECT_EQ("long", posix.out());
    }
}

TEST(Compress, WritesWhatOthersReadAndRefusesChanges) {
    // Data for several blocks of the workers (gzip's, bzip2's), then the usual member.
    std::string big;
    for (size_t i = 0; big.size() < (5u << 19); i++) big += std::to_string(i * i) + " squared\n";
    for (const Kind &c : kCodecs) {
        SCOPED_TRACE(c.name);
        tk::Cwd t;
        for (const char *threads : {"1", "2", "7", ""}) {
            SCOPED_TRACE(threads);
            const std::string &data = *threads ? big : kData;
            tk::write_file("d", data);
            setenv("Z9TAR_THREADS", threads, 1);
            std::string put = tk::Call(std::string("-ARCHIVE a.tar -c -MEMBER x -FILE d -COMPRESS ") + c.name).put();
            unsetenv("Z9TAR_THREADS");
            ASSERT_EQ(tk::kPut, put);
            EXPECT_TRUE(tk::sh_out(std::string("tar ") + c.tar_flag + " -xOf a.tar 2>/dev/null") == data);
            if (*c.python_mode) {
                EXPECT_TRUE(tk::python("a.tar").at(0).data == data);
            }
            // One thread writes what the codec's library writes alone; workers do not.
            if (*c.alone && *threads) {
                std::string again = tk::sh_out(std::string(c.name) + " -dc a.tar | " + c.alone + " -c");
                EXPECT_EQ(again == tk::read_file("a.tar"), std::string(threads) == "1");
            }
        }
        // A compressed archive is read, never changed in place; neither is a
        // new one asked of an append.
        std::string before = tk::read_file("a.tar");
        EXPECT_EQ(
            "-1 'a.tar' is compressed: append, delete and replace need an uncompressed archive",
            tk::Call("-ARCHIVE a.tar -a -MEMBER y").put("y"));
        EXPECT_EQ(
            "-1 'a.tar' is compressed: append, delete and replace need an uncompressed archive",
            tk::Call("-ARCHIVE a.tar -d -MEMBER x").get());
        EXPECT_EQ(
            "-1 -COMPRESS works with -c only: append, delete and replace need an uncompressed "
            "archive",
            tk::Call(std::string("-ARCHIVE a.tar -a -MEMBER y -COMPRESS ") + c.name).put("y"));
        EXPECT_TRUE(before == tk::read_file("a.tar"));
        // Damage is named: a stream cut short, and one with a byte changed
        // (past the start, which must decode for the archive to count as
        // compressed at all).
        for (bool cut : {true, false}) {
            std::string bad = before;
            if (cut)
                bad.resize(bad.size() / 2);
            else
                bad[bad.size() * 3 / 4] ^= 0x10;
            tk::write_file("bad.tar", bad);
            std::string got = tk::Call("-ARCHIVE bad.tar -MEMBER x -x").get();
            EXPECT_EQ(0u, got.find("-1 compressed data error in 'bad.tar': ")) << got;
        }
    }
    EXPECT_EQ("-1 -COMPRESS 'lz4' is no codec: gzip, zstd, xz or bzip2",
              tk::Call("-ARCHIVE n.tar -c -MEMBER y -COMPRESS lz4").put("y"));
    EXPECT_FALSE((tk::status("n.tar").st_mode != 0));
}

}   // namespace
