"""write and convert under a folder that others may write: no change of
names can redirect a write to another file or leave the target a symlink,
the new file is synced before it moves and its folder after, a file that
does not read back never replaces the old one, and what a replaced file is
beyond its bytes (owner, group, mode, extended attributes, other names)
survives. Real processes, real symlinks, real users."""
import errno
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

import numpy as np
import pytest
import soundfile

import ondalis
from children import NOBODY, in_child

ROOT = os.geteuid() == 0
VICTIM = b"a file the attacker wants overwritten\n" * 20

# Swaps every name that appears in the folder for a symlink to the victim
# (a folder is moved aside first: a rename cannot put a file over one).
# Prints how many names it swapped when told to stop.
ATTACKER = r"""
import os, signal, sys
folder, victim = sys.argv[1], sys.argv[2]
stop = []
signal.signal(signal.SIGTERM, lambda *_: stop.append(True))
seen = set(os.listdir(folder))
swaps = baits = 0
print("ready", flush=True)
while not stop:
    for entry in os.scandir(folder):
        if entry.name in seen:
            continue
        seen.add(entry.name)
        bait = os.path.join(folder, f"~bait{baits}")
        baits += 1
        seen.add(os.path.basename(bait))
        try:
            os.symlink(victim, bait)
            if entry.is_dir(follow_symlinks=False):
                seen.add(entry.name + "~aside")
                os.rename(entry.path, entry.path + "~aside")
            os.replace(bait, entry.path)
            swaps += 1
        except OSError:
            pass
print(swaps, flush=True)
"""


def noise(frames=64, seed=3):
    return np.random.default_rng(seed).uniform(-0.5, 0.5, (frames, 2))


def source_wav(path, frames=64):
    soundfile.write(path, noise(frames), 8000, subtype="PCM_16")
    return path


def leftovers(folder, *kept):
    return sorted(set(os.listdir(folder)) - set(kept))


def writer(how, source):
    """write (of the source's samples) or convert (of the source) into a
    target, as one call."""
    if how == "write":
        samples = soundfile.read(source, dtype="int16")[0]
        return lambda target: ondalis.write(target, samples, 8000)
    return lambda target: ondalis.convert(source, target)


@pytest.mark.parametrize("how, name, calls", [
    ("write", "take.wav", 300),
    ("convert", "take.flac", 150),
    ("write", "take.sd2", 150),   # written by name, in a folder of the writer's own
])
def test_an_attacker_swapping_every_new_name_for_a_symlink_redirects_nothing(
        tmp_path, how, name, calls):
    folder, victim = tmp_path / "shared", tmp_path / "victim"
    folder.mkdir()
    victim.write_bytes(VICTIM)
    write = writer(how, source_wav(tmp_path / "source.wav"))
    target = folder / name
    # The target (and an SD2 file's fork) exist before the attacker starts:
    # a target that is a symlink is followed, by design, so the attacker
    # takes only the names that the writer makes.
    write(target)
    attacker = subprocess.Popen([sys.executable, "-c", ATTACKER, str(folder), str(victim)],
                                stdout=subprocess.PIPE, text=True)
    try:
        assert attacker.stdout.readline() == "ready\n"
        refusals = []
        for _ in range(calls):
            try:
                write(target)
            except OSError as error:   # any other exception fails the test
                refusals.append(error)
    finally:
        attacker.terminate()
        swaps = int(attacker.communicate(timeout=30)[0])
    print(f"{how} {name}: {calls} calls, {len(refusals)} refused, {swaps} names swapped")
    assert swaps > 0
    assert victim.read_bytes() == VICTIM
    assert not target.is_symlink()
    if target.exists():
        assert ondalis.info(target).frames == 64
    for error in refusals:
        # the writer's own refusal, or the system's for the target it names
        # (the attacker moved it aside in the instant it was looked up)
        assert str(error).startswith(f"{str(target)!r} was not written: ") or \
            error.filename == str(target), error


