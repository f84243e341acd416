// threads_test.cpp - many host threads at once, each on archives of its own,
// making the very first calls of the process together (so the lock is made
// while they race): every call must come back whole and right, and every
// thread's trace file must hold its own runs only, banner to closing line.
// Then processes, and threads beside them, on one archive; and writers of
// another process killed at any moment.
// And the workers of one call that compresses: joined before it returns.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <latch>
#include <map>
#include <random>
#include <thread>

#include "testkit/testkit.h"

namespace {

constexpr int kThreads = 8, kCycles = 5;

// One cycle of calls: a put stores the cycle's string `data`, a get must give
// back string `want` (-1: none); '@' is the thread's directory.
struct Step { std::string run; int data, want; };
const Step kSteps[] = {
    {"put -MEMBER m0 -c", 0, -1},      {"put -MEMBER m1 -a", 1, -1}, {"put -MEMBER m2 -a", 2, -1},
    {"get -MEMBER m1 -x", -1, 1},      {"get -MEMBER m2 -x -FILE @/o.XXXXXX", -1, 2},
    {"get -CAT", -1, -1},              {"put -MEMBER m0 -d -a", 3, -1},
    {"get -MEMBER m1 -d", -1, -1},     {"get -MEMBER m0 -x", -1, 3}, {"get -MEMBER m2 -x", -1, 2}};
constexpr size_t kRuns = kCycles * std::size(kSteps);

// 1 byte to about 40 KB, different for every thread, cycle and string, so
// that a run which saw another thread's state would show it.
std::string data(int thread, int cycle, int k) {
    unsigned seed = static_cast<unsigned>(1000 * thread + 10 * cycle + k);
    return tk::pattern_bytes(1 + (seed * 7919u) % 40000u, seed);
}

void work(const std::string &dir, int thread, std::latch &go) {
    go.arrive_and_wait();
    for (int cycle = 0; cycle < kCycles; cycle++) {
        for (const Step &s : kSteps) {
            std::string args = s.run.substr(4);
            if (size_t at = args.find('@'); at != std::string::npos) args.replace(at, 1, dir);
            tk::Call call("-ARCHIVE " + dir + "/a.tar " + args + " -TA " + dir + "/t.log");
            bool put = s.run[0] == 'p';
            std::string outcome = put ? call.put(data(thread, cycle, s.data)) : call.get();
            EXPECT_EQ(put ? tk::kPut : tk::kGot, outcome) << args;
            if (s.want < 0) continue;
            std::string got = call.out();
            if (!call.filename().empty()) {
                EXPECT_EQ(call.filename().rfind(dir + "/o.", 0), 0u) << call.filename();
                got = tk::read_file(call.filename());
                unlink(call.filename().c_str());
            }
            EXPECT_TRUE(got == data(thread, cycle, s.want)) << args << " thread " << thread;
        }
    }
}

// The trace: nothing but whole runs, one per call, each naming only this
// thread's directory and ending in its closing line.
void check_trace(const std::string &dir) {
    std::string text = tk::read_file(dir + "/t.log"), banner = "=== Z9TAR(";
    const std::string end = "=== End run. Elapsed time: 00:00:00 ===\n\n";
    std::vector<std::string> runs;
    for (size_t at = 0, next; at < text.size(); at = next) {
        next = std::min(text.find(banner, at + 1), text.size());
        runs.push_back(text.substr(at, next - at));
    }
    ASSERT_EQ(runs.size(), kRuns);
    for (size_t i = 0; i < kRuns; i++) {
        std::string run = runs[i];
        EXPECT_EQ(0u, run.find(banner)) << i;
        EXPECT_EQ(run.find("=== End run"), run.size() - end.size()) << i;
        EXPECT_NE(run.find("Command line in <-ARCHIVE " + dir + "/a.tar "), std::string::npos) << i;
        for (size_t at; (at = run.find(dir)) != std::string::npos;) run.erase(at, dir.size());
        EXPECT_EQ(run.find("/z9test."), std::string::npos) << i;   // no other thread's directory
    }
}

TEST(Threads, ManyHostThreadsCallAtOnceOnArchivesOfTheirOwn) {
    std::vector<tk::TempDir> dirs(kThreads);
    std::vector<std::thread> threads;
    std::latch go(kThreads);
    for (int t = 0; t < kThreads; t++) threads.emplace_back(work, dirs[t].path, t, std::ref(go));
    for (auto &t : threads) t.join();
    for (int t = 0; t < kThreads; t++) {
        check_trace(dirs[t].path);
        EXPECT_EQ(tk::list_dir(dirs[t].path), (std::vector<std::string>{"a.tar", "t.log"}));
    }
}

// Workers compress blocks for every codec, and a host thread makes the same
// calls meanwhile; each call leaves no thread behind.
TEST(Threads, WorkersOfACompressingCallEndWithIt) {
    tk::TempDir dir;
    std::string data;
    for (size_t i = 0; data.size() < (3u << 20); i++) data += std::to_string(i % 9973) + " words\n";
    setenv("Z9TAR_THREADS", "3", 1);
    std::thread([] {}).join();   // ThreadSanitizer starts a thread of its own at the first one
    const size_t tasks = tk::list_dir("/proc/self/task").size();
    auto run = [&](const std::string &tag) {
        for (const char *codec : {"gzip", "bzip2", "xz", "zstd"}) {
            std::string archive = dir / (tag + codec);
            EXPECT_EQ(tk::kPut, tk::Call("-ARCHIVE " + archive + " -c -MEMBER m -COMPRESS " + codec).put(data));
            tk::Call get("-ARCHIVE " + archive + " -MEMBER m -x");
            EXPECT_EQ(tk::kGot, get.get());
            EXPECT_TRUE(get.out() == data) << codec;
        }
    };
    std::thread other(run, "b.");
    run("a.");
    other.join();
    EXPECT_EQ(tk::list_dir("/proc/self/task").size(), tasks);
    unsetenv("Z9TAR_THREADS");
}

// Processes and threads of this one run a random mix of calls, half -SYNC, on
// one archive none has made yet. Only a worker changes its names, so its calls
// order what happens to them: the archive holds the versions its appends and
// replaces stored and no later delete took, each extraction gives the last one.
constexpr int kForked = 8, kAll = 10;
const int kOps = getenv("TSAN_OPTIONS") ? 12 : 40;   // ThreadSanitizer runs ten times slower

std::string version(const std::string &name, int v) {
    return name + ":" + std::to_string(v) + tk::pattern_bytes(v * 2719u % 24000, v);
}

// The failed calls; what the archive must hold of the worker's names goes to `models`.
int worker(int id) {
    static const char *const ops[] = {" -a", " -a", " -a", " -d", " -d -a", " -x", " -x", " -CAT"};
    const std::string head = id % 2 ? "-ARCHIVE a.tar -POSIX -SYNC" : "-ARCHIVE a.tar -POSIX";
    std::mt19937 rng(id);
    std::map<std::string, std::vector<int>> held;
    int failed = 0;
    for (int i = 0; i < kOps; i++) {
        std::string name = "w" + std::to_string(id * 10 + rng() % 3), op = ops[i ? rng() % 8 : 0];
        std::vector<int> &v = held[name];
        tk::Call c(head + (op == " -CAT" ? op : " -MEMBER " + name + op));
        bool x = op == " -x", get = x || op == " -CAT";
        std::string got = get ? c.get() : c.put(version(name, i)), want = get ? tk::kGot : tk::kPut;
        if (x && got == want) got = c.out();
        if (x && !v.empty()) want = version(name, v.back());
        if (x && v.empty()) want = "-1 Member '" + name + "' not found in archive";
        if (got != want && ++failed) std::cerr << name << op << ": " << got.substr(0, 60) << "\n";
        if (op.starts_with(" -d")) v.clear();
        if (op.ends_with(" -a")) v.push_back(i);
    }
    std::ofstream model("models", std::ios::app);   // one write: models of others stay whole
    for (const auto &[name, versions] : held)
        for (int v : versions) model << name << " " << v << "\n";
    return failed;
}

TEST(Threads, AndProcessesShareOneArchiveAndLoseNothing) {
    tk::Cwd t;
    for (int n = 0; n < kAll * 10; n++) tk::write_file("w" + std::to_string(n), "");   // for -d -a
    for (int id = 0; id < kForked; id++)
        if (fork() == 0) _exit(worker(id));
    std::vector<std::thread> here;   // the workers in this process
    for (int id = kForked; id < kAll; id++) here.emplace_back([id] { EXPECT_FALSE(worker(id)); });
    for (auto &thread : here) thread.join();
    for (int status; wait(&status) > 0;) EXPECT_EQ(0, status);
    std::map<std::string, std::vector<std::string>> want, got;
    std::ifstream in("models");
    std::string name;
    for (int v; in >> name >> v;) want[name].push_back(version(name, v));
    for (const tk::Seen &s : tk::python("a.tar")) got[s.name].push_back(s.data);
    EXPECT_TRUE(want == got) << want.size() << " names kept, " << got.size() << " in the archive";
    EXPECT_EQ("", tk::sh_out("tar tf a.tar 2>&1 >/dev/null || echo failed"));   // nor warns
}

// The bytes every reader goes by, through the end marker (free space may follow).
std::string_view to_end(const std::string &a) {
    size_t at = 0;
    while (at + 512 <= a.size() && a[at] != '\0')
        at += 512 + (std::stoull(a.substr(at + 124, 12), nullptr, 8) + 511) / 512 * 512;
    return std::string_view(a).substr(0, at + 512);
}

// Each round runs a writer on a copy to its end (the new archive), then in a child
// killed (SIGKILL) after a random part of that time. m is data, or an archive
// whose first blocks are headers (never to pass for one behind an end marker),
// which appends die writing, by the file-size limit. Mode and owner stay.
TEST(Crash, KilledWritersLeaveTheOldOrTheNewArchive) {
    tk::Cwd t;
    const std::string data = tk::pattern_bytes(393216, 2), tar = tk::archive({{"e"}, {"f", data}});
    ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE a.tar -c -SYNC -MEMBER big").put(data));
    ASSERT_EQ(0, chown("a.tar", 1234, 5678) + chmod("a.tar", 0600));
    const char *runs[] = {"-d -MEMBER m", "-d -a -MEMBER m -FILE m", "-a -MEMBER m -FILE m"};
    std::mt19937 rng(25);
    int seen[3] = {};   // rounds that left the old archive, the new one, the old one and free space
    const int rounds = getenv("ASAN_OPTIONS") ? 40 : 100;   // AddressSanitizer forks slowly
    for (int round = 0; round < rounds; round++) {
        std::string run = runs[round % 3], old = tk::read_file("a.tar");
        tk::write_file("m", round % 2 ? data : tar);
        tk::write_file("ref.tar", old);
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE ref.tar " + run).put());
        auto took = std::chrono::steady_clock::now() - start;
        std::string ref = tk::read_file("ref.tar");
        rlimit size = {RLIM_INFINITY, RLIM_INFINITY};
        if (round % 6 == 2) size.rlim_cur = old.size() + rng() % tar.size();
        pid_t pid = fork();
        if (pid == 0)   // the killed run; its exit status does not matter
            _exit(setrlimit(RLIMIT_FSIZE, &size) + tk::Call("-ARCHIVE a.tar " + run).put().size());
        if (size.rlim_cur == RLIM_INFINITY) {
            std::this_thread::sleep_for(took * (rng() % 1000) / 700);   // a child starts later
            kill(pid, SIGKILL);
        }
        waitpid(pid, nullptr, 0);
        std::string now = tk::read_file("a.tar");
        EXPECT_TRUE(to_end(now) == to_end(old) || to_end(now) == to_end(ref)) << round;
        seen[now.size() > to_end(now).size() ? 2 : to_end(now) == to_end(ref)]++;
        EXPECT_EQ(0, tk::sh("tar tf a.tar >/dev/null 2>&1")) << round;
        EXPECT_EQ(tk::kGot, tk::list("a.tar").outcome) << round;
        EXPECT_EQ(tk::kPut, tk::Call("-ARCHIVE a.tar -a -MEMBER n").put()) << round;
        struct stat s = tk::status("a.tar");
        EXPECT_TRUE(s.st_mode == (S_IFREG | 0600) && s.st_uid == 1234 && s.st_gid == 5678) << round;
    }
    EXPECT_TRUE(seen[0] > rounds / 12 && seen[1] > rounds / 12 && seen[2] > rounds / 12);
}

}  // namespace
