"""Many files at once, for the command line.

`sound_files` turns the paths of a command line into the files to work on:
a directory stands for the sound files in it (by extension, in name order,
hidden ones skipped), with its subdirectories when asked. `outcomes` runs a
job on each through a few threads (the library releases the interpreter lock
while libsndfile works, so threads scale), with only a window of them
submitted at any time: a listing of millions of files is never held in
memory; jobs that prove quicker than a hand-over to a thread run on the
calling thread. Its results come in input order, or in the order they finish.
"""
import ctypes
import os
import queue
import stat
import _thread
import threading
import time
from typing import (Any, Callable, Dict, Generator, Iterable, Iterator, List, Optional, Set,
                    Tuple, Type, Union)

from . import _api

# (an input, the error that stands in its place or None)
Input = Tuple[Any, Optional[Exception]]
# (an input, the job's result, the error it failed with)
Outcome = Tuple[Any, Any, Optional[Exception]]
Failures = Union[Type[Exception], Tuple[Type[Exception], ...]]

# Jobs submitted ahead per thread: enough to keep every thread busy while
# the oldest result is waited for, few enough to hold no listing.
WINDOW_PER_THREAD = 4

# See _Pace: the average time of a job below which jobs run on the calling
# thread, and how many jobs are timed before it is judged.
INLINE_BELOW = 100e-6
PACE_SAMPLE = 16


def extensions(major: str) -> List[str]:
    """The file extensions of a major format, in the order the package
    lists them (the first is the one it writes); none for a format whose
    files have no extension of their own (wavex)."""
    return [extension for extension, format in _api._EXTENSION_FORMATS.items()
            if format == major]


class Skipped(Exception):
    """Stands in the place of a folder's entry that is passed over: why."""


# Why an entry of a folder is passed over.
NOT_REGULAR = "not a regular file"
LINKED_FOLDER = "a symbolic link to a directory"


def sound_files(paths: Iterable[str], recursive: bool) -> Iterator[Input]:
    """Each path given, in order: a directory as the sound files in it (and,
    `recursive`, in its subdirectories, depth first, all in name order);
    anything else as itself, whatever its extension, to be tried. A
    directory that cannot be listed comes with its error; so does every
    entry of one that is neither a directory nor a regular file (see
    _entry)."""
    for path in paths:
        if os.path.isdir(path):
            yield from _listed(path, recursive)
        else:
            yield path, None


def _listed(folder: str, recursive: bool) -> Iterator[Input]:
    """The entries of `folder` (see _entry), hidden ones (a name starting
    with a dot) left out."""
    try:
        with os.scandir(folder) as found:
            entries = sorted(found, key=lambda entry: entry.name)
    except OSError as error:
        yield folder, error
        return
    for entry in entries:
        if not entry.name.startswith("."):
            yield from _entry(entry, recursive)


def _entry(entry: "os.DirEntry[str]", recursive: bool) -> Iterator[Input]:
    """A regular file (or a link to one) whose extension the package knows,
    to be read; a subdirectory, entered when `recursive`. Everything else is
    accounted for, whatever its name: a FIFO, a device or a socket is
    Skipped (reading one could wait for ever or never end), and so, when
    `recursive`, is a link to a directory (never followed: it could lead
    back up the tree, or into a folder listed already); a link that leads
    nowhere (its target missing, or a loop of links) comes with its error."""
    try:
        if entry.is_dir(follow_symlinks=False):
            if recursive:
                yield from _listed(entry.path, recursive)
            return
        # The listing's own type of a plain file costs no system call.
        regular = entry.is_file(follow_symlinks=False)
        mode = stat.S_IFREG if regular else entry.stat(follow_symlinks=True).st_mode
    except OSError as error:
        yield entry.path, _broken_link(entry, error)
        return
    if stat.S_ISDIR(mode):
        if recursive:
            yield entry.path, Skipped(LINKED_FOLDER)
    elif not stat.S_ISREG(mode):
        yield entry.path, Skipped(NOT_REGULAR)
    elif _api._extension(entry.name) in _api._EXTENSION_FORMATS:
        yield entry.path, None


def _broken_link(entry: "os.DirEntry[str]", error: OSError) -> OSError:
    """The error of an entry that cannot be examined, saying so when it is
    a symbolic link (the system's reason alone would say the listed name
    does not exist)."""
    if not entry.is_symlink() or not error.strerror:
        return error
    return type(error)(error.errno, f"a symbolic link that leads nowhere ({error.strerror})",
                       entry.path)


