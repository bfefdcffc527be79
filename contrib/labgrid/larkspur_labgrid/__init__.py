"""labgrid driver for larkspur: import this module (an environment file's `imports`) to
register LarkspurDriver."""

from .driver import LarkspurDriver, LarkspurError

__all__ = ["LarkspurDriver", "LarkspurError"]
