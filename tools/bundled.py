"""The libraries a repaired wheel carries, as the system that built it knows them.

    python tools/bundled.py WHEEL           rewrite licenses/ and README's table
    python tools/bundled.py --check WHEEL   fail if either differs from what WHEEL carries

auditwheel copies each library into ondalis.libs/ under a name with a hash
(libFLAC-356a0a7f.so.12.0.0 for libFLAC.so.12.0.0). Each is traced back to the
Debian package that installed it; that package's copyright file (the
copyright holders and licences of its source) goes into licenses/ with the
full texts of the GNU and Apache licences, which those files only name (they
point to /usr/share/common-licenses/). pyproject.toml's license-files puts
licenses/ into the wheel, and README.md gets a table of the libraries, their
versions and licences between two marker lines.
"""
import argparse
import pathlib
import re
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
LICENSES = ROOT / "licenses"
README = ROOT / "README.md"
BEGIN = "<!-- bundled libraries: written by tools/bundled.py -->"
END = "<!-- end of bundled libraries -->"
GRAFTED = re.compile(r"^(?P<stem>.+)-[0-9a-f]{8}(?P<suffix>\.so(\.\d+)*)$")

# The licences of what each source package builds into the library (its
# programs, tests and documentation are not in the wheel), from the package's
# copyright file. pyproject.toml's license names each of them besides MIT.
LIBRARY_LICENSES = {
    "libsndfile": "LGPL-2.1-or-later AND LGPL-2.0-or-later AND BSD-3-Clause AND Apache-2.0 "
                  "AND TU-Berlin-1.0 AND LicenseRef-Sun-G72x",
    "flac": "BSD-3-Clause",
    "libogg": "BSD-3-Clause",
    "libvorbis": "BSD-3-Clause",
    "opus": "BSD-3-Clause AND BSD-2-Clause",
    "mpg123": "LGPL-2.1-only",
    "lame": "LGPL-2.0-or-later AND LGPL-2.1-or-later",
}
# The texts in /usr/share/common-licenses/ of the licences above that the
# copyright files name without quoting them.
COMMON_TEXTS = {"LGPL-2.1-or-later": "LGPL-2.1", "LGPL-2.1-only": "LGPL-2.1",
                "LGPL-2.0-or-later": "LGPL-2", "Apache-2.0": "Apache-2.0"}


def grafted_libraries(wheel):
    """The original file names of the libraries in the wheel's ondalis.libs/."""
    with zipfile.ZipFile(wheel) as archive:
        names = [pathlib.PurePosixPath(name).name for name in archive.namelist()
                 if pathlib.PurePosixPath(name).parent.name == "ondalis.libs"]
    originals = []
    for name in names:
        match = GRAFTED.match(name)
        if match is None:
            sys.exit(f"bundled.py: {name} does not look like a library auditwheel grafted")
        originals.append(match["stem"] + match["suffix"])
    return sorted(originals)


def owner(library):
    """(binary package, source package, upstream version) of the Debian
    package that installed the library file."""
    found = subprocess.run(["dpkg", "-S", f"*/{library}"], capture_output=True, text=True,
                           check=True).stdout
    package = found.split(":", 1)[0]
    fields = subprocess.run(["dpkg-query", "-W", "-f=${source:Package}|${source:Upstream-Version}",
                             package], capture_output=True, text=True, check=True).stdout
    source, upstream = fields.split("|")
    return package, source, re.split(r"[+~]", upstream)[0]


def sources(wheel):
    """{source package: (upstream version, [library files], binary package)}."""
    found = {}
    for library in grafted_libraries(wheel):
        package, source, version = owner(library)
        if source not in LIBRARY_LICENSES:
            sys.exit(f"bundled.py: {library} comes from {source}, whose licence is not recorded "
                     f"in LIBRARY_LICENSES: read /usr/share/doc/{package}/copyright and add it")
        found.setdefault(source, (version, [], package))[1].append(library)
    return found


def table(found):
    rows = ["| Library | Version | Files in `ondalis.libs/` | Licence |",
            "| --- | --- | --- | --- |"]
    rows += [f"| {source} | {version} | {', '.join(files)} | {LIBRARY_LICENSES[source]} |"
             for source, (version, files, _) in sorted(found.items())]
    return "\n".join(rows)


def wanted_files(found):
    """{path: text} of every file this tool writes."""
    files = {LICENSES / f"{source}.copyright":
             pathlib.Path(f"/usr/share/doc/{package}/copyright").read_text()
             for source, (_, _, package) in found.items()}
    for source in found:
        for spdx in LIBRARY_LICENSES[source].split(" AND "):
            if spdx in COMMON_TEXTS:
                files[LICENSES / f"{COMMON_TEXTS[spdx]}.txt"] = pathlib.Path(
                    "/usr/share/common-licenses", COMMON_TEXTS[spdx]).read_text()
    readme = README.read_text()
    before, rest = readme.split(BEGIN + "\n", 1)
    _, after = rest.split(END, 1)
    files[README] = f"{before}{BEGIN}\n{table(found)}\n{END}{after}"
    return files


def main():
    cli = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    cli.add_argument("wheel", type=pathlib.Path)
    cli.add_argument("--check", action="store_true",
                     help="change nothing; fail if a file differs from what it should be")
    args = cli.parse_args()
    wanted = wanted_files(sources(args.wheel))
    stale = [path for path, text in wanted.items()
             if not path.exists() or path.read_text() != text]
    extra = sorted(set(LICENSES.glob("*")) - set(wanted))
    if args.check:
        for path in stale + extra:
            print(f"bundled.py: {path.relative_to(ROOT)} does not match {args.wheel.name}; "
                  f"run python tools/bundled.py {args.wheel}", file=sys.stderr)
        return 1 if stale or extra else 0
    LICENSES.mkdir(exist_ok=True)
    for path in stale:
        path.write_text(wanted[path])
    for path in extra:
        path.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
