"""Writing a file so that a failure never harms what was there, and so that
no change of names in its folder can redirect the write.

A target that is a regular file, or that does not exist yet, is written as a
new file in a folder of this call's own (mode 0700) that is made in the
target's folder: no other user can put a name in it, and both folders are
reached through descriptors taken once, so that renaming either one moves
nothing. The new file is created there with O_EXCL | O_NOFOLLOW and is
written, read back and synced through its own descriptor; libsndfile gets
that descriptor, never a name. Once confirmed, the new file takes the old
one's owner, group, mode and extended attributes (ACLs among them) and is
moved over the target. The move is checked by device and inode: before it,
the private name must still be the new file; after it, the target must be.
A mismatch is an OSError, never followed, and a symlink found in the
target's place after the move is removed, so that the target never becomes
one the writer did not find there. On any failure or interrupt only what
this call made is removed.

A target with other names (hard links), one whose owner, group or attributes
the new file cannot be given, and one in a folder the writer may not write
are written in place instead, once the new content is confirmed (beside the
target, or in an unnamed file in the temporary folder): it is copied into
the target through a descriptor opened with O_NOFOLLOW (room for it taken
first), which is then cut to its length and synced, so that its other names
see it. Where the file itself may not be written, it is replaced as above.

A symlink is followed: the file it points to is the one replaced, and the
link stays. Any other target (a device, a FIFO, a descriptor, a file object)
is written in place and never removed.

libsndfile writes SD2 only by name, with its resource fork beside it as
"._NAME": an SD2 file is written by a name that reaches the private folder
through its descriptor (/proc/self/fd), and both files are moved out of it.
SD2 files are always replaced, never written in place.
"""
import contextlib
import errno
import os
import re
import secrets
import stat
import tempfile
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

from . import _ondalis, _stream

PathName = Union[str, bytes]
Identity = Tuple[int, int]
# An attribute's value, or None for one that is listed but cannot be read.
Attributes = Dict[str, Optional[bytes]]

_NEW = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
# Opening a name that should be an existing regular file: never through a
# symlink, never waiting on a FIFO put in its place.
_EXISTING = os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
_COPY_BLOCK = 1 << 20


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


def rewound(place: Any) -> Any:
    """`place` ready to be read back from its start: a descriptor is sought
    to 0 (libsndfile takes a descriptor's position as the file's start)."""
    if isinstance(place, int):
        os.lseek(place, 0, os.SEEK_SET)
    return place


def _written_by_name(code: int) -> bool:
    """Whether libsndfile writes the format `code` only by name (SD2)."""
    return code & _ondalis.SF_FORMAT_TYPEMASK == _ondalis.fileformat_name_to_id["sd2"]


def _identity(found: os.stat_result) -> Identity:
    return found.st_dev, found.st_ino


def _fork(name: bytes) -> bytes:
    return b"._" + name


def _changed(target: Any, what: str) -> OSError:
    """The OSError of a write that a change in the target's folder stopped."""
    shown = os.fsdecode(os.fspath(target))
    # SndfileError: the OSError whose text stays the message once it names a file.
    error: OSError = _stream.SndfileError(f"{shown!r} was not written: {what}")
    error.filename = shown
    return error


def _refuse_foreign_links(path: bytes) -> None:
    """PermissionError for a target that is a symlink (or a chain of them)
    which the kernel would not follow for this user: one owned by another
    user in a sticky, world-writable folder (/tmp, a shared drop folder)
    whose owner is not the link's either. Resolving the name ourselves must
    not undo that protection: such a link may point at any file of ours."""
    for _ in range(40):
        try:
            link = os.lstat(path)
        except FileNotFoundError:
            return
        if not stat.S_ISLNK(link.st_mode):
            return
        folder = os.path.dirname(path) or b"."
        shared = os.stat(folder)
        if shared.st_mode & stat.S_ISVTX and shared.st_mode & stat.S_IWOTH \
                and link.st_uid not in (os.geteuid(), shared.st_uid):
            raise PermissionError(errno.EACCES, "a symlink another user owns in a shared "
                                  "folder is not followed", os.fsdecode(path))
        path = os.path.join(folder, os.readlink(path))


