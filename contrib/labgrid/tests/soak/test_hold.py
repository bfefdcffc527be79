"""Holds each board's console after its first pass, quiet, until the process is ended from
outside: a client that goes away in the middle of a soak."""

import os
import pathlib
import time


def test_hold(env, board):
    console = env.get_target(board).get_driver("LarkspurDriver")
    console.expect("DDR test: PASS", timeout=90)
    pathlib.Path(os.environ["LG_HOLDING"]).touch()
    time.sleep(600)
