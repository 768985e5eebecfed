"""A console stand-in for logging handlers: counts what it is given and keeps
nothing, so loggers can run for a long time in tests and benchmarks."""


class Sink:
    def __init__(self):
        self.writes = 0

    def write(self, text):
        self.writes += 1

    def flush(self):
        pass
