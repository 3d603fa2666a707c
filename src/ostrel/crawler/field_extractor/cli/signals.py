"""Signals that stop an extraction: SIGINT (Ctrl-C), SIGTERM and SIGHUP."""

import signal


class Stopped(KeyboardInterrupt):
    """The run was stopped by a signal (SIGINT, SIGTERM or SIGHUP)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class StopSignals:
    """SIGINT, SIGTERM and SIGHUP stop an extraction alike: the first one
    raises Stopped in the main thread, except while the pages done are
    being written (then it is raised once they are), so that the output
    always ends with a whole page; later ones are ignored while the run
    winds down. The previous handlers come back on exit. Made ``holding``,
    they keep a signal for the first ``release`` (the program's start-up:
    a signal while the native modules load must not cut their loading)."""

    SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))

    def __init__(self, holding=False):
        self.saved = {}
        self.signum = None  # the first signal received
        self.holding = holding

    def __enter__(self):
        try:
            for signum in self.SIGNALS:
                self.saved[signum] = signal.signal(signum, self._handle)
        except ValueError:  # not the main thread: signals stay as they are
            pass
        return self

    def __exit__(self, *exc_info):
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)

    def _handle(self, signum, frame):
        if self.signum is not None:
            return
        self.signum = signum
        if not self.holding:
            raise Stopped(signum)

    def hold(self):
        self.holding = True

    def release(self):
        self.holding = False
        if self.signum is not None:
            raise Stopped(self.signum)
