#include "boardsim/loop.h"
#include "boardsim/log.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace board {
namespace {

void take_messages(Loop& l, Peer& p, std::vector<char>& buf) {
    for (;;) {
        ssize_t n = recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (n <= 0) {
            p.dead = true;
            return;
        }
        Job job{p.fd, std::string(buf.data(), size_t(n)), std::max(Clock::now(), l.last_due)};
        if (l.transfer_time)
            job.due += l.transfer_time(job.msg);
        l.last_due = job.due;
        l.jobs.push_back(std::move(job));
    }
}

bool holding(const Loop& l) {
    return l.holding && l.holding();
}

// The boot ROM's device leaves; the test program's comes when its console is this one.
void depart(Loop& l) {
    const Options& opt = *l.b->opt;
    l.depart_at = kNever;
    if (l.drain_on_departure)
        for (Peer& p : l.peers)
            peer_drain(p, 1000); // the ROM's last word is still on its way
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
    command_start(*l.b->opt);
    std::vector<char> buf(l.max_message);
    for (;;) {
        auto now = Clock::now();
        Clock::time_point wake = l.prepare(now);
        std::vector<pollfd> fds = {{l.sigfd, POLLIN, 0}, {l.lfd, POLLIN, 0}, l.own};
        for (const Peer& p : l.peers)
            fds.push_back({p.fd, short(POLLIN | (p.queue.empty() ? 0 : POLLOUT)), 0});
        if (!l.jobs.empty())
            wake = std::min(wake, std::max(l.jobs.front().due, pacer_ready_at(l.job_pace, now)));
        if (!holding(l))
            wake = std::min(wake, l.depart_at);
        wake = std::min({wake, l.back_at, l.unplug_at});
        if (poll_until(fds.data(), fds.size(), wake) < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) && signalled(l.sigfd))
            return;
        if (l.lfd >= 0 && (fds[1].revents & POLLIN)) {
            int fd;
            while ((fd = accept_peer(l.lfd)) >= 0) {
                l.peers.push_back(Peer{fd, {}, 0, false});
                l.on_connect(l.peers.back());
            }
        }
        l.own.revents = fds[2].revents;
        for (size_t i = 0; i < l.peers.size() && i + 3 < fds.size(); ++i)
            if (fds[i + 3].revents & (POLLIN | POLLHUP | POLLERR))
                take_messages(l, l.peers[i], buf);

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
        for (Peer& p : l.peers)
            peer_flush(p);
        std::erase_if(l.peers, [&](Peer& p) {
            if (!p.dead)
                return false;
            peer_close(p);
            if (l.peer_gone_line)
                log_line("%s", l.peer_gone_line);
            return true;
        });
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

void broadcast(Loop& l, const std::string& msg) {
    for (Peer& p : l.peers)
        peer_send(p, msg);
}

void send_to(Loop& l, int fd, const std::string& msg) {
    for (Peer& p : l.peers)
        if (p.fd == fd)
            peer_send(p, msg);
}

size_t lag(const Loop& l) {
    size_t n = 0;
    for (const Peer& p : l.peers)
        n = std::max(n, p.queued_bytes);
    return n;
}

void close_socket(Loop& l) {
    unlink(l.path.c_str());
    if (l.lfd >= 0)
        close(l.lfd);
    l.lfd = -1;
    for (Peer& p : l.peers)
        peer_close(p);
    l.peers.clear();
}

} // namespace board
