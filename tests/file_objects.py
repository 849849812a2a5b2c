"""File objects of our own over real files, for tests that need one to
misbehave or to report how it is called."""


class Fault(Exception):
    """What a misbehaving file object raises."""


class Seekable:
    """A seekable file object over a real file `f`; fail() raises a Fault
    and keeps it in `raised`."""

    def __init__(self, f):
        self.f, self.raised, self.calls = f, [], 0

    def fail(self):
        self.raised.append(Fault(f"call {self.calls}"))
        raise self.raised[-1]

    def seek(self, *args):
        return self.f.seek(*args)

    def tell(self):
        return self.f.tell()

    def seekable(self):
        return True
