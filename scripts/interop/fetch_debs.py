#!/usr/bin/env python3
"""Unpacks a server's Debian packages into a private tree instead of
installing them: Cyrus and Courier conflict with the installed dovecot-imapd,
and none of them may run as a system service on a test machine.

    fetch_debs.py DEST PACKAGE... [--check BINARY...]

Downloads PACKAGE... with `apt-get download` plus every library package they
need that this machine does not have (followed through Depends and
Pre-Depends, first alternative, only packages named lib* or *-libs: tools such
as an MTA or debconf are never run here), unpacks them with `dpkg-deb -x` into
DEST/root and records what it took in DEST/done.stamp, so a rerun with the
same candidates does nothing. With --check, each BINARY (a path inside
DEST/root) must find all its shared libraries under DEST/root or the system.

Exit status 0 when DEST/root is ready, 3 when the packages cannot be had here
(the reason on the last line of stderr), 1 on other failures.
"""
import os
import shutil
import subprocess
import sys

CANNOT_HAVE = 3


def fail(msg, status=1):
    print(f"fetch_debs: {msg}", file=sys.stderr)
    sys.exit(status)


def candidates(pkgs):
    """Candidate version of each package (None where apt has none), in one call."""
    out = {p: None for p in pkgs}
    if not pkgs:
        return out
    proc = subprocess.run(["apt-cache", "policy", *pkgs], capture_output=True, text=True)
    name = None
    for line in proc.stdout.splitlines():
        if line and not line.startswith(" ") and line.endswith(":"):
            name = line[:-1]
        elif name in out and line.strip().startswith("Candidate:"):
            v = line.split(":", 1)[1].strip()
            out[name] = None if v == "(none)" else v
    return out


def dependencies(pkgs):
    """Pre-Depends and Depends of each package's candidate, first alternative
    of each clause, without versions or architecture qualifiers."""
    out = {p: [] for p in pkgs}
    proc = subprocess.run(["apt-cache", "show", "--no-all-versions", *pkgs], capture_output=True, text=True)
    for record in proc.stdout.split("\n\n"):
        fields, last = {}, None
        for line in record.splitlines():
            if line.startswith(" ") and last:
                fields[last] += " " + line.strip()
            elif ":" in line:
                last, value = line.split(":", 1)
                fields[last] = value.strip()
        name = fields.get("Package")
        if name not in out:
            continue
        for field in ("Pre-Depends", "Depends"):
            for clause in filter(None, (c.strip() for c in fields.get(field, "").split(","))):
                out[name].append(clause.split("|")[0].split()[0].split(":")[0])
    return out


def installed(pkgs):
    proc = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${db:Status-Abbrev}\n", *pkgs],
                          capture_output=True, text=True)
    return {line.split()[0] for line in proc.stdout.splitlines() if len(line.split()) > 1
            and line.split()[1].startswith("ii")}


def is_library(name):
    return name.startswith("lib") or name.endswith("-libs")


def closure(tops):
    """The packages to unpack, with their candidate versions."""
    wanted, level, seen = {}, list(tops), set()
    while level:
        level = [p for p in dict.fromkeys(level) if p not in seen]
        seen.update(level)
        have = installed(level)
        level = [p for p in level if p in tops or (is_library(p) and p not in have)]
        versions = candidates(level)
        for p in tops:
            if p in versions and versions[p] is None:
                fail(f"no installable candidate for {p} (apt-cache policy {p})", CANNOT_HAVE)
        # A library name without a candidate is virtual: its providers are
        # installed or not needed.
        level = [p for p in level if versions[p]]
        wanted.update((p, versions[p]) for p in level)
        deps = dependencies(level) if level else {}
        level = [d for p in level for d in deps[p]]
    return wanted


def missing_libraries(root, binary):
    libdirs = [os.path.join(root, d) for d in ("usr/lib/x86_64-linux-gnu", "lib/x86_64-linux-gnu", "usr/lib")]
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(libdirs))
    p = subprocess.run(["ldd", binary], capture_output=True, text=True, env=env)
    return [line.split()[0] for line in p.stdout.splitlines() if "not found" in line]


def main():
    argv = sys.argv[1:]
    checks = []
    if "--check" in argv:
        i = argv.index("--check")
        checks, argv = argv[i + 1:], argv[:i]
    if len(argv) < 2:
        fail("usage: fetch_debs.py DEST PACKAGE... [--check BINARY...]", 2)
    dest, tops = os.path.abspath(argv[0]), argv[1:]
    for tool in ("apt-get", "apt-cache", "dpkg-deb", "dpkg-query", "ldd"):
        if shutil.which(tool) is None:
            fail(f"{tool} not found: not a Debian machine", CANNOT_HAVE)

    root, stamp = os.path.join(dest, "root"), os.path.join(dest, "done.stamp")
    # The stamp's first line names the candidates of the packages asked for;
    # while they stay the same, so does what they need (no apt-cache walk).
    head = "want " + " ".join(f"{p}={v}" for p, v in sorted(candidates(tops).items())) + "\n"
    ready = os.path.isdir(root) and os.path.isfile(stamp) and open(stamp).readline() == head
    if not ready:
        pkgs = closure(tops)
        recipe = head + "".join(f"{p}={v}\n" for p, v in sorted(pkgs.items()))
        debs = os.path.join(dest, "debs")
        shutil.rmtree(debs, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
        if os.path.exists(stamp):
            os.unlink(stamp)
        os.makedirs(debs)
        os.makedirs(root)
        print(f"fetch_debs: downloading {len(pkgs)} packages into {debs}: {' '.join(sorted(pkgs))}",
              file=sys.stderr)
        want = [f"{p}={v}" for p, v in sorted(pkgs.items())]
        p = subprocess.run(["apt-get", "download", *want], cwd=debs, capture_output=True, text=True)
        if p.returncode != 0 and os.geteuid() == 0:
            # Package lists older than the mirror name files it no longer has.
            subprocess.run(["apt-get", "-o", "DPkg::Lock::Timeout=300", "update"], capture_output=True)
            p = subprocess.run(["apt-get", "download", *want], cwd=debs, capture_output=True, text=True)
        if p.returncode != 0:
            sys.stderr.write(p.stdout[-2000:] + p.stderr[-2000:])
            fail("apt-get download failed (no network or no package source?)", CANNOT_HAVE)
        for deb in sorted(os.listdir(debs)):
            if deb.endswith(".deb"):
                subprocess.run(["dpkg-deb", "-x", os.path.join(debs, deb), root], check=True)
        with open(stamp, "w") as f:
            f.write(recipe)
    for binary in checks:
        path = os.path.join(root, binary.lstrip("/"))
        if not os.path.isfile(path):
            fail(f"{binary} is not in the unpacked packages")
        lost = missing_libraries(root, path)
        if lost:
            fail(f"{binary} needs libraries no package here gave: {', '.join(lost)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
