"""Waiting on a condition with a deadline, for the tests written in Python."""
import time

DEADLINE = 60.0  # seconds for any one thing to happen: under emulation or on a loaded machine


def wait_for(condition, what, deadline=DEADLINE, interval=0.02):
    """Returns condition()'s first true value, polled until the deadline."""
    end = time.monotonic() + deadline
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("gave up after %.0f s waiting for %s" % (deadline, what))
        time.sleep(interval)
