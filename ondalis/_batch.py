"""Many files at once, for the command line.

`sound_files` turns the paths of a command line into the files to work on:
a directory stands for the sound files in it (by extension, in name order,
hidden ones skipped), with its subdirectories when asked. `outcomes` runs a
job on each through a few threads (the library releases the interpreter lock
while libsndfile works, so threads scale), with only a window of them
submitted at any time: a listing of millions of files is never held as
futures. Its results come in input order, or in the order they finish.
"""
import ctypes
import os
import queue
import threading
from concurrent import futures
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


def extensions(major: str) -> List[str]:
    """The file extensions of a major format, in the order the package
    lists them (the first is the one it writes); none for a format whose
    files have no extension of their own (wavex)."""
    return [extension for extension, format in _api._EXTENSION_FORMATS.items()
            if format == major]


def sound_files(paths: Iterable[str], recursive: bool) -> Iterator[Input]:
    """Each path given, in order: a directory as the sound files in it (and,
    `recursive`, in its subdirectories, depth first, all in name order);
    anything else as itself, whatever its extension, to be tried. A
    directory that cannot be listed comes with its error."""
    for path in paths:
        if os.path.isdir(path):
            yield from _listed(path, recursive)
        else:
            yield path, None


def _listed(folder: str, recursive: bool) -> Iterator[Input]:
    """The sound files of `folder`: files whose extension the package knows,
    not hidden (a name starting with a dot). Subdirectories are entered only
    when `recursive`, hidden ones and links to directories never (a link
    could lead back up the tree)."""
    try:
        with os.scandir(folder) as found:
            entries = sorted(found, key=lambda entry: entry.name)
    except OSError as error:
        yield folder, error
        return
    for entry in entries:
        if entry.name.startswith("."):
            continue
        if entry.is_dir(follow_symlinks=False):
            if recursive:
                yield from _listed(entry.path, recursive)
        elif _api._extension(entry.name) in _api._EXTENSION_FORMATS and entry.is_file():
            yield entry.path, None


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
    pool = _Pool(threads)
    window = _Window(threads * WINDOW_PER_THREAD, ordered)
    try:
        for item, error in inputs:
            window.add(item, pool.submit(job, item) if error is None else _failed(error))
            while window.full():
                yield from window.take(failures)
        while window:
            yield from window.take(failures)
    except BaseException:
        window.cancel()
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


def _failed(error: Exception) -> "futures.Future[Any]":
    done: "futures.Future[Any]" = futures.Future()
    done.set_exception(error)
    return done


class _Window:
    """The submitted jobs whose results are not yet taken, oldest first, at
    most `size` of them."""

    def __init__(self, size: int, ordered: bool):
        self.size, self.ordered = size, ordered
        self.inputs: Dict["futures.Future[Any]", Any] = {}

    def __len__(self) -> int:
        return len(self.inputs)

    def full(self) -> bool:
        return len(self) >= self.size

    def add(self, item: Any, future: "futures.Future[Any]") -> None:
        self.inputs[future] = item

    def take(self, failures: Failures) -> Iterator[Outcome]:
        """The oldest job's outcome (waiting for it) when ordered, else those
        of every job finished by now (waiting for the first)."""
        if self.ordered:
            done: Iterable["futures.Future[Any]"] = [next(iter(self.inputs))]
        else:
            done = futures.wait(self.inputs, return_when=futures.FIRST_COMPLETED).done
        for future in done:
            yield _result(self.inputs.pop(future), future, failures)

    def cancel(self) -> None:
        for future in self.inputs:
            future.cancel()


def _result(item: Any, future: "futures.Future[Any]", failures: Failures) -> Outcome:
    try:
        return item, future.result(), None
    except failures as failure:
        return item, None, failure


class _Pool:
    """Threads that run submitted jobs. They are daemon threads: one blocked
    in a system call that no signal ends (opening a FIFO that nobody writes
    to) cannot keep an interrupted program from exiting."""

    def __init__(self, count: int):
        self.jobs: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self.lock = threading.Lock()
        self.busy: Set[int] = set()  # the threads running a job now
        self.threads = [threading.Thread(target=self._serve, daemon=True,
                                         name=f"ondalis-worker-{n}") for n in range(count)]
        for thread in self.threads:
            thread.start()

    def submit(self, job: Callable[[Any], Any], item: Any) -> "futures.Future[Any]":
        future: "futures.Future[Any]" = futures.Future()
        self.jobs.put((future, job, item))
        return future

    def _serve(self) -> None:
        try:
            while (task := self.jobs.get()) is not None:
                self._run(*task)
        except BaseException:  # the KeyboardInterrupt of interrupt(): this thread is done
            pass

    def _run(self, future: "futures.Future[Any]", job: Callable[[Any], Any], item: Any) -> None:
        if not future.set_running_or_notify_cancel():
            return
        me = threading.get_ident()
        with self.lock:
            self.busy.add(me)
        try:
            future.set_result(job(item))
        except Exception as error:  # handed to the caller with the result
            future.set_exception(error)
        finally:
            with self.lock:
                self.busy.discard(me)

    def interrupt(self, wait: bool) -> None:
        """A KeyboardInterrupt raised in each thread running a job, as Ctrl-C
        raises one in the main thread: it takes effect at the job's next
        step in Python (a call into libsndfile finishes first). With `wait`,
        returns once those threads have unwound."""
        with self.lock:
            running = set(self.busy)
            for ident in running:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(ident),
                                                           ctypes.py_object(KeyboardInterrupt))
        if wait:
            for thread in self.threads:
                if thread.ident in running:
                    thread.join()

    def close(self) -> None:
        """Lets every thread end once the jobs queued before are taken."""
        for _ in self.threads:
            self.jobs.put(None)
