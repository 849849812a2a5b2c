"""Run a command under AddressSanitizer and UndefinedBehaviorSanitizer.

The interpreter itself is not instrumented, so the sanitizer runtime is
preloaded. Every report goes to a log file; the run fails when the command
fails, when any memory error or undefined behaviour is reported, or when a
leak report has a frame in the module (the interpreter's own allocations that
are still alive at exit are not ours and are ignored).
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile


def runtime(name):
    path = subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True,
                          text=True, check=True).stdout.strip()
    return path


def reports(text):
    """Split a sanitizer log into its reports."""
    blocks, current = [], []
    for line in text.splitlines():
        if ("ERROR: " in line or "runtime error:" in line or
                line.startswith(("Direct leak", "Indirect leak"))) and current:
            blocks.append("\n".join(current))
            current = []
        current.append(line)
    if current:
        blocks.append("\n".join(current))
    return blocks


# A stack frame of either module: symbolized frames name our source files
# (e.g. "../../src/module/catalogue.cpp:132") or our namespace, unsymbolized
# ones the shared object (".../ondalis/_ondalis.cpython-311-x86_64-linux-gnu.so+0x1234",
# ".../ondalis/_stream.cpython-311-x86_64-linux-gnu.so+0x1234").
MODULE_FRAME = re.compile(
    r"\bsrc/(capi|module|soundfile|commands|stream)/|\bondalis::|_(ondalis|stream)\.cpython")
TRACEMALLOC_FRAME = re.compile(r"Modules/_tracemalloc\.c")
# libsndfile and the codec libraries it loads, and the allocator's own frames.
LIBSNDFILE_FRAME = re.compile(
    r"/lib(sndfile|vorbis|vorbisenc|ogg|FLAC|opus|mpg123|mp3lame)\.so|\bvorbis_info_init\b")
ALLOCATOR_FRAME = re.compile(r"asan_malloc_linux|asan_new_delete|__interceptor_|operator new")


def leak_frames(block):
    return [line for line in block.splitlines() if line.lstrip().startswith("#")]


def allocated_inside_libsndfile(block):
    """A leak whose memory libsndfile (or a codec it loads) allocated for its
    own use: the first frame past the allocator is theirs. Such leaks come
    from libsndfile's failing open paths (the sweep opens broken files on
    purpose); a handle the module failed to release shows as a leak of its
    own allocation instead."""
    for line in leak_frames(block):
        if not ALLOCATOR_FRAME.search(line):
            return bool(LIBSNDFILE_FRAME.search(line))
    return False


def ours(block):
    if "runtime error:" in block:
        return True
    if "ERROR: AddressSanitizer" in block:
        return True
    if block.startswith(("Direct leak", "Indirect leak")):
        frames = leak_frames(block)
        if allocated_inside_libsndfile(block):
            return False
        # tracemalloc's own bookkeeping (the leak tests trace allocations)
        # is allocated wherever a traced object is made, our calls included.
        if any(TRACEMALLOC_FRAME.search(line) for line in frames[:4]):
            return False
        return any(MODULE_FRAME.search(line) for line in frames)
    return False


def main(argv):
    logdir = tempfile.mkdtemp(prefix="ondalis-sanitize-")
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join([runtime("libasan.so"), runtime("libubsan.so")])
    env["ASAN_OPTIONS"] = (f"detect_leaks=1:exitcode=0:log_path={logdir}/log:"
                           "allocator_may_return_null=1:detect_odr_violation=0:"
                           "fast_unwind_on_malloc=0:malloc_context_size=40")
    env["UBSAN_OPTIONS"] = f"print_stacktrace=1:halt_on_error=1:log_path={logdir}/log"
    env["LSAN_OPTIONS"] = "exitcode=0:max_leaks=0"
    env["PYTHONMALLOC"] = "malloc"
    # Everything runs many times slower here: the corruption sweep, the
    # property tests and the leak loops take a deterministic share of their
    # full load (see tests/api_calls.py).
    env.setdefault("ONDALIS_TEST_SCALE", "0.1")
    status = subprocess.call(argv, env=env)
    found, libsndfile = [], []
    for path in sorted(glob.glob(f"{logdir}/log*")):
        with open(path, errors="replace") as handle:
            blocks = reports(handle.read())
        found += [block for block in blocks if ours(block)]
        libsndfile += [block for block in blocks
                       if block.startswith(("Direct leak", "Indirect leak"))
                       and allocated_inside_libsndfile(block)]
    shutil.rmtree(logdir, ignore_errors=True)
    if libsndfile:
        sizes = sum(int(block.split()[3]) for block in libsndfile)
        print(f"sanitize: {len(libsndfile)} leak report(s) of {sizes} bytes allocated inside "
              "libsndfile or its codecs (not counted)", file=sys.stderr)
    for block in found:
        print(block, file=sys.stderr)
    if found:
        print(f"sanitize: {len(found)} report(s) from the module", file=sys.stderr)
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
