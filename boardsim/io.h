// What the three transports share: the device directory, the signals that end the
// board, pacing, and non-blocking SOCK_SEQPACKET peers.
#pragma once

#include "boardsim/board.h"

#include <deque>
#include <string>

namespace board {

// The device directory (created when missing); empty and a message on failure.
std::string device_dir(const Options& opt, std::string& err);

// SIGINT and SIGTERM arrive through this descriptor (they are blocked otherwise).
int signal_fd();
bool signalled(int sigfd);

// Spreads units (bytes, reports) over time: at most one per `per` on average.
struct Pacer {
    double per_s = 0; // 0: no limit
    Clock::time_point next{};
    size_t burst = 1; // units that may go at once after a pause
};
Pacer make_pacer(double units_per_s, size_t burst);
size_t pacer_budget(const Pacer& p, Clock::time_point now);
void pacer_spend(Pacer& p, size_t n, Clock::time_point now);
// Milliseconds until the pacer allows a unit again (0: now).
int pacer_wait_ms(const Pacer& p, Clock::time_point now);

// One connected SOCK_SEQPACKET peer with its queue of messages not yet sent.
struct Peer {
    int fd = -1;
    std::deque<std::string> queue;
    size_t queued_bytes = 0;
    bool dead = false;
};
void peer_send(Peer& p, std::string msg);
// Sends what the socket takes now; marks the peer dead on a hard error.
void peer_flush(Peer& p);
// Waits (bounded) until everything queued has gone out.
void peer_drain(Peer& p, int timeout_ms);
void peer_close(Peer& p);

// A listening SOCK_SEQPACKET socket at path. A stale socket file (nobody listening) is
// replaced; a live one is not. -1 and a message on failure.
int listen_at(const std::string& path, std::string& err);
int accept_peer(int listen_fd);

int ms_until(Clock::time_point t, Clock::time_point now);
// Poll timeout helper: the smaller of a and b, where -1 means none.
int min_timeout(int a, int b);

void put_le16(std::string& s, uint16_t v);
void put_le32(std::string& s, uint32_t v);
uint32_t le32_at(const std::string& s, size_t off);

} // namespace board
