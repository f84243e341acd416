// firstcall_test.cpp - two host threads make the very first calls of the
// process at the same moment: the lock must be created once and both calls
// must run whole, one after the other.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testkit/testkit.h"

TEST(FirstCall, TwoThreadsRaceOnTheFirstCall) {
    std::atomic<int> ready{0};
    auto worker = [&](bool put, std::string *message) {
        tk::Call call("-ARCHIVE /nonexistent/z9/a.tar -MEMBER m" + std::string(put ? " -c" : " -x"));
        ready++;
        while (ready.load() < 2) {
        }
        if (put) call.put("x"); else call.get();
        *message = call.message();
    };
    std::string m1, m2;
    std::thread a(worker, false, &m1), b(worker, true, &m2);
    a.join();
    b.join();
    EXPECT_EQ("Failed_to_open_archive", m1);
    EXPECT_EQ("Failed_to_open_archive", m2);
}
