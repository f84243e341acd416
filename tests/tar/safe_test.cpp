// safe_test.cpp - -SAFE against hostile archives made by Python's tarfile, each
// in a fresh root inside a sentinel directory, in memory mode, with -UNIQUE
// and with a -FILE template; and a well-formed archive, the same either way
// but for owners, under a mask that would take bits away.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testkit/testkit.h"

namespace {

const std::string kOk = "0 GetArchive_succeeded", kOut = "leaves the extraction directory",
                  kVia = "passes through a symbolic link";

// Writes a.tar from members "type:name:link:mode" (names as given, owner 1234);
// a file holds its name. A name past 100 bytes gets a pax record, for -POSIX.
void make(const std::string &members) {
    tk::write_file("mk.py", R"(import sys, tarfile, io
g = tarfile.TarInfo.get_info
tarfile.TarInfo.get_info = lambda self: {**g(self), 'name': self.name, 'uid': 1234, 'gid': 1234}
with tarfile.open('a.tar', 'w', format=tarfile.PAX_FORMAT) as t:
    for kind, name, link, mode in (m.split(':') for m in sys.argv[1:]):
        i = tarfile.TarInfo(name)
        i.type, i.linkname, i.mode, i.mtime = kind.encode(), link, int(mode or '644', 8), 10**9
        data = name.encode() * (kind == '0'); i.size, i.devmajor, i.devminor = len(data), 1, 3
        t.addfile(i, io.BytesIO(data)))");
    ASSERT_EQ(0, tk::sh("python3 mk.py " + members));
}

// What lies in the sentinel directory s beside the root s/root, with modes
// and times; s/x's bytes.
std::string outside() {
    return tk::sh_out("cd ../..; find s -path s/root -prune -o -printf '%p %m %T@\\n' | sort; "
                      "cat s/x");
}

const std::string kLong = "../" + std::string(580, 'a');
const std::vector<std::string> kRoot = {"evil", "hl"};

// "@" stands for s. `made`: the modes in which the member is extracted (m
// memory, u -UNIQUE, f -FILE template); root/evil -> s, root/hl a hard link
// to s/x. The trace has the message whole. Last: no -SAFE.
struct Row { std::string members, message, made = ""; bool safe = true; std::string trace = ""; };
const Row kRows[] = {
    {"0:@/abs::", "'@/abs' is refused: its path " + kOut},
    {"0:../x::", "'../x' is refused: its path " + kOut},
    {"0:a/../../b::", "'a/../../b' is refused: its path " + kOut},
    {"5:./::", "", "muf"},   // the root itself: passed over
    {"0:.::", "'.' is refused: its path names the extraction directory itself"},
    {"5:evil/d::", "'evil/d' is refused: its path " + kVia, "f"},
    {"5:hl::", "'hl' is refused: its name holds something other than a directory", "uf"},
    {"5:evil::", "'evil' is refused: its name holds something other than a directory", "uf"},
    {"1:hl:./hl:", "'hl' is refused: a hard link to './hl' names the link itself"},
    {"1:hl::", "'hl' is refused: a hard link to '' names nothing"},
    {"0:" + kLong + "::",   // the name shortened in its middle, the reason whole
     "'../" + std::string(18, 'a') + "..." + std::string(20, 'a') + "' is refused: its path " +
         kOut,
     "", true, "'" + kLong + "' is refused: its path " + kOut},
    {"0:evil/f::", "'evil/f' is refused: its path " + kVia, "mf"},
    {"1:evil/l:x:", "'evil/l' is refused: its path " + kVia, "f"},
    {"1:l:/etc/passwd:", "'l' is refused: a hard link to '/etc/passwd' " + kOut},
    {"1:l:../x:", "'l' is refused: a hard link to '../x' " + kOut},
    {"1:l:evil/x:", "'l' is refused: a hard link to 'evil/x' " + kVia},
    {"3:c::", "'c' is refused: device and FIFO members are not extracted"},
    {"6:p::", "'p' is refused: device and FIFO members are not extracted"},
    {"0:u::7777", "", "muf"},
    {"0:evil/f::", "", "u", false},   // as today: out of the root through the link
};

TEST(Safe, HostileMembersAreRefusedAndNothingLeavesTheRoot) {
    int fds = tk::count_fds();
    for (const Row &row : kRows) {
        tk::Cwd t;
        auto at = [&](std::string x) {
            return x.find('@') == x.npos ? x : x.replace(x.find('@'), 1, t.scratch / "s"); };
        std::string want = at(row.message), trace = row.trace.empty() ? want : row.trace;
        make(at(row.members));
        for (std::string m : {"m", "u", "f"}) {
            bool made = row.made.find(m) != m.npos;
            if (!row.safe && !made) continue;
            std::string opt = m == "u" ? " -FILE xXXXXXX -UNIQUE" : m == "f" ? " -FILE XXXXXX" : "";
            ASSERT_EQ(0, tk::sh("rm -rf s; mkdir -p s/root; echo keep >s/x; "
                                "ln -s $PWD/s s/root/evil; ln s/x s/root/hl"));
            tk::Cwd cd("s/root");
            std::string before = outside(), why = row.members + opt;
            // Without -SAFE, -o: a chown would clear the set-id bits itself.
            tk::Call c("-ARCHIVE ../../a.tar -MEMBER * -x -POSIX -TE ../../t.log" + opt +
                       (row.safe ? " -SAFE" : " -o"));
            EXPECT_EQ(made ? kOk : "-1 " + want, c.get()) << why;
            EXPECT_EQ(row.safe, before == outside()) << why;
            EXPECT_TRUE(made || tk::list_dir(".") == kRoot) << why;
            std::string log = tk::read_file("../../t.log");
            EXPECT_TRUE(made || log.find("\n" + trace + "\n") != trace.npos) << why;
            EXPECT_EQ(0u, tk::status(c.filename()).st_mode & 07022) << why;   // 0755 at most
        }
    }
    EXPECT_EQ(fds, tk::count_fds());
}

// Directories and files, their bytes, modes and times: the same with -SAFE,
// under a mask the library leaves alone; -SAFE applies no owner of the archive.
TEST(Safe, WellFormedArchiveExtractsAsWithout) {
    tk::Cwd t;
    make("5:d/::755 5:d/e::700 0:d/f::644 0:d/e/g::600 0:d/e/" + std::string(150, 'L') + "::755");
    std::string tree[2];
    mode_t host = umask(077);
    for (int safe : {0, 1}) {
        tk::sh("mkdir r" + std::to_string(safe));
        tk::Cwd cd("r" + std::to_string(safe));
        std::string cmd = "-ARCHIVE ../a.tar -MEMBER * -x -FILE xXXXXXX -UNIQUE -POSIX";
        EXPECT_EQ(kOk, tk::Call(cmd + (safe ? " -SAFE" : "")).get());
        // Unique suffixes go; only files show modes (directories': 0777, 0755).
        tree[safe] = tk::sh_out("find . -mindepth 1 \\( -type f -printf '%m %T@ ' -o -true \\) "
                                "-printf '%p\\n' | sed -E 's/[A-Za-z0-9]{6}$//' | sort; "
                                "find . -type f | sort | xargs cat");
    }
    EXPECT_EQ(077u, umask(host));
    EXPECT_EQ(tree[0], tree[1]);
    std::string me = std::to_string(getuid());
    EXPECT_EQ("", tk::sh_out("find r1 -mindepth 1 ! -uid " + me + " -o -type d ! -perm 755"));
    EXPECT_TRUE(getuid() != 0 || tk::sh_out("find r0 -uid 1234") != "");
    EXPECT_NE(std::string::npos, tree[1].find("600 1000000000.0000000000 ./d/e/g\n")) << tree[1];
}

}  // namespace
