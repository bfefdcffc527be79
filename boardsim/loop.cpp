#include "boardsim/loop.h"
#include "boardsim/log.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace board {
namespace {

bool holding(const Loop& l) {
    return l.holding && l.holding();
}

// The boot ROM's device leaves; the test program's comes when its console is this one.
void depart(Loop& l) {
    const Options& opt = *l.b->opt;
    l.depart_at = kNever;
    loop_leave(l);
    l.rom_device = false;
    if (l.b->console != l.console)
        return;
    if (opt.never_reappear)
        log_line("the test program's device never appears (--never-reappear)");
    else
        l.back_at = Clock::now() + std::chrono::milliseconds(opt.reappear_after_ms);
}

void unplug_during_relay(Loop& l) {
    l.unplug_at = l.depart_at = l.back_at = kNever;
    log_line("UNPLUG");
    log_line("unplugged %u ms after the start (--unplug-during-relay)",
             *l.b->opt->unplug_during_relay_ms);
    if (l.present)
        loop_leave(l);
    else
        log_line("GONE");
    l.dead = true;
}

} // namespace

void run_loop(Loop& l) {
    ready_report(*l.b);
    for (;;) {
        auto now = Clock::now();
        Clock::time_point wake = l.prepare(now);
        std::array<pollfd, 2> fds = {pollfd{l.stopfd, POLLIN, 0}, l.own};
        if (!l.jobs.empty())
            wake = std::min(wake, std::max(l.jobs.front().due, pacer_ready_at(l.job_pace, now)));
        if (!holding(l))
            wake = std::min(wake, l.depart_at);
        wake = std::min({wake, l.back_at, l.unplug_at});
        if (poll_until(fds.data(), fds.size(), wake) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return;
        l.own.revents = fds[1].revents;

        now = Clock::now();
        if (l.work)
            l.work(now);
        while (!l.jobs.empty() && l.jobs.front().due <= now && pacer_budget(l.job_pace, now) > 0) {
            Job job = std::move(l.jobs.front());
            l.jobs.pop_front();
            pacer_spend(l.job_pace, 1, now);
            l.on_job(job);
        }
        if (now >= l.depart_at && !holding(l))
            depart(l);
        if (now >= l.back_at) {
            l.back_at = kNever;
            l.present = l.arrive();
        }
        if (now >= l.unplug_at)
            unplug_during_relay(l);
    }
}

void loop_started(Loop& l) {
    Board& b = *l.b;
    b.start = false;
    if (l.departs)
        l.depart_at = Clock::now() + kDepartureDelay;
    if (b.opt->unplug_during_relay_ms)
        l.unplug_at = b.started_at + std::chrono::milliseconds(*b.opt->unplug_during_relay_ms);
}

void loop_leave(Loop& l) {
    l.leave();
    l.present = false;
    log_line("GONE");
}

void loop_unplug(Loop& l) {
    l.b->unplug = false;
    l.dead = true;
    loop_leave(l);
}

} // namespace board
