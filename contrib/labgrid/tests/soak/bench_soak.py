"""Figures, not checks: what the driver adds to a run's start, and the relay's CPU share
while its board runs a soak of --passes passes, a second apart (bench.sh runs one pytest a
board, side by side)."""

import glob
import time

# a pass on a real board takes a while; the relay waits meanwhile
PASS_PAUSE_S = 1.0


def cpu_s(pid):
    # on-CPU time of every thread of the process, in seconds
    total = 0
    for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        with open(stat) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def test_bench(env, board, passes):
    target = env.get_target(board)
    t1 = time.monotonic()
    console = target.get_driver("LarkspurDriver")
    t2 = time.monotonic()
    console.expect("\n", timeout=30)
    t3 = time.monotonic()
    console.expect("Running DDR test", timeout=90)
    pid = console._child.pid
    cpu0, wall0 = cpu_s(pid), time.monotonic()
    for n in range(1, passes + 1):
        if n > 1:
            time.sleep(PASS_PAUSE_S)
            console.write(b"r")
        console.expect(f"pass {n}\r\n", timeout=30)
        console.expect("DDR test: PASS", timeout=30)
    cpu1, wall1 = cpu_s(pid), time.monotonic()
    assert console.end() == 0
    print(f"\nBENCH {board}: activation "
          f"{1000 * (t2 - t1):.1f} ms, first line {1000 * (t3 - t1):.1f} ms, relay "
          f"{passes} passes in {wall1 - wall0:.2f} s, CPU {1000 * (cpu1 - cpu0):.1f} ms "
          f"= {100 * (cpu1 - cpu0) / (wall1 - wall0):.2f} %")
