// threads_test.cpp - many host threads at once, each on archives of its own:
// every call must come back whole and right, and every thread's trace file
// must hold its own runs only, each from its banner to its closing line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <latch>
#include <memory>
#include <thread>

#include "testkit/testkit.h"

namespace {

constexpr int kThreads = 8, kCycles = 5, kCatStep = 5;

// One cycle of ten calls: `data` indexes the cycle's four strings a put
// stores, `want` the one a get must return (-1: none); '@' is the thread's
// directory. The cycle ends with m2 and the new m0 in the archive.
struct Step { bool put; const char *args; int data, want; };
const Step kSteps[] = {
    {true, "-MEMBER m0 -c", 0, -1}, {true, "-MEMBER m1 -a", 1, -1}, {true, "-MEMBER m2 -a", 2, -1},
    {false, "-MEMBER m1 -x", -1, 1}, {false, "-MEMBER m2 -x -FILE @/o.XXXXXX", -1, 2}, {false, "-CAT", -1, -1},
    {true, "-MEMBER m0 -d -a", 3, -1}, {false, "-MEMBER m1 -d", -1, -1}, {false, "-MEMBER m0 -x", -1, 3},
    {false, "-MEMBER m2 -x", -1, 2}};
constexpr int kRuns = kCycles * static_cast<int>(std::size(kSteps));

// 1 byte to about 40 KB, different for every thread, cycle and member, so
// that a run which saw another thread's state would show it.
std::string data(int thread, int cycle, int k) {
    unsigned seed = static_cast<unsigned>(1000 * thread + 10 * cycle + k);
    return tk::pattern_bytes(1 + (seed * 7919u) % 40000u, seed);
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

void work(const std::string &dir, int thread, std::latch &go) {
    go.arrive_and_wait();
    for (int cycle = 0; cycle < kCycles; cycle++) {
        for (const Step &s : kSteps) {
            std::string args = s.args;
            if (size_t at = args.find('@'); at != std::string::npos) args.replace(at, 1, dir);
            tk::Call call("-ARCHIVE " + dir + "/a.tar " + args + " -TA " + dir + "/t.log");
            EXPECT_EQ(s.put ? call.put(data(thread, cycle, s.data)) : call.get(), 0) << args << ": " << call.message();
            EXPECT_EQ(call.message(), s.put ? "PutArchive_succeeded" : "GetArchive_succeeded") << args;
            if (s.want < 0) continue;
            std::string got = call.out();
            if (!call.filename().empty()) {
                EXPECT_EQ(call.filename().rfind(dir + "/o.", 0), 0u) << call.filename();
                got = tk::read_file(call.filename());
                unlink(call.filename().c_str());
            }
            EXPECT_TRUE(got == data(thread, cycle, s.want)) << args << " thread " << thread << " cycle " << cycle;
        }
    }
}

// The trace: nothing but whole runs, one per call, each naming only this
// thread's directory; every listing counts the three members' bytes.
void check_trace(const std::string &dir, int thread) {
    std::string text = tk::read_file(dir + "/t.log"), banner = "=== Z9TAR(", end = "=== End run. Elapsed time: ";
    ASSERT_EQ(text.find(banner), 0u);
    EXPECT_EQ(count(text, "/z9test."), count(text, dir));
    ASSERT_EQ(count(text, banner), static_cast<size_t>(kRuns));
    for (size_t i = 0, at = 0, next; i < kRuns; i++, at = next) {
        next = text.find(banner, at + 1);
        std::string run = text.substr(at, next == std::string::npos ? next : next - at);
        EXPECT_EQ(count(run, "=== End run"), 1u) << i;
        EXPECT_EQ(run.size() - run.find(end), sizeof "=== End run. Elapsed time: 00:00:00 ===\n\n" - 1) << i;
        EXPECT_NE(run.find("Command line in <-ARCHIVE " + dir + "/a.tar "), std::string::npos) << i;
        int cycle = static_cast<int>(i / std::size(kSteps));
        size_t bytes = data(thread, cycle, 0).size() + data(thread, cycle, 1).size() + data(thread, cycle, 2).size();
        bool total = run.find("Total 3 file(s) for " + std::to_string(bytes) + " bytes") != std::string::npos;
        EXPECT_TRUE(i % std::size(kSteps) != kCatStep || total) << i;
    }
}

TEST(Threads, ManyHostThreadsCallAtOnceOnArchivesOfTheirOwn) {
    std::vector<std::unique_ptr<tk::TempDir>> dirs;
    std::vector<std::thread> threads;
    std::latch go(kThreads);
    for (int t = 0; t < kThreads; t++) dirs.push_back(std::make_unique<tk::TempDir>());
    for (int t = 0; t < kThreads; t++) threads.emplace_back(work, dirs[t]->path(), t, std::ref(go));
    for (auto &t : threads) t.join();
    for (int t = 0; t < kThreads; t++) {
        check_trace(dirs[t]->path(), t);
        EXPECT_EQ(tk::list_dir(dirs[t]->path()), (std::vector<std::string>{"a.tar", "t.log"}));
    }
}

}  // namespace
