"""Progress of a collection on standard error: a tqdm bar on a terminal, else
(a batch system's log) one plain line every few seconds. Imports nothing of
pdsplit.dataset."""
import sys
import time

PLAIN_EVERY = 10.0  # seconds between plain lines


class Progress:
    def __init__(self, total, enabled):
        self.total, self.done, self.failed = total, 0, 0
        self.enabled = enabled and total > 0
        self.start = self.last = time.monotonic()
        self.bar = None
        if self.enabled and sys.stderr.isatty():
            try:  # tqdm is optional: imported only where a bar is shown
                from tqdm import tqdm
            except ImportError:  # plain lines then
                return
            self.bar = tqdm(total=total, unit="run", file=sys.stderr, dynamic_ncols=True,
                            desc="pdsplit collect")

    def update(self, n, failed):
        self.done += n
        self.failed = failed
        if self.bar is not None:
            self.bar.set_postfix(failed=failed, refresh=False)
            self.bar.update(n)

    def tick(self):
        """A plain line when the last one is PLAIN_EVERY seconds old."""
        now = time.monotonic()
        if self.enabled and self.bar is None and now - self.last >= PLAIN_EVERY:
            self.last = now
            self._line(now)

    def _line(self, now):
        rate = self.done / max(now - self.start, 1e-9)
        left = (self.total - self.done) / rate if rate > 0 else float("nan")
        eta = time.strftime("%H:%M:%S", time.gmtime(left)) if left == left else "?"
        print(f"pdsplit collect: {self.done}/{self.total} runs read, {self.failed} failed, "
              f"{rate:.1f} runs/s, {eta} left", file=sys.stderr, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.enabled and self.done:
            self._line(time.monotonic())