def plant(victim, folder_fd, name, replace):
    """A symlink to `victim` put in the place of `name` in the folder `folder_fd`."""
    os.symlink(victim, b"~bait", dir_fd=folder_fd)
    replace(b"~bait", name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)


@pytest.mark.parametrize("gap, message", [
    ("after the sync", "the new file written for it was moved or replaced before it could "
                       "take its place"),
    ("in the move", "a symlink took its place as the new file was moved in; the symlink "
                    "was removed, and with it the target"),
])
def test_a_name_swapped_before_or_during_the_move_is_refused_and_never_followed(
        tmp_path, monkeypatch, gap, message):
    """The attacker above rarely wins the instants that these checks guard:
    here a real symlink is planted in them, by wrappers around the real
    calls."""
    victim, target = tmp_path / "victim", tmp_path / "take.wav"
    victim.write_bytes(VICTIM)
    old = source_wav(target).read_bytes()
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(fd):
        real_fsync(fd)
        if gap == "after the sync" and stat.S_ISREG(os.fstat(fd).st_mode):
            where = os.readlink(f"/proc/self/fd/{fd}")
            folder = os.open(os.path.dirname(where), os.O_RDONLY)
            try:
                plant(victim, folder, os.path.basename(where), real_replace)
            finally:
                os.close(folder)

    def replace(source, final, *, src_dir_fd, dst_dir_fd):
        if gap == "in the move":
            plant(victim, src_dir_fd, source, real_replace)
        real_replace(source, final, src_dir_fd=src_dir_fd, dst_dir_fd=dst_dir_fd)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(OSError) as excinfo:
        ondalis.write(target, noise(), 8000)
    monkeypatch.undo()
    assert excinfo.value.filename == str(target)
    assert str(excinfo.value) == f"{str(target)!r} was not written: {message}"
    assert victim.read_bytes() == VICTIM and not target.is_symlink()
    assert target.read_bytes() == old if gap == "after the sync" else not target.exists()
    assert leftovers(tmp_path, "victim", "take.wav") == []


# (b) The order of the calls that make a write durable.

class Recorder:
    """Every fsync (the inode it synced, and whether a folder) and every
    rename, in order, each passed on to the real function. With `drop` set,
    the fsync of a regular file is swallowed: a writer that lost its sync."""

    def __init__(self):
        self.calls, self.drop = [], False
        self.real_fsync = os.fsync

    def fsync(self, fd):
        found = os.fstat(fd)
        if self.drop and stat.S_ISREG(found.st_mode):
            return None
        self.calls.append(("sync", found.st_ino, stat.S_ISDIR(found.st_mode)))
        return self.real_fsync(fd)

    def moving(self, real):
        def move(*args, **kwargs):
            self.calls.append(("move",))
            return real(*args, **kwargs)
        return move


@pytest.fixture
def recorded(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(os, "fsync", recorder.fsync)
    monkeypatch.setattr(os, "replace", recorder.moving(os.replace))
    monkeypatch.setattr(os, "rename", recorder.moving(os.rename))
    return recorder


def story(calls, file, folder):
    """The calls as events: the synced file (by its inode), a move, the
    synced folder."""
    names = {(file, False): "sync file", (folder, True): "sync folder"}
    return [names.get(call[1:], "sync other") if call[0] == "sync" else "move" for call in calls]


@pytest.mark.parametrize("linked, drop, expected", [
    (False, False, ["sync file", "move", "sync folder"]),
    (False, True, ["move", "sync folder"]),    # a lost sync shows
    (True, False, ["sync file"]),              # written in place: no move
    (True, True, []),
])
def test_the_new_file_is_synced_before_it_moves_and_its_folder_after(
        tmp_path, recorded, linked, drop, expected):
    target = source_wav(tmp_path / "take.wav")
    if linked:
        os.link(target, tmp_path / "other.wav")
    recorded.drop = drop
    ondalis.write(target, noise(100), 8000)
    recorded.drop = False
    assert story(recorded.calls, os.stat(target).st_ino, os.stat(tmp_path).st_ino) == expected
    assert soundfile.info(target).frames == 100


# (c) A file that does not read back.

def outcome(job):
    """`job` returning what it returns, or the type, errno and text of the
    OSError it raises."""
    def run():
        try:
            return job()
        except OSError as error:
            return type(error).__name__, error.errno, str(error)
    return run


def limited(job, size):
    """`job` with files limited to `size` bytes (a write beyond fails with
    EFBIG, as on a full disk)."""
    def run():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))
        return job()
    return run


