"""Ctrl-C and SIGTERM (a batch system's end of a job): the one way a
collection stops on them. One handler (signalled) serves both signals: it
raises KeyboardInterrupt in the main thread, as Python's Ctrl-C does,
except while an executor waits for its batches (Interrupts), when it only
notes the signal and the executor raises KeyboardInterrupt at the end of
its current wait (at most WAIT seconds). An executor never waits longer
for a batch: a reading thread that does not return (a pipe nobody writes)
is abandoned (abandon), and a command that ends with abandoned threads
ends its process at once (exit), since they may still run in C++ while
Python and the library shut down. Imports nothing of pdsplit.dataset."""
import os
import queue
import signal
import sys
import threading

WAIT = 0.25  # seconds an executor waits for a batch before it looks at the signals
SIGNALS = (signal.SIGINT, signal.SIGTERM)


class _State:
    noting = False  # an executor of the main thread waits for batches
    noted = threading.Event()
    abandoned = []  # reading threads left running


def signalled(signum, frame):
    """The handler of SIGINT and SIGTERM."""
    if _State.noting:
        _State.noted.set()
    else:
        raise KeyboardInterrupt


class Interrupts:
    """While an executor waits for its batches: the signals noted (in the
    main thread, where Python runs handlers; Python's own Ctrl-C handler is
    replaced for the while) and raised as KeyboardInterrupt by check() and
    next_done(). A KeyboardInterrupt raised at any moment could leave a lock
    of a queue or of a client held."""

    def __enter__(self):
        self.previous = {}
        self.main = threading.current_thread() is threading.main_thread()
        if self.main:
            for signum in SIGNALS:
                if signal.getsignal(signum) is signal.default_int_handler:
                    self.previous[signum] = signal.signal(signum, signalled)
            _State.noted.clear()
            _State.noting = True
        return self

    def check(self):
        if self.main and _State.noted.is_set():
            raise KeyboardInterrupt

    def next_done(self, done, tick, alive=None):
        """The next item of the queue `done`, waited for WAIT seconds at a
        time; between waits tick(), alive() (which raises when the items
        can no longer come) and check()."""
        while True:
            self.check()
            try:
                return done.get(timeout=WAIT)
            except queue.Empty:
                tick()
                if alive is not None:
                    alive()

    def __exit__(self, *exc):
        if self.main:
            _State.noting = False
            for signum, handler in self.previous.items():
                signal.signal(signum, handler)
        if exc[0] is None:
            self.check()  # a signal noted during the last batch


def abandon(threads):
    """Reading threads that are left running (they end with the process)."""
    _State.abandoned.extend(t for t in threads if t.is_alive())


def exit_if_abandoned(status):
    """Ends the process with `status` when reading threads were abandoned and
    still run; returns otherwise."""
    if any(t.is_alive() for t in _State.abandoned):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)


def guarded(work):
    """work() with signalled handling SIGINT and SIGTERM (when they have a
    handler of Python's or none changed: a SIGTERM ignored stays ignored),
    the previous handlers put back after."""
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in SIGNALS:
            if signal.getsignal(signum) in (signal.default_int_handler, signal.SIG_DFL):
                previous[signum] = signal.signal(signum, signalled)
    try:
        return work()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