class _Folder:
    """A folder reached through one descriptor: every name in it is looked up
    there, never through the folder's path again."""

    def __init__(self, fd: int, path: bytes) -> None:
        self.fd, self.path = fd, path

    @classmethod
    def at(cls, path: bytes) -> "_Folder":
        return cls(os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC), path)

    def lstat(self, name: PathName) -> Optional[os.stat_result]:
        try:
            return os.stat(name, dir_fd=self.fd, follow_symlinks=False)
        except FileNotFoundError:
            return None

    def holds(self, name: PathName, identity: Identity) -> bool:
        """Whether `name` is the regular file `identity` (device and inode)."""
        found = self.lstat(name)
        return found is not None and stat.S_ISREG(found.st_mode) and _identity(found) == identity

    def open(self, name: PathName, flags: int, mode: int = 0o666) -> int:
        return os.open(name, flags, mode, dir_fd=self.fd)

    def sync(self) -> None:
        os.fsync(self.fd)

    def close(self) -> None:
        os.close(self.fd)


def _attributes(fd: int) -> Attributes:
    """The extended attributes of the open file `fd`, by name."""
    if not hasattr(os, "listxattr"):
        return {}
    try:
        names = os.listxattr(fd)
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
            return {}
        raise
    found: Attributes = {}
    for name in names:
        try:
            found[name] = os.getxattr(fd, name)
        except OSError as error:
            if error.errno != errno.ENODATA:  # gone since it was listed
                found[name] = None
    return found


def _existing(folder: _Folder, name: bytes) -> Optional[Tuple[os.stat_result, Attributes]]:
    """The regular file at `name` (not through a symlink): its status and
    extended attributes, read through one descriptor; its status alone when
    it may not be read. None when there is none."""
    try:
        fd = folder.open(name, os.O_RDONLY | _EXISTING)
    except FileNotFoundError:
        return None
    except OSError as error:
        if error.errno == errno.ELOOP:
            return None  # a symlink: its name is replaced, it is not followed
        if not isinstance(error, PermissionError):
            raise
        found = folder.lstat(name)
        return (found, {}) if found is not None and stat.S_ISREG(found.st_mode) else None
    try:
        found = os.fstat(fd)
        return (found, _attributes(fd)) if stat.S_ISREG(found.st_mode) else None
    finally:
        os.close(fd)


def _has(fd: int, name: str, value: bytes) -> bool:
    try:
        return os.getxattr(fd, name) == value
    except OSError:
        return False


def _give(fd: int, found: os.stat_result, attributes: Attributes) -> bool:
    """Gives the new file `fd` the old one's owner, group, mode and extended
    attributes, the owner first (a change of owner clears the set-user-ID bit
    and file capabilities). Whether it could be given all of them."""
    kept = True
    made = os.fstat(fd)
    if (made.st_uid, made.st_gid) != (found.st_uid, found.st_gid):
        try:
            os.fchown(fd, found.st_uid, found.st_gid)
        except PermissionError:
            kept = False
            with contextlib.suppress(PermissionError):
                os.fchown(fd, -1, found.st_gid)  # a group the writer is in
    os.fchmod(fd, stat.S_IMODE(found.st_mode))
    for name, value in attributes.items():
        if value is None:
            kept = False
        elif not _has(fd, name, value):
            try:
                os.setxattr(fd, name, value)
            except OSError:
                kept = False
    return kept


def _reserve(fd: int, size: int) -> None:
    """Room for `size` bytes in the file `fd`, taken before a byte of it
    changes, where the file system can say whether there is room."""
    before = os.fstat(fd).st_size
    try:
        os.posix_fallocate(fd, 0, size)
    except OSError as error:
        if error.errno in (errno.EOPNOTSUPP, errno.ENOTSUP, errno.EINVAL):
            return
        os.ftruncate(fd, before)  # an allocation past the end may have grown it
        raise


def _copy_into(into: int, source: int) -> None:
    """The bytes of the file `source` written over the file `into`, which is
    then cut to their length and synced."""
    size = os.fstat(source).st_size
    _reserve(into, size)
    offset = 0
    while offset < size:
        block = memoryview(os.pread(source, min(_COPY_BLOCK, size - offset), offset))
        if not block:
            raise OSError(errno.EIO, "the new content ended before its length")
        while block:
            done = os.pwrite(into, block, offset)
            block, offset = block[done:], offset + done
    os.ftruncate(into, size)
    os.fsync(into)


def _scratch() -> int:
    """An unnamed file in the temporary folder, open for reading and writing."""
    with tempfile.TemporaryFile() as made:
        return os.dup(made.fileno())


