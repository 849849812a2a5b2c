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
from typing import Any, Iterator, List, Tuple, Union

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


def _fork(path: bytes) -> bytes:
    directory, name = os.path.split(path)
    return os.path.join(directory, b"._" + name)


class _Part:
    """The new file beside the target, created with the permissions a new
    file gets (the umask applies) or, when it replaces one, with its mode."""

    def __init__(self, target: Any):
        self.final = os.path.realpath(os.fsencode(os.fspath(target)))
        directory, name = os.path.split(self.final)
        for _ in range(100):
            path = os.path.join(directory, b"." + name + b"." + secrets.token_hex(4).encode()
                                + b".part")
            try:
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            except FileExistsError:
                continue
            break
        else:
            raise FileExistsError(f"cannot find a free name beside {os.fsdecode(self.final)}")
        self.path = path
        try:
            os.fchmod(fd, stat.S_IMODE(os.stat(self.final).st_mode))
        except FileNotFoundError:
            pass
        finally:
            os.close(fd)

    def commit(self) -> None:
        """The new file synced to disk and moved over the target, with the
        resource fork that libsndfile writes beside an SD2 file."""
        for written, final in self._moves():
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
        for written, _ in self._moves():
            with contextlib.suppress(FileNotFoundError):
                os.remove(written)

    def _moves(self) -> List[Tuple[bytes, bytes]]:
        """(written, final) of the new file and of a resource fork beside it
        (AppleDouble: the name with "._" in front), when there is one."""
        moves = [(self.path, self.final)]
        fork = _fork(self.path)
        if os.path.lexists(fork):
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
    part = _Part(target)
    try:
        yield os.fsdecode(part.path)
        part.commit()
    except OSError as error:
        part.discard()
        raise _naming(error, part.path, target)
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
