// interop_test.cpp - archives passed between the library, GNU tar and Python's
// tarfile: one data set written by each and read by the others, member by
// member; and what the library makes of what the others write beyond the
// classic format (long names, pax headers, base-256 numbers, sparse files).
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <map>

#include "testkit/testkit.h"

namespace {

constexpr time_t kTime = 1700000000;   // every writer's fixed time

// The data set, in archive order: name, typeflag, mode, size, link target.
struct Item { std::string name; char type; unsigned mode; size_t size; std::string link; };
const std::vector<Item> kSet = {
    {"e0", '0', 0644, 0, ""},         {"f1", '0', 0640, 1, ""},       {"f511", '0', 0600, 511, ""},
    {"f512", '0', 0755, 512, ""},     {"sub/", '5', 0750, 0, ""},     {"sub/f513", '0', 0604, 513, ""},
    {"f70000", '0', 0444, 70000, ""}, {"hard", '1', 0600, 0, "f511"}, {"sym", '2', 0777, 0, "f1"},
    {"fifo", '6', 0620, 0, ""}};

const Item &item(const std::string &name) {
    return *std::find_if(kSet.begin(), kSet.end(), [&](const Item &i) { return i.name == name; });
}
std::string data(const Item &i) { return tk::pattern_bytes(i.size, static_cast<unsigned>(i.size) + 7); }

// The data set on disk under src/, every object at the fixed time.
void make_tree() {
    mkdir("src", 0755);
    struct utimbuf t = {kTime, kTime};
    for (const Item &i : kSet) {
        std::string p = "src/" + i.name;
        if (i.type == '0') tk::write_file(p, data(i));
        if (i.type == '1' || i.type == '2') (i.type == '1' ? link : symlink)((i.type == '1' ? "src/" + i.link : i.link).c_str(), p.c_str());
        if (i.type == '5' || i.type == '6') (i.type == '5' ? mkdir : mkfifo)(p.c_str(), 0700);
        if (i.type != '1' && i.type != '2') chmod(p.c_str(), i.mode);
    }
    for (const Item &i : kSet) utime(("src/" + i.name).c_str(), &t);
}

// Each item extracted alone into the current directory, in memory and for a
// regular file to a file too: the bytes, mode, time and link come back. A
// symbolic link is refused; a directory member's name ends in '/', so it is
// made by the path rule, with mode 0777 whatever the archive says.
void library_extracts(const std::vector<Item> &items) {
    for (const Item &i : items) {
        SCOPED_TRACE(i.name);
        if (i.type == '1') tk::write_file(i.link, "");  // a link is made to what is on disk
        tk::Call mem("-ARCHIVE ../a.tar -MEMBER " + i.name + " -x"), file(mem.cmd + " -FILE oXXXXXX -UNIQUE");
        EXPECT_EQ(i.type == '2' ? -1 : 0, mem.get());
        EXPECT_EQ(i.type == '2' ? "'sym' unknown file type '2'\n" : "GetArchive_succeeded", mem.message());
        struct stat s = tk::status(i.type == '5' ? "sub" : i.name);
        EXPECT_EQ(i.type == '1' ? tk::status(i.link).st_ino : s.st_ino, s.st_ino);
        EXPECT_EQ(i.type == '5' ? S_IFDIR | 0777u : i.type == '6' ? S_IFIFO | i.mode : s.st_mode, s.st_mode);
        EXPECT_EQ(i.type == '5' || i.type == '6' ? kTime : s.st_mtime, s.st_mtime);
        if (i.type != '0') continue;
        ASSERT_EQ(0, file.get()) << file.message();
        s = tk::status(file.filename());
        EXPECT_EQ(i.name, file.filename().substr(0, file.filename().size() - 6));
        EXPECT_TRUE(mem.out() == data(i) && tk::read_file(file.filename()) == data(i));
        EXPECT_TRUE(s.st_mode == (S_IFREG | i.mode) && s.st_mtime == kTime);
    }
}

// GNU tar (three formats, three record sizes) and Python's tarfile (two
// formats) write the data set; the library lists (exactly) and extracts it.
TEST(Interop, LibraryReadsWhatGnuTarAndPythonWrite) {
    std::vector<std::string> writers;
    for (std::string format : {"v7", "ustar", "gnu"})
        for (std::string b : {"1", "20", "64"})
            writers.push_back("tar -C src --owner=0 --group=0 --numeric-owner --mtime=@1700000000 -b " + b +
                              " --format=" + format + " -cf a.tar e0 f1 f511 f512 sub f70000 hard sym" +
                              (format == "v7" ? "" : " fifo"));   // the oldest format cannot hold a FIFO
    for (std::string format : {"USTAR_FORMAT", "GNU_FORMAT"})
        writers.push_back("python3 -c \"import tarfile\nwith tarfile.open('a.tar', 'w', format=tarfile." + format +
                          ") as t:\n for n in 'e0 f1 f511 f512 sub sub/f513 f70000 hard sym fifo'.split():\n"
                          "  i = t.gettarinfo('src/' + n, n); i.uid = i.gid = 0; i.uname = i.gname = ''\n"
                          "  t.addfile(i, open('src/' + n, 'rb') if i.isreg() else None)\"");
    for (const std::string &command : writers) {
        SCOPED_TRACE(command);
        tk::TempCwd t;
        make_tree();
        ASSERT_EQ(0, tk::sh(command));
        std::vector<Item> items(kSet.begin(), kSet.end() - (command.find("v7") != std::string::npos ? 1 : 0));
        std::string want;
        for (const Item &i : items) {
            char line[200], letter = i.type == '2' ? 'l' : i.type == '5' ? 'd' : i.type == '6' ? 'p' : ' ';
            std::string rwx;
            for (unsigned k = 0; k < 9; k++) rwx += i.mode & (0400u >> k) ? "rwx"[k % 3] : '-';
            snprintf(line, sizeof line, "%c%s   0/0 %7zu  %s\n\n", letter, rwx.c_str(), i.size, i.name.c_str());
            want += line + (i.link.empty() ? "" : (i.type == '1' ? " linked to " : " symlink to ") + i.link + "\n\n");
        }
        tk::Listed l = tk::list("a.tar");
        EXPECT_EQ(want, l.entries);
        EXPECT_EQ(0u, l.totals.find("Total " + std::to_string(items.size()) + " file(s) for 71537 bytes"));
        ASSERT_EQ(0, mkdir("x", 0755));
        tk::Chdir in("x");
        library_extracts(items);
    }
}

// The library writes: a tree with a hard link, a FIFO and a symbolic link
// (followed: stored as a copy of f1; the directories get no header); single
// files created and appended; one deleted; one replaced. Python sees each
// member (name, type, mode, size, link; owners 0, the fixed time, the bytes);
// GNU tar lists the same names and reads the same bytes.
TEST(Interop, GnuTarAndPythonReadWhatTheLibraryWrites) {
    // A replace drops the archived copy when a file of its name is found, so
    // the replaced set is stored under the names of the source files.
    std::vector<std::string> appends, sources;
    for (std::string n : {"f70000", "f1", "sub/f513", "e0"}) {
        std::string op = appends.empty() ? "put -c" : "put -a";
        appends.push_back(op + " -MEMBER " + n + " -FILE src/" + n);
        sources.push_back(op + " -MEMBER src/" + n + " -FILE src/" + n);
    }
    // Each member: "name item [link]", the item of the data set it came from.
    struct Row { std::vector<std::string> calls, members; } rows[] = {
        {{"put -c -MEMBER x -FILE src"}, {"src/e0 e0", "src/f1 f1", "src/f512 f512", "src/sub/f513 sub/f513",
                                          "src/f70000 f70000", "src/sym f1", "src/fifo fifo"}},
        {appends, {"f70000 f70000", "f1 f1", "sub/f513 sub/f513", "e0 e0"}},
        {appends, {"f70000 f70000", "sub/f513 sub/f513", "e0 e0"}},
        {sources, {"src/f1 f1", "src/sub/f513 sub/f513", "src/e0 e0", "src/f70000 f512"}}};
    rows[2].calls.push_back("get -MEMBER f1 -d");
    rows[3].calls.push_back("put -MEMBER src/f70000 -d -a -FILE src/f512");
    for (Row &row : rows) {
        SCOPED_TRACE(row.calls.back());
        tk::TempCwd t;
        make_tree();
        for (const std::string &call : row.calls) {
            tk::Call c("-ARCHIVE a.tar " + call.substr(4) + " -UID 0 -GID 0");
            ASSERT_EQ(0, call[0] == 'p' ? c.put() : c.get()) << call << ": " << c.message();
        }
        bool tree = row.calls.size() == 1;
        if (tree) {  // the directory's order decides which of the two names holds the data
            std::string names = tk::sh_out("tar -tf a.tar 2>/dev/null"), first = "src/f511", second = "src/hard";
            if (names.find(second + "\n") < names.find(first + "\n")) std::swap(first, second);
            row.members.insert(row.members.end(), {first + " f511", second + " hard " + first});
        }
        std::vector<std::string> want, seen;
        std::map<std::string, std::string> from;
        auto entry = [](auto name, auto type, auto mode, auto size, auto link) {
            return name + " " + type + " " + std::to_string(mode) + " " + std::to_string(size) + " " + link;
        };
        for (const std::string &m : row.members) {
            std::istringstream in(m);
            std::string name, it, link;
            in >> name >> it >> link;
            const Item &i = item(from[name] = it);   // a link's header keeps the linked file's size
            want.push_back(entry(name, std::string(1, i.type), i.mode, i.type == '1' ? 511 : i.size, link));
        }
        std::string names, bytes;
        for (const tk::Seen &s : tk::python("a.tar")) {
            seen.push_back(entry(s.name, s.type, s.mode, s.size, s.link));
            EXPECT_TRUE(from.count(s.name) && s.uid == 0 && s.gid == 0 && s.mtime == kTime &&
                        s.data == data(item(from[s.name]))) << s.name;
            names += s.name + "\n", bytes += s.data;
        }
        if (tree) std::sort(want.begin(), want.end()), std::sort(seen.begin(), seen.end());
        EXPECT_EQ(want, seen);
        EXPECT_EQ(names, tk::gnu("tf a.tar"));
        EXPECT_TRUE(bytes == tk::gnu("xOf a.tar"));
    }
}

// What the library makes of what GNU tar and Python write beyond its format.
// Each archive starts with e0 (no bytes). The listing holds the texts pinned
// here, in order; the member is extracted in memory and to a file (source:
// the file whose bytes come back). Then e0 is deleted and a member appended:
// GNU tar must see exactly that change, or, where the library cannot copy or
// extend the archive faithfully, the run fails and the archive stays as it was.
struct Odd {
    std::string make;
    std::vector<std::string> listed;
    std::string member, extracted, source;
    bool deletes, appends;
};

const std::string kVars = "umask 022; G='tar -C src --owner=0 --group=0 --numeric-owner --mtime=@1700000000'; "
                          "L=$(printf %0120d 0); P=$(printf %0130d 0); D=$(printf %099d 0); ",
                  kCut = std::string(100, '0'), kSucceeded = "GetArchive_succeeded";
const std::vector<std::string> kStops = {"  e0\n", "bad directory structure\n", "Total 1 file(s) for 0 bytes"};

const Odd kOdd[] = {
    // GNU long names: 'L' and 'K' are unknown types without data; their data
    // blocks fail the checksum and are passed over; the member behind them is
    // named by its first 100 characters. A delete would lose those blocks.
    {"printf long >src/$L && ln -s $L src/ksym && $G --format=gnu -cf a.tar e0 $L ksym f1",
     {"?rw-r--r--   0/0     121  ././@LongLink\n\nunknown file type 'L'\n", " rw-r--r--   0/0       4  " + kCut,
      "unknown file type 'K'\n", "  ksym\n\n symlink to " + kCut + "\n", "  f1\n", "Total 6 file(s) for 5 bytes"},
     "././@LongLink", "'././@LongLink' unknown file type 'L'\n", "", false, true},
    // pax extended headers, GNU tar's ('x' for each member) and Python's (a
    // global 'g', an 'x' for a long name): the same.
    {"$G --format=pax -cf a.tar e0 f1",
     {"e0\n\nunknown file type 'x'\n", "  e0\n", "unknown file type 'x'\n", "  f1\n"},
     "f1", kSucceeded, "f1", false, true},
    {"cd src && printf long >$L && python3 -c \"import tarfile; t = tarfile.open('../a.tar', 'w', "
     "pax_headers={'comment': 'hi'}); [t.add(n) for n in ('e0', '$L', 'f1')]; t.close()\"",
     {"unknown file type 'g'\n", "  e0\n", "unknown file type 'x'\n", "  " + kCut + "\n", "  f1\n"},
     "f1", kSucceeded, "f1", false, true},
    // Base-256 numbers (an owner above 2097151, a negative time, a size of
    // 8 GiB in a header as Python writes it): a bad field, read as the end of
    // the archive. The listing stops there and says why; an append, which
    // would write over it, fails as a delete does.
    {"$G --format=gnu -cf a.tar e0 && $G --format=gnu --owner=3000000 -rf a.tar f1",
     kStops, "f1", "Member 'f1' not found in archive", "", false, false},
    {"$G --format=gnu -cf a.tar e0 && $G --format=gnu --mtime=@-1 -rf a.tar f1",
     kStops, "f1", "Member 'f1' not found in archive", "", false, false},
    {"python3 -c \"import tarfile as t; i = t.TarInfo('big'); i.size = 8 << 30; open('a.tar', 'wb').write("
     "t.TarInfo('e0').tobuf(t.GNU_FORMAT) + i.tobuf(t.GNU_FORMAT) + bytes(10240))\"",
     kStops, "big", "Member 'big' not found in archive", "", false, false},
    // A sparse member ('S') with more pieces than its header holds: an unknown
    // type with as many data blocks as its size; the extension block of its
    // map counts among them, so the walk meets a zero block early and ends.
    // Delete and append, which would drop f1, refuse.
    {"truncate -s 1M src/sp && for i in 1 2 3 4 5 6 7 8 9; do printf $i | dd of=src/sp bs=1 seek=${i}00000 "
     "conv=notrunc 2>/dev/null; done && $G --format=gnu --sparse -cf a.tar e0 sp f1",
     {"  sp\n\nunknown file type 'S'\n", "Total 2 file(s) for "},
     "sp", "'sp' unknown file type 'S'\n", "", false, false},
    // A ustar name with a prefix: only the name field is read.
    {"mkdir src/$P && printf u >src/$P/u && $G --format=ustar -cf a.tar e0 $P/u f1",
     {"  e0\n", " rw-r--r--   0/0       1  u\n", "  f1\n"}, "u", kSucceeded, std::string(130, '0') + "/u", true, true},
    // An owner above 65535 in octal: owners are 16-bit, 70000 reads as 4464.
    {"$G --format=ustar --owner=70000 -cf a.tar e0 f1",
     {" rw-r----- 4464/0       1  f1\n"}, "f1", kSucceeded, "f1", true, true},
    // A long name cut after its 100th character, a '/': the member is made as
    // a directory, and its data (an archive holding 0forged) are passed over,
    // never read as members.
    {"mkdir src/$D && printf forged >src/0forged && tar -C src -cf src/$D/p 0forged && "
     "$G --format=gnu -cf a.tar e0 $D/p f1",
     {" rw-r--r--   0/0   10240  " + kCut.substr(1) + "/\n", "  f1\n"}, "0*", kSucceeded, "", false, true},
};

TEST(Interop, WhatTheLibraryMakesOfOtherFormats) {
    const size_t kFileLen = sizeof(EXITPARAM::szFileName);
    for (const Odd &o : kOdd) {
        SCOPED_TRACE(o.make);
        tk::TempCwd t;
        make_tree();
        ASSERT_EQ(0, tk::sh(kVars + o.make));
        std::string trace = tk::list("a.tar").trace;
        for (size_t k = 0, at = 0; k < o.listed.size(); k++)
            ASSERT_NE(std::string::npos, at = trace.find(o.listed[k], at)) << o.listed[k] << trace;
        ASSERT_EQ(0, mkdir("x", 0755));
        {
            tk::Chdir in("x");
            tk::Call mem("-ARCHIVE ../a.tar -MEMBER " + o.member + " -x"), file(mem.cmd + " -FILE oXXXXXX -UNIQUE");
            EXPECT_EQ(mem.get(), file.get()) << file.message();
            EXPECT_EQ(o.extracted, mem.message());
            std::string bytes = o.source.empty() ? "" : tk::read_file("../src/" + o.source);
            EXPECT_TRUE(mem.out() == bytes && (o.source.empty() || tk::read_file(file.filename()) == bytes));
            for (const EXITPARAM *r : {&mem.rec, &file.rec})
                EXPECT_TRUE(memchr(r->szMessage, 0, sizeof r->szMessage) && memchr(r->szFileName, 0, kFileLen));
        }
        EXPECT_EQ((std::vector<std::string>{"a.tar", "src", "x"}), tk::list_dir("."));
        // GNU tar's names (and its complaints) and the bytes of its regular members.
        auto gnu_view = [] {
            return std::pair(tk::sh_out("tar -tf a.tar 2>&1 | grep -v 'A lone zero block'"), tk::sh_out("tar -xOf a.tar 2>/dev/null"));
        };
        auto want = gnu_view();
        std::string bytes = tk::read_file("a.tar");
        tk::Call del("-ARCHIVE a.tar -MEMBER e0 -d"), add("-ARCHIVE a.tar -MEMBER new -a");
        EXPECT_EQ(o.deletes ? kSucceeded : "Unable_to_read_archive", (del.get(), del.message()));
        EXPECT_TRUE(o.deletes || bytes == tk::read_file("a.tar"));
        EXPECT_EQ(o.appends ? "PutArchive_succeeded" : "Unable_to_read_archive", (add.put("NEW"), add.message()));
        EXPECT_TRUE(o.deletes || o.appends || bytes == tk::read_file("a.tar"));
        if (o.deletes) want.first.erase(0, 3);  // "e0\n"
        if (o.appends) want.first += "new\n", want.second += "NEW";
        auto seen = gnu_view();
        EXPECT_EQ(want.first, seen.first);
        EXPECT_TRUE(want.second == seen.second);
    }
}

}  // namespace