class _Part:
    """The new file. `fd` is its descriptor, open for reading and writing;
    `path` its name in `private`, a folder of this call's own in the
    target's folder (both None for an unnamed file elsewhere, made when the
    target's folder may not be written). `place` is what the writer gets:
    the descriptor, or for SD2 a name that reaches the file through the
    private folder's descriptor."""

    def __init__(self) -> None:
        self.folder: Optional[_Folder] = None
        self.folder_path: Optional[bytes] = None
        self.private: Optional[_Folder] = None
        self.private_name: Optional[bytes] = None
        self.private_identity: Optional[Identity] = None
        self.path: Optional[bytes] = None
        self.identity: Optional[Identity] = None
        self.fd = -1
        self.place: Any = None

    def create(self, target: Any, by_name: bool = False) -> None:
        """Creates the new file. An interrupt at any point leaves nothing:
        once the private folder exists, discard() removes it with all it
        holds."""
        self.target, self.by_name = target, by_name
        _refuse_foreign_links(os.fsencode(os.fspath(target)))
        self.final = os.path.realpath(os.fsencode(os.fspath(target)))
        self.folder_path, self.name = os.path.split(self.final)
        self.folder = _Folder.at(self.folder_path)
        # A file that will replace another is private to its writer until it
        # is given the old one's mode; a new one gets what the umask gives.
        mode = 0o666 if self.folder.lstat(self.name) is None else 0o600
        try:
            self._make_private_folder()
        except PermissionError:
            if by_name or self.folder.lstat(self.name) is None:
                raise
            # A folder the writer may not write: the target is written in
            # place, from a file elsewhere.
            self.fd = self.place = _scratch()
            return
        assert self.private is not None
        path = self.name   # its own name, so that an SD2 fork is named as the target's
        self.fd = fd = self.private.open(path, _NEW, mode)
        self.path = path
        made = os.fstat(fd)
        self.identity = _identity(made)
        self.place = self._reach(path) if by_name else fd

    def _make_private_folder(self) -> None:
        """A folder of this call's own (mode 0700) in the target's folder,
        reached through a descriptor: no other user can put a name in it,
        and a name given to it by someone else does not move the writer."""
        assert self.folder is not None
        for _ in range(100):
            name = b"." + self.name + b"." + secrets.token_hex(4).encode() + b".part"
            try:
                os.mkdir(name, 0o700, dir_fd=self.folder.fd)
                self.private_name = name
            except FileExistsError:
                continue
            break
        else:
            raise FileExistsError(f"cannot find a free name beside {os.fsdecode(self.final)}")
        replaced = "the folder made for writing it was replaced"
        try:
            fd = self.folder.open(name, os.O_RDONLY | os.O_DIRECTORY | _EXISTING)
        except OSError as error:
            if error.errno in (errno.ELOOP, errno.ENOTDIR):  # a symlink took its name
                raise _changed(self.target, replaced) from None
            raise
        self.private = _Folder(fd, os.path.join(self.folder_path or b"", name))
        made = os.fstat(fd)
        self.private_identity = _identity(made)
        if made.st_uid != os.geteuid() or stat.S_IMODE(made.st_mode) & 0o077:
            raise _changed(self.target, replaced)

    def _reach(self, name: bytes) -> str:
        """A name of the file `name` in the private folder that goes through
        the folder's descriptor, where the system offers one."""
        assert self.private is not None
        through = f"/proc/self/fd/{self.private.fd}".encode()
        return os.fsdecode(os.path.join(through if os.path.isdir(through) else self.private.path,
                                        name))

    def commit(self) -> None:
        """The confirmed new file, synced, in the target's place, or its
        content copied into the target (see the module's docstring)."""
        assert self.folder is not None
        old = _existing(self.folder, self.name)
        if old is not None and self._in_place(*old):
            return
        if self.private is None:
            raise _changed(self.target, "it was removed while it was written, "
                                        "and its folder may not be written")
        os.fsync(self.fd)
        self._move(self.fd, self.name)
        if self.by_name:
            self._move_fork()
        self.folder.sync()

    def _in_place(self, found: os.stat_result, attributes: Attributes) -> bool:
        """Writes the target `found` in place where that keeps more of it
        than a new file can: it has other names, the new file cannot be
        given all it is (tried here, so that a replacement keeps what it
        can), or there is no new file beside it. Whether it did."""
        if self.private is None:
            return self._copied_in(found, required=True)
        kept = _give(self.fd, found, attributes)
        if self.by_name or (kept and found.st_nlink == 1):
            return False
        return self._copied_in(found, required=False)

    def _copied_in(self, found: os.stat_result, required: bool) -> bool:
        """Copies the new content into the target `found`. Where the target
        may not be written: PermissionError when `required`, else False (it
        is then replaced)."""
        assert self.folder is not None
        try:
            into = self.folder.open(self.name, os.O_WRONLY | _EXISTING)
        except PermissionError:
            if required:
                raise
            return False
        try:
            now = os.fstat(into)
            if not stat.S_ISREG(now.st_mode) or _identity(now) != _identity(found):
                raise _changed(self.target, "another file took its name while it was written")
            _copy_into(into, self.fd)
        finally:
            os.close(into)
        return True

    def _move(self, fd: int, name: bytes) -> None:
        """Moves the synced file `fd`, `name` in the private folder, over
        `name` in the target's folder: the private name must still be that
        file before the move, and the target's name must be it after."""
        assert self.folder is not None and self.private is not None
        identity = _identity(os.fstat(fd))
        if not self.private.holds(name, identity):
            raise _changed(self.target, "the new file written for it was moved or replaced "
                                        "before it could take its place")
        os.replace(name, name, src_dir_fd=self.private.fd, dst_dir_fd=self.folder.fd)
        if self.folder.holds(name, identity):
            return
        # The name was taken in the instant of the move: what is in the
        # target's place is not this call's file. A symlink is removed, so
        # that the target never becomes one the writer did not find there.
        found = self.folder.lstat(name)
        if found is None or not stat.S_ISLNK(found.st_mode):
            raise _changed(self.target, "another file took its place as the new file was moved")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name, dir_fd=self.folder.fd)
        raise _changed(self.target, "a symlink took its place as the new file was moved in; "
                                    "the symlink was removed, and with it the target")

    def _move_fork(self) -> None:
        """The resource fork libsndfile wrote beside an SD2 file, with its
        old namesake's owner, group, mode and attributes, moved as the file."""
        assert self.folder is not None and self.private is not None
        fork = _fork(self.name)
        try:
            fd = self.private.open(fork, os.O_RDONLY | _EXISTING)
        except FileNotFoundError:
            return
        try:
            old = _existing(self.folder, fork)
            if old is not None:
                _give(fd, *old)
            os.fsync(fd)
            self._move(fd, fork)
        finally:
            os.close(fd)

    def discard(self) -> None:
        """Removes what this call made, and nothing else (nothing of the new
        file once it has taken the target's place); closes its descriptors."""
        if self.folder is None:
            return
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.private is not None:
            for name in os.listdir(self.private.fd):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(name, dir_fd=self.private.fd)
            self.private.close()
            self.private = None
        if self.private_name is not None:
            # Only while the name still is the folder this call made (an
            # interrupt before its identity was taken: while it is empty).
            found = self.folder.lstat(self.private_name)
            if found is not None and stat.S_ISDIR(found.st_mode) and \
                    self.private_identity in (None, _identity(found)):
                with contextlib.suppress(OSError):
                    os.rmdir(self.private_name, dir_fd=self.folder.fd)
        self.folder.close()
        self.folder = None

    def names(self) -> List[Any]:
        """The ways an error can name the new file or its folders: its
        descriptor, the text messages give it, the name libsndfile writes,
        the target's own name in its folder."""
        found: List[Any] = [self.folder_path, self.private_name, self.place,
                            self.name if self.folder_path is not None else None]
        if isinstance(self.place, int):
            found.append(f"<fd {self.place}>")
        return [name for name in found if name is not None]


