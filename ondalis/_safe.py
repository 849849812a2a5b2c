"""Writing a file so that a failure never harms what was there.

A target that is a regular file, or that does not exist yet, is written as a
new file beside it (same folder, a hidden name) and moved over it only when
the writer has confirmed the new file; on any failure or interrupt only that
new file is removed. A symlink is followed: the file it points to is the one
replaced, and the link stays. Any other target (a device, a FIFO, a
descriptor, a file object) is written in place and never removed.
"""
import contextlib
import os
import secrets
import stat
from typing import Any, Iterator, List, Optional, Tuple, Union

PathName = Union[str, bytes]


def _is_path(target: Any) -> bool:
    return isinstance(target, (str, bytes, os.PathLike))


def replaceable(target: Any) -> bool:
    """Whether `target` is a path to a regular file or to nothing yet."""
    if not _is_path(target):
        return False
    try:
        return stat.S_ISREG(os.stat(target).st_mode)
    except FileNotFoundError:
        return True


def _regular(path: bytes) -> bool:
    """Whether `path` is a regular file itself (a symlink is not)."""
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def _identity(path: bytes) -> Tuple[int, int]:
    found = os.lstat(path)
    return found.st_dev, found.st_ino


def _fork(path: bytes) -> bytes:
    directory, name = os.path.split(path)
    return os.path.join(directory, b"._" + name)


class _Part:
    """The new file beside the target, created with the permissions a new
    file gets (the umask applies) or, when it replaces one, with its mode."""

    def __init__(self) -> None:
        self.path: Optional[bytes] = None
        self.identity: Optional[Tuple[int, int]] = None
        self.foreign_fork = True

    def create(self, target: Any) -> None:
        """Creates the new file. An interrupt at any point leaves nothing:
        until `path` is set, the file just created is removed here; after,
        discard() removes it."""
        self.final = os.path.realpath(os.fsencode(os.fspath(target)))
        directory, name = os.path.split(self.final)
        for _ in range(100):
            path = os.path.join(directory, b"." + name + b"." + secrets.token_hex(4).encode()
                                + b".part")
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                self.path = path
            except FileExistsError:
                continue
            except OSError:
                raise  # the open failed: it made nothing
            except BaseException:
                # Interrupted once the exclusive open had made the file: the
                # fresh random name holds this call's new, empty file.
                if _regular(path) and os.lstat(path).st_size == 0:
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(path)
                raise
            break
        else:
            raise FileExistsError(f"cannot find a free name beside {os.fsdecode(self.final)}")
        try:
            # What this call made: the new file (its identity, so that only it
            # is ever removed), and whether a fork beside its fresh name
            # already existed (then it is not ours to move or remove).
            made = os.fstat(fd)
            self.identity = (made.st_dev, made.st_ino)
            self.foreign_fork = os.path.lexists(_fork(path))
            with contextlib.suppress(FileNotFoundError):
                os.fchmod(fd, stat.S_IMODE(os.stat(self.final).st_mode))
        finally:
            os.close(fd)

    def commit(self) -> None:
        """The new file synced to disk and moved over the target, with the
        resource fork that libsndfile writes beside an SD2 file."""
        moves = self._moves()
        if not moves or moves[0][0] != self.path:
            raise FileNotFoundError(f"the file written beside {os.fsdecode(self.final)!r} "
                                    "is gone or was replaced")
        for written, final in moves:
            fd = os.open(written, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(written, final)
        directory = os.open(os.path.dirname(self.final) or b".", os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)

    def discard(self) -> None:
        """Removes what this call made, and nothing else."""
        if self.path is not None and self.identity is None:
            # Interrupted before the new file's identity was taken: the one
            # the exclusive open just made, while it is still a regular file.
            if _regular(self.path):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(self.path)
            return
        for written, _ in self._moves():
            with contextlib.suppress(FileNotFoundError):
                os.remove(written)

    def _moves(self) -> List[Tuple[bytes, bytes]]:
        """(written, final) of the new file and of the resource fork that
        libsndfile wrote beside it (AppleDouble: the name with "._" in
        front), each only while it is a regular file this call made."""
        moves: List[Tuple[bytes, bytes]] = []
        if self.path is None:
            return moves
        if _regular(self.path) and _identity(self.path) == self.identity:
            moves.append((self.path, self.final))
        fork = _fork(self.path)
        if not self.foreign_fork and _regular(fork):
            moves.append((fork, _fork(self.final)))
        return moves


@contextlib.contextmanager
def written(target: Any) -> Iterator[Any]:
    """Where to write `target`: a new file beside it when it is replaceable,
    else the target itself. The body writes, closes and confirms the file;
    when it returns, the new file replaces the target; when it raises
    (KeyboardInterrupt included), the new file is removed and the target is
    as it was."""
    if not replaceable(target):
        yield target
        return
    part = _Part()
    try:
        part.create(target)
        assert part.path is not None
        yield os.fsdecode(part.path)
        part.commit()
    except OSError as error:
        part.discard()
        raise _naming(error, part.path, target) if part.path is not None else error
    except BaseException:
        part.discard()
        raise


def _naming(error: OSError, part: bytes, target: Any) -> OSError:
    """`error` as the caller should see it: naming the target, not the new
    file beside it that was written in its place."""
    shown, meant = repr(os.fsdecode(part)), repr(os.fsdecode(os.fspath(target)))
    error.args = tuple(arg.replace(shown, meant) if isinstance(arg, str) else arg
                       for arg in error.args)
    if error.filename is not None and os.fsencode(error.filename) == part:
        error.filename = os.fspath(target)
    return error
