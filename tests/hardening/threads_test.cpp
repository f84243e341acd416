// threads_test.cpp - many host threads at once, each on archives of its own,
// making the very first calls of the process together (so the lock is made
// while they race): every call must come back whole and right, and every
// thread's trace file must hold its own runs only, banner to closing line.
// And the workers of one call that compresses: joined before it returns.
#include <gtest/gtest.h>
#include <unistd.h>

#include <latch>
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

}  // namespace