@contextlib.contextmanager
def written(target: Any, code: int = 0) -> Iterator[Any]:
    """Where to write `target` in the format `code`: the descriptor of a new
    file when it is replaceable (a name, for SD2), else the target itself.
    The body writes, closes and confirms the file (reading it back from
    rewound(place)); when it returns, the new file takes the target's place;
    when it raises (KeyboardInterrupt included), the new file is removed and
    the target is as it was."""
    if not replaceable(target):
        yield target
        return
    part = _Part()
    try:
        part.create(target, _written_by_name(code))
        yield part.place
        part.commit()
    except OSError as error:
        raise _naming(error, part, target)
    finally:
        part.discard()


def _same(one: Any, other: Any) -> bool:
    return type(one) is type(other) and one == other


def _naming(error: OSError, part: _Part, target: Any) -> OSError:
    """`error` as the caller should see it: naming the target, not the new
    file written in its place."""
    names = part.names()
    meant = os.fsdecode(os.fspath(target))
    by_descriptor = isinstance(part.place, int) and _same(error.filename, part.place)
    spelled = [repr(os.fsdecode(name)) for name in names if isinstance(name, (str, bytes))]

    def renamed(text: str) -> str:
        for spelling in spelled:
            text = text.replace(spelling, repr(meant))
        if by_descriptor:
            # A stream on a descriptor names it by its number.
            text = re.sub(rf"(?<!\w){part.place}(?!\w)", repr(meant), text, count=1)
        return text

    error.args = tuple(renamed(arg) if isinstance(arg, str) else arg for arg in error.args)
    for attribute in ("filename", "filename2"):
        if any(_same(getattr(error, attribute), name) for name in names):
            setattr(error, attribute, meant)
    return error