def outcomes(job: Callable[[Any], Any], inputs: Iterable[Input], threads: int,
             failures: Failures, ordered: bool = True,
             finish_on_interrupt: bool = False) -> Generator[Outcome, None, None]:
    """(input, job(input), None) for each input, or (input, None, error) when
    the input came with an error or the job raised one of `failures` (any
    other exception is raised here). With one thread the jobs run here, one
    after the other; with more, in a pool, in input order when `ordered`,
    else in the order they finish. When the caller is interrupted (or stops
    early), the jobs not started are cancelled and the running ones get a
    KeyboardInterrupt at their next step; with `finish_on_interrupt` this
    waits until they have unwound (a job that writes files cleans up then)."""
    if threads <= 1:
        for item, error in inputs:
            yield _run_here(job, item, error, failures)
        return
    pool = _Pool(job, threads, failures)
    window = _Window(pool, ordered)
    size = threads * WINDOW_PER_THREAD
    inputs = iter(inputs)
    try:
        for item, error in inputs:
            window.add(item, error)
            while len(window) >= size:
                yield from window.take()
            if pool.pace.inline:
                while window:  # what the pool holds comes first
                    yield from window.take()
                yield from _here(job, inputs, failures, pool.pace)
        while window:
            yield from window.take()
    except BaseException:
        pool.interrupt(wait=finish_on_interrupt)
        raise
    finally:
        pool.close()


def _run_here(job: Callable[[Any], Any], item: Any, error: Optional[Exception],
              failures: Failures) -> Outcome:
    if error is not None:
        return item, None, error
    try:
        return item, job(item), None
    except failures as failure:
        return item, None, failure


def _here(job: Callable[[Any], Any], inputs: Iterator[Input], failures: Failures,
          pace: "_Pace") -> Iterator[Outcome]:
    """The outcomes of the next inputs, the jobs run here, until they take
    long enough for the threads (see _Pace). Each job is timed alone: the
    caller's work between two outcomes does not count."""
    clock = time.perf_counter
    spent, count = 0.0, 0
    limit = INLINE_BELOW * PACE_SAMPLE
    for item, error in inputs:
        started = clock()
        outcome = _run_here(job, item, error, failures)
        spent += clock() - started
        count += 1
        yield outcome
        if spent >= limit:
            pace.inline = False
            return
        if count >= PACE_SAMPLE:
            spent, count = 0.0, 0


class _Pace:
    """Whether jobs run on the calling thread, judged from how long they
    take. Two threads gain only while libsndfile works (the interpreter lock
    released), and every job handed to a thread and back costs switches of
    the lock: for a job of a few tens of microseconds (the header of a
    small file) that costs more than the second thread gains. Jobs that take
    less than INLINE_BELOW on average, over PACE_SAMPLE of them in the
    threads, run here one after the other (_here); as soon as the jobs of a
    sample have taken more than that average allows, they go to the threads
    again."""

    def __init__(self) -> None:
        self.inline = False
        self.spent, self.count = 0.0, 0

    def note(self, seconds: float) -> None:
        self.spent += seconds
        self.count += 1
        if self.spent >= INLINE_BELOW * PACE_SAMPLE:
            self.inline = False
        elif self.count >= PACE_SAMPLE:
            self.inline = True
        else:
            return
        self.spent, self.count = 0.0, 0


class _Window:
    """The inputs in hand: submitted to the pool and not yet back, or back
    (or come with an error) and not yet handed out. Each carries its place
    in the input order."""

    def __init__(self, pool: "_Pool", ordered: bool):
        self.pool, self.ordered = pool, ordered
        self.out = 0      # submitted, not yet back
        self.ready: Dict[int, Outcome] = {}
        self.given = 0    # places given so far
        self.next = 0     # ordered: the place handed out next

    def __len__(self) -> int:
        return self.out + len(self.ready)

    def add(self, item: Any, error: Optional[Exception]) -> None:
        place, self.given = self.given, self.given + 1
        if error is None:
            self.pool.submit(place, item)
            self.out += 1
        else:
            self.ready[place] = (item, None, error)

    def take(self) -> Iterator[Outcome]:
        """Every outcome that may be handed out now (the next in input order
        and those after it, when ordered), waiting for one to come back
        when there is none; a fault of a job is raised here."""
        while not self._due():
            self._back(self.pool.finished())
        while self.out and (back := self.pool.finished_now()) is not None:
            self._back(back)
        if not self.ordered:
            while self.ready:
                yield self.ready.pop(next(iter(self.ready)))
            return
        while self.next in self.ready:
            outcome = self.ready.pop(self.next)
            self.next += 1
            yield outcome

    def _due(self) -> bool:
        return self.next in self.ready if self.ordered else bool(self.ready)

    def _back(self, finished: Tuple[int, Outcome]) -> None:
        place, outcome = finished
        self.out -= 1
        self.ready[place] = outcome


