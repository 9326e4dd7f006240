"""linvaro's activity log as the end-to-end tests read it."""
import os
import select
import time


class Log:
    """linvaro's activity log (its standard output in headless mode), read
    without buffering so that select() sees every line."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.text = ""

    def wait_for(self, needle, seconds, count=1):
        deadline = time.monotonic() + seconds
        while self.text.count(needle) < count and time.monotonic() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if ready:
                data = os.read(self.fd, 65536)
                if not data:
                    break
                self.text += data.decode(errors="replace")
        return self.text.count(needle) >= count

    def drain(self, seconds):
        self.wait_for("\0never\0", seconds)
