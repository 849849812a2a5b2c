"""Running a piece of a test in a forked child process, as another user."""
import os

NOBODY = 65534


def in_child(job, uid=None):
    """Runs `job()` in a forked child, as the user `uid` when given (with
    that user's group and no other); returns what it returned, as repr."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            if uid is not None:
                os.setgroups([])
                os.setgid(uid)
                os.setuid(uid)
            os.write(write_end, repr(job()).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        found = pipe.read().decode()
    os.waitpid(pid, 0)
    return found
