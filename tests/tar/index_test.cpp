// index_test.cpp - the member index kept across calls never changes a result:
// the same calls, in a process with the index and in one without it
// (Z9TAR_NO_INDEX), give the same records, buffers and files, whatever
// happens to the archive between them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "testkit/testkit.h"

namespace {

using Step = std::function<std::string()>;

std::string get(const std::string &line) {
    tk::Call c("-ARCHIVE a.tar " + line);
    std::string outcome = c.get(), file = c.filename();
    if (file.size() > 6) file.replace(file.size() - 6, 6, "XXXXXX");   // its unique part
    return outcome + " | " + std::to_string(c.out().size()) + " " +
           std::to_string(std::hash<std::string>{}(c.out())) + " | " + file + "\n";
}

// Large members are text that compresses, so that gzip's blocks end anywhere
// inside a byte.
std::string data(size_t size, unsigned seed) {
    if (size <= 900) return tk::pattern_bytes(size, seed);
    std::string t;
    for (unsigned i = 0; t.size() < size; i++) t += std::to_string(i * seed % 7919) + " line\n";
    return t.substr(0, size);
}

std::string members(const std::string &seed, size_t size = 900) {
    std::vector<tk::Member> m;
    for (const char *name : {"a", "d/b", "d/c", "m", "m", "x"})
        m.push_back({.name = name, .data = data(size, static_cast<unsigned>(seed[0]) + name[0])});
    m[1].name = seed + "/b";
    return tk::archive(m);
}

// Every step's outcome, then the files the calls made (each file's bytes).
const std::vector<Step> kSteps = {
    [] {
        return get("-MEMBER m -x") + get("-MEMBER d -x") + get("-MEMBER d* -x") +
               get("-MEMBER no -x");
    },
    [] { return get("-MEMBER d/c -x -FILE f.XXXXXX") + get("-MEMBER x -x -UNIQUE -FILE y"); },
    [] {   // appended by the library: the index of the old archive is gone
        tk::Call("-ARCHIVE a.tar -MEMBER m -a").put("new");
        return get("-MEMBER m -x") + get("-MEMBER a -x");
    },
    [] {   // rewritten by someone else, same size, same second
        std::string old = tk::read_file("a.tar"), next = members("e");
        next.resize(old.size());
        tk::write_file("a.tar", next);
        return get("-MEMBER e/b -x") + get("-MEMBER d/b -x") + get("-MEMBER m -x");
    },
    [] {   // a trace open: the walk writes a line per member, so no index is used
        tk::write_file("a.tar", members("t"));
        std::string traced = get("-MEMBER a -x");   // in this order: the index comes first
        traced += get("-MEMBER x -x -T t.log");
        traced += tk::sh_out("grep -c name= t.log");
        return traced + get("-MEMBER x -x -u");
    },
    [] {   // cut short
        std::string cut = truncate("a.tar", 3 * 512) == 0 ? "" : "not cut\n";
        return cut + get("-MEMBER x -x") + get("-MEMBER a -x");
    },
    [] {   // damaged: a header passed over, so no index is kept
        std::string a = members("d");
        a[3 * 512 + 10] ^= 1;
        tk::write_file("a.tar", a);
        return get("-MEMBER x -x") + get("-MEMBER x -x") + get("-MEMBER m -x");
    },
    [] {   // gzip'ed: walked, walked again to note places to decode from, then
           // reached from them (members of 700 KiB: several places)
        tk::write_file("p.tar", members("d", 700 << 10));
        std::string got = tk::sh("gzip -c p.tar >a.tar && rm p.tar") == 0 ? "" : "no gzip\n";
        for (const char *m : {"x", "m", "d/c", "a", "x", "m"})
            got += get(std::string("-MEMBER ") + m + " -x");
        return got;
    },
};

std::string run_all() {
    std::string out;
    tk::write_file("a.tar", members("d"));
    for (const Step &s : kSteps) out += s() + get("-MEMBER x -x");
    return out +
           tk::sh_out(
               "find . -type f ! -name a.tar ! -name t.log | sort | xargs md5sum | cut -c1-36");
}

// Runs the calls in a child process of its own, with or without the index.
std::string in_child(bool index) {
    tk::TempDir d;
    std::string out = d.path + ".out";
    pid_t pid = fork();
    if (pid == 0) {
        if (!index) setenv("Z9TAR_NO_INDEX", "1", 1);
        tk::Cwd cd(d.path);
        tk::write_file(out, run_all());
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string seen = tk::read_file(out);
    unlink(out.c_str());
    return seen;
}

TEST(Index, NeverChangesAResult) {
    std::string with = in_child(true), without = in_child(false);
    EXPECT_EQ(without, with);
    EXPECT_NE(std::string::npos, with.find("0 GetArchive_succeeded | 900 "));
    EXPECT_NE(std::string::npos, with.find("0 GetArchive_succeeded | 716800 "));
}

}   // namespace
