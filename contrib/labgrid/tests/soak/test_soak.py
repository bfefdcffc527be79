"""Soak test: every board of the environment runs its DDR test a number of times, then ESC.

A failing pass, or a run that ends on its own (larkspur's failure line in the error), ends
the board's test.
"""

# The first pass outlasts larkspur's own wait for a board that comes back late (USB bulk
# 30 s, HID 50 s), so that a board that never does fails with larkspur's line.
FIRST_PASS_S = 90
NEXT_PASS_S = 30


def test_soak(env, board, passes):
    console = env.get_target(board).get_driver("LarkspurDriver")
    for n in range(1, passes + 1):
        if n > 1:
            console.write(b"r")  # the test program runs another pass
        console.expect(f"pass {n}\r\n", timeout=FIRST_PASS_S if n == 1 else NEXT_PASS_S)
        index, _, match, _ = console.expect([r"DDR test: PASS", r"DDR test: FAIL[^\r]*"],
                                            timeout=NEXT_PASS_S)
        assert index == 0, match.group(0).decode()
    assert console.end() == 0