@pytest.mark.parametrize("how", ["write", "convert"])
@pytest.mark.parametrize("name", ["take.flac", "take.ogg"])
@pytest.mark.parametrize("linked", [False, True])
def test_a_file_whose_flush_at_close_fails_never_replaces_the_old_one(
        tmp_path, how, name, linked):
    # 4000 frames are less than one FLAC block: libsndfile encodes them all
    # at close, where a failed write is not reported.
    folder = tmp_path / "out"
    folder.mkdir()
    source = source_wav(tmp_path / "source.wav", 4000)
    target = folder / name
    target.write_bytes(VICTIM)
    kept = [name]
    if linked:
        os.link(target, folder / "other")
        kept.append("other")
    found = in_child(outcome(limited(lambda: writer(how, source)(target) and None, 4096)))
    assert found.startswith("('SndfileError', None, ") and "does not read back" in found
    assert repr(str(target)) in found
    assert target.read_bytes() == VICTIM and os.stat(target).st_nlink == len(kept)
    assert leftovers(folder) == sorted(kept)


# (d) What a replaced file keeps.

def set_attribute(path, name, value):
    try:
        os.setxattr(path, name, value)
    except OSError as error:
        pytest.skip(f"the file system refuses extended attribute {name}: {error}")


@pytest.mark.parametrize("how", ["write", "convert"])
@pytest.mark.parametrize("owner", [None, NOBODY])
def test_a_replaced_file_keeps_its_owner_group_mode_and_attributes(tmp_path, how, owner):
    if owner is not None and not ROOT:
        pytest.skip("giving a file to another user needs root")
    target = tmp_path / "take.wav"
    target.write_bytes(VICTIM)
    os.chmod(target, 0o640)
    set_attribute(target, "user.x", b"kept \x00 bytes")
    acl = shutil.which("setfacl")
    if acl:
        subprocess.run([acl, "-m", "u:12345:r", str(target)], check=True)
    if owner is not None:
        os.chown(target, owner, owner)
    before = os.stat(target)
    attributes = {name: os.getxattr(target, name) for name in os.listxattr(target)}
    writer(how, source_wav(tmp_path / "source.wav"))(target)
    after = os.stat(target)
    assert soundfile.info(target).frames == 64
    assert after.st_ino != before.st_ino   # replaced, not written in place
    assert (after.st_uid, after.st_gid, after.st_mode) == \
           (before.st_uid, before.st_gid, before.st_mode)
    assert {name: os.getxattr(target, name) for name in os.listxattr(target)} == attributes
    assert leftovers(tmp_path, "take.wav", "source.wav") == []


@pytest.mark.parametrize("how", ["write", "convert"])
def test_a_file_with_other_names_is_written_in_place_and_they_see_it(tmp_path, how):
    target, other = tmp_path / "take.wav", tmp_path / "other.wav"
    target.write_bytes(VICTIM)
    os.link(target, other)
    inode = os.stat(target).st_ino
    writer(how, source_wav(tmp_path / "source.wav"))(target)
    assert os.stat(other).st_ino == os.stat(target).st_ino == inode
    assert os.stat(target).st_nlink == 2
    assert np.array_equal(soundfile.read(other, dtype="int16")[0],
                          soundfile.read(tmp_path / "source.wav", dtype="int16")[0])
    assert leftovers(tmp_path, "take.wav", "other.wav", "source.wav") == []


# (e) A user who may write a file but not its folder.