class _Fault:
    """A job's exception that is not one of the failures: raised where the
    outcome is taken."""

    def __init__(self, error: BaseException):
        self.error = error


class _Pool:
    """Threads that run one job on submitted inputs. Inputs go in and
    outcomes come back through two queues (CPython's own, in C): no future,
    condition or lock of Python code per input, whose cost would outweigh
    what a second thread gains on a small file. They are daemon threads: one
    blocked in a system call that no signal ends (opening a FIFO that nobody
    writes to) cannot keep an interrupted program from exiting."""

    def __init__(self, job: Callable[[Any], Any], count: int, failures: Failures):
        self.job, self.failures = job, failures
        self.inputs: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        # (place, outcome or _Fault, seconds the job took)
        self.outcomes: "queue.SimpleQueue[Tuple[int, Any, float]]" = queue.SimpleQueue()
        self.cancelled = False  # the inputs still queued are not to be run
        self.pace = _Pace()
        self.lock = threading.Lock()
        self.busy: Set[int] = set()  # the threads running a job now
        # Each thread's lock, held until the thread ends: what a join waits for.
        self.ends: Dict[int, Any] = {}
        self.count = count
        for _ in range(count):
            self._start()

    def _start(self) -> None:
        """One more thread. threading.Thread.start() waits until the new
        thread runs, which on a busy machine costs milliseconds per thread
        (more than a batch of small files takes to read); this one returns
        at once."""
        end = _thread.allocate_lock()
        end.acquire()

        def serve() -> None:
            with self.lock:
                self.ends[threading.get_ident()] = end
            try:
                self._serve()
            finally:
                end.release()

        _thread.start_new_thread(serve, ())

    def submit(self, place: int, item: Any) -> None:
        self.inputs.put((place, item))

    def finished(self) -> Tuple[int, Outcome]:
        """(place, outcome) of a job that came back, waiting for one; a
        fault is raised."""
        return self._taken(self.outcomes.get())

    def finished_now(self) -> Optional[Tuple[int, Outcome]]:
        """What finished() gives, or None when no job has come back."""
        try:
            return self._taken(self.outcomes.get(block=False))
        except queue.Empty:
            return None

    def _taken(self, back: Tuple[int, Any, float]) -> Tuple[int, Outcome]:
        place, outcome, seconds = back
        self.pace.note(seconds)
        if isinstance(outcome, _Fault):
            raise outcome.error
        return place, outcome

    def _serve(self) -> None:
        try:
            while (task := self.inputs.get()) is not None:
                if not self.cancelled:
                    started = time.perf_counter()
                    outcome = self._run(task[1])
                    self.outcomes.put((task[0], outcome, time.perf_counter() - started))
        except BaseException:  # the KeyboardInterrupt of interrupt(): this thread is done
            pass

    def _run(self, item: Any) -> Any:
        me = threading.get_ident()
        with self.lock:
            self.busy.add(me)
        try:
            return item, self.job(item), None
        except self.failures as failure:
            return item, None, failure
        except Exception as error:  # a fault of the job: raised in the caller
            return _Fault(error)
        finally:
            with self.lock:
                self.busy.discard(me)

    def interrupt(self, wait: bool) -> None:
        """The inputs not started cancelled, and a KeyboardInterrupt raised
        in each thread running a job, as Ctrl-C raises one in the main
        thread: it takes effect at the job's next step in Python (a call
        into libsndfile finishes first). With `wait`, returns once those
        threads have unwound."""
        self.cancelled = True
        with self.lock:
            running = set(self.busy)
            for ident in running:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(ident),
                                                           ctypes.py_object(KeyboardInterrupt))
        if wait:
            for ident in running:
                with self.ends[ident]:  # released as the thread ends
                    pass

    def close(self) -> None:
        """Lets every thread end once the inputs queued before are taken."""
        for _ in range(self.count):
            self.inputs.put(None)
