// threads_test.cpp - many host threads at once, each on archives of its own:
// every call must come back whole and right, and every thread's trace file
// must hold its own runs only, each from its banner to its closing line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "testkit/testkit.h"

namespace {

constexpr int kThreads = 8, kCycles = 5;

// One cycle of ten calls; `data` is what a put stores, `want` what a get must
// return (indexes into the cycle's four data strings, -1 for none). '@' is the
// thread's directory. The cycle ends with m2 and the new m0 in the archive.
struct Step {
    bool put;
    const char *args;
    int data, want;
};
const Step kSteps[] = {
    {true, "-MEMBER m0 -c", 0, -1},        {true, "-MEMBER m1 -a", 1, -1},
    {true, "-MEMBER m2 -a", 2, -1},        {false, "-MEMBER m1 -x", -1, 1},
    {false, "-MEMBER m2 -x -FILE @/o.XXXXXX", -1, 2}, {false, "-CAT", -1, -1},
    {true, "-MEMBER m0 -d -a", 3, -1},     {false, "-MEMBER m1 -d", -1, -1},
    {false, "-MEMBER m0 -x", -1, 3},       {false, "-MEMBER m2 -x", -1, 2},
};
constexpr int kCatStep = 5;

// Sizes from 1 byte to about 40 KB, different for every thread, cycle and
// member, so that a run which saw another thread's state would show it.
std::string data(int thread, int cycle, int k) {
    unsigned seed = static_cast<unsigned>(1000 * thread + 10 * cycle + k);
    return tk::pattern_bytes(1 + (seed * 7919u) % 40000u, seed);
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

void work(const std::string &dir, int thread, std::latch &go, std::atomic<int> &calls) {
    go.arrive_and_wait();
    for (int cycle = 0; cycle < kCycles; cycle++) {
        std::string d[4];
        for (int k = 0; k < 4; k++) d[k] = data(thread, cycle, k);
        for (const Step &s : kSteps) {
            std::string args = s.args;
            if (size_t at = args.find('@'); at != std::string::npos) args.replace(at, 1, dir);
            tk::Call call("-ARCHIVE " + dir + "/a.tar " + args + " -TA " + dir + "/t.log");
            int rc = s.put ? call.put(d[s.data]) : call.get();
            calls++;
            EXPECT_EQ(rc, 0) << args << ": " << call.message();
            EXPECT_EQ(call.message(), s.put ? "PutArchive_succeeded" : "GetArchive_succeeded") << args;
            if (s.want < 0) continue;
            std::string got = call.out();
            if (!call.filename().empty()) {
                EXPECT_EQ(call.filename().rfind(dir + "/o.", 0), 0u) << call.filename();
                got = tk::read_file(call.filename());
                unlink(call.filename().c_str());
            }
            EXPECT_TRUE(got == d[s.want]) << args << " thread " << thread << " cycle " << cycle;
        }
    }
}

// The trace: nothing but whole runs, one per call, each naming only this
// thread's directory; every listing counts the three members' bytes.
void check_trace(const std::string &dir, int thread) {
    std::string text = tk::read_file(dir + "/t.log"), banner = "=== Z9TAR(";
    ASSERT_EQ(text.find(banner), 0u);
    EXPECT_EQ(count(text, "/z9test."), count(text, dir));
    std::vector<std::string> runs;
    for (size_t at = 0, next; at < text.size(); at = next) {
        next = text.find(banner, at + 1);
        runs.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (next == std::string::npos) break;
    }
    ASSERT_EQ(runs.size(), static_cast<size_t>(kCycles * std::size(kSteps)));
    for (size_t i = 0; i < runs.size(); i++) {
        const std::string &run = runs[i];
        size_t end = run.find("=== End run. Elapsed time: ");
        EXPECT_EQ(count(run, "=== End run"), 1u) << i;
        EXPECT_EQ(run.size() - end, sizeof "=== End run. Elapsed time: 00:00:00 ===\n\n" - 1) << "run " << i;
        EXPECT_NE(run.find("Command line in <-ARCHIVE " + dir + "/a.tar "), std::string::npos) << i;
        if (i % std::size(kSteps) != kCatStep) continue;
        int cycle = static_cast<int>(i / std::size(kSteps));
        size_t bytes = data(thread, cycle, 0).size() + data(thread, cycle, 1).size() + data(thread, cycle, 2).size();
        EXPECT_NE(run.find("Total 3 file(s) for " + std::to_string(bytes) + " bytes"), std::string::npos) << i;
    }
}

TEST(Threads, ManyHostThreadsCallAtOnceOnArchivesOfTheirOwn) {
    std::vector<std::unique_ptr<tk::TempDir>> dirs;
    for (int t = 0; t < kThreads; t++) dirs.push_back(std::make_unique<tk::TempDir>());
    std::latch go(kThreads);
    std::atomic<int> calls{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(work, dirs[t]->path(), t, std::ref(go), std::ref(calls));
    for (auto &t : threads) t.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("%d calls from %d threads in %lld ms\n", calls.load(), kThreads, static_cast<long long>(ms.count()));
    EXPECT_EQ(calls.load(), kThreads * kCycles * static_cast<int>(std::size(kSteps)));
    for (int t = 0; t < kThreads; t++) {
        check_trace(dirs[t]->path(), t);
        EXPECT_EQ(tk::list_dir(dirs[t]->path()), (std::vector<std::string>{"a.tar", "t.log"}));
    }
}

}  // namespace