@pytest.fixture
def reachable(tmp_path):
    """A folder every user can reach (pytest's own base folder is private to
    its user); removed afterwards."""
    folder = tempfile.mkdtemp(prefix="ondalis-")
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder)


def as_another_user(job, folder):
    """Runs `job` as a user who may not write `folder`: nobody in a child
    process when root, else this user with the folder made read-only."""
    if ROOT:
        return in_child(outcome(job), NOBODY)
    os.chmod(folder, 0o555)
    try:
        return in_child(outcome(job))
    finally:
        os.chmod(folder, 0o755)


@pytest.mark.parametrize("how", ["write", "convert"])
def test_a_file_the_user_may_write_in_a_folder_he_may_not_is_written_in_place(
        reachable, how):
    target = os.path.join(reachable, "take.wav")
    source = source_wav(os.path.join(reachable, "source.wav"))
    with open(target, "wb") as old:
        old.write(VICTIM)
    os.chmod(target, 0o666)
    before = os.stat(target)
    assert as_another_user(lambda: writer(how, source)(target) and None, reachable) == "None"
    after = os.stat(target)
    assert (after.st_ino, after.st_uid, after.st_mode) == \
           (before.st_ino, before.st_uid, before.st_mode)
    assert soundfile.info(target).frames == 64
    assert sorted(os.listdir(reachable)) == ["source.wav", "take.wav"]


def test_a_file_the_user_may_not_write_in_a_folder_he_may_not_is_a_permission_error(
        reachable):
    if not ROOT:
        pytest.skip("needs root: the owner of a read-only file may make it writable again")
    target = os.path.join(reachable, "take.wav")
    with open(target, "wb") as old:
        old.write(VICTIM)
    os.chmod(target, 0o444)
    found = as_another_user(lambda: ondalis.write(target, noise(), 8000), reachable)
    assert found == repr(("PermissionError", errno.EACCES,
                            f"[Errno {errno.EACCES}] Permission denied: {target!r}"))
    assert open(target, "rb").read() == VICTIM


def test_a_file_whose_owner_a_new_file_cannot_have_is_written_in_place(reachable):
    if not ROOT:
        pytest.skip("needs root: a file owned by another user, written by nobody")
    os.chmod(reachable, 0o777)   # nobody may replace it, but not give it root's name
    target = os.path.join(reachable, "take.wav")
    with open(target, "wb") as old:
        old.write(VICTIM)
    os.chmod(target, 0o666)
    inode = os.stat(target).st_ino
    assert in_child(outcome(lambda: ondalis.write(target, noise(), 8000)), NOBODY) == "64"
    after = os.stat(target)
    assert (after.st_ino, after.st_uid) == (inode, 0)
    assert soundfile.info(target).frames == 64
    assert os.listdir(reachable) == ["take.wav"]


@pytest.mark.parametrize("how", ["write", "convert"])
def test_a_symlink_another_user_planted_in_a_shared_folder_is_not_followed(tmp_path, how):
    """The kernel refuses to follow a symlink that another user owns in a
    sticky, world-writable folder (protected_symlinks); resolving the target's
    name ourselves keeps that refusal. One of our own there is followed."""
    if not ROOT:
        pytest.skip("a symlink owned by another user needs root to make")
    source = source_wav(tmp_path / "source.wav", 100)
    shared = tmp_path / "shared"
    shared.mkdir()
    os.chmod(shared, 0o1777)
    victim = tmp_path / "passwd"
    victim.write_bytes(VICTIM)
    planted = shared / "take.wav"
    os.symlink(victim, planted)
    os.lchown(planted, 65534, 65534)
    with pytest.raises(PermissionError, match="is not followed"):
        writer(how, source)(planted)
    assert victim.read_bytes() == VICTIM and os.path.islink(planted)
    ours = shared / "ours.wav"
    os.symlink(tmp_path / "mine.wav", ours)
    writer(how, source)(ours)
    assert soundfile.info(tmp_path / "mine.wav").frames == 100
