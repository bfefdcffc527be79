// Events, threads and waits of the platform stand-in.
#include "platform/winapi.h"

#include "tests/unit/platform/test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platformtest;

namespace {

struct Waiter {
    HANDLE event;
    std::atomic<int>* woken;
};

unsigned __stdcall wait_once(void* p) {
    auto* w = static_cast<Waiter*>(p);
    if (WaitForSingleObject(w->event, INFINITE) == WAIT_OBJECT_0)
        ++*w->woken;
    return 0;
}

HANDLE start_thread(unsigned(__stdcall* fn)(void*), void* arg, unsigned stack = 0) {
    unsigned id = 0;
    auto h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, stack, fn, arg, 0, &id));
    EXPECT_NE(h, nullptr);
    EXPECT_NE(id, 0u);
    return h;
}

void join(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST(Sync, AutoResetReleasesOneWaiterPerSignal) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> woken{0};
    Waiter w{ev, &woken};
    HANDLE a = start_thread(wait_once, &w);
    HANDLE b = start_thread(wait_once, &w);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(woken, 0);

    ASSERT_TRUE(SetEvent(ev));
    EXPECT_TRUE(testsupport::eventually([&] { return woken == 1; }, 2s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(woken, 1) << "one signal releases one waiter";
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "and the event is reset";

    ASSERT_TRUE(SetEvent(ev));
    EXPECT_TRUE(testsupport::eventually([&] { return woken == 2; }, 2s));
    join(a);
    join(b);

    // Signalled with nobody waiting, it stays so for exactly one wait.
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    CloseHandle(ev);

    HANDLE initially_set = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(initially_set, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(initially_set, 0), WAIT_TIMEOUT);
    CloseHandle(initially_set);
}

TEST(Sync, AutoResetSignalsInQuickSuccessionReleaseAsManyWaiters) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> woken{0};
    Waiter w{ev, &woken};
    HANDLE a = start_thread(wait_once, &w);
    HANDLE b = start_thread(wait_once, &w);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_TRUE(testsupport::eventually([&] { return woken == 2; }, 2s)) << woken;
    SetEvent(ev); // lets a thread that was not released end
    SetEvent(ev);
    join(a);
    join(b);
    CloseHandle(ev);
}

TEST(Sync, ManualResetStaysSignalledUntilReset) {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> woken{0};
    Waiter w{ev, &woken};
    HANDLE a = start_thread(wait_once, &w);
    HANDLE b = start_thread(wait_once, &w);
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_TRUE(testsupport::eventually([&] { return woken == 2; }, 2s));
    join(a);
    join(b);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    CloseHandle(ev);
}

TEST(Sync, WaitsTimeOutOnTime) {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (DWORD ms : {0u, 30u, 250u}) {
        auto t0 = Clock::now();
        EXPECT_EQ(WaitForSingleObject(ev, ms), WAIT_TIMEOUT);
        double took = ms_since(t0);
        EXPECT_GE(took, ms - 0.5);
        EXPECT_LT(took, ms + 25.0) << ms;
    }
    // A signal during the wait ends it then.
    std::thread setter([ev] {
        std::this_thread::sleep_for(100ms);
        SetEvent(ev);
    });
    auto t0 = Clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    EXPECT_LT(ms_since(t0), 300);
    setter.join();
    CloseHandle(ev);
}

unsigned __stdcall sleep_then_flag(void* p) {
    Sleep(150);
    // A large frame proves the tiny requested stack was raised.
    volatile char frame[64 * 1024];
    frame[0] = 1;
    frame[sizeof frame - 1] = frame[0];
    SetLastError(ERROR_GEN_FAILURE); // per thread: the starter's value stays
    static_cast<std::atomic<bool>*>(p)->store(true);
    return 0;
}

TEST(Sync, ThreadHandleIsSignalledWhenTheThreadEnds) {
    std::atomic<bool> done{false};
    SetLastError(ERROR_SUCCESS);
    HANDLE t = start_thread(sleep_then_flag, &done, 4096);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(done);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(t)) << "not an event";
    ASSERT_TRUE(CloseHandle(t));
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(t));

    // A thread whose handle is closed while it runs still runs to its end.
    std::atomic<bool> done2{false};
    CloseHandle(start_thread(sleep_then_flag, &done2));
    EXPECT_TRUE(testsupport::eventually([&] { return done2.load(); }, 3s));
}

} // namespace
