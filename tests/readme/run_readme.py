#!/usr/bin/env python3
"""Runs every code block of README.md as a reader would, in README order, in one scratch
directory that stands for the reader's working directory.

    run_readme.py --source <repository> --build <build tree> --work <scratch directory>

Every fenced block must be preceded (blank lines allowed) by a tag comment saying how it runs:

    <!-- readme-test: KIND [key="value" ...] -->

KIND is one of
    sh            run with sh -e (stdin empty); each block in a fresh shell
    python        written to a file and run as a script by <build>/python/kip_python
    octave        run by octave-cli, figures invisible, <build>/octave reachable as build/octave
    file NAME     written to NAME in the scratch directory, for later blocks (sources, configs)
    make          every "make TARGET..." line: the targets must exist (make -n in the source)
    show          not run: output shown to the reader (the tag says why in reason="...")
and the keys are
    expect="RE"   a regular expression the block's standard output must match (re.M)
    check="CODE"  octave: a statement run after the block (an assert on its variables)
    rerun="CMD"   sh: a further command run after the block ...
    rerun_expect="RE"  ... which must fail with output matching RE (a fault the block's
                  code must catch)
An untagged block, an indented (unfenced) code block or an unknown kind fails the test.

The scratch directory holds symbolic links to the repository's top-level directories and
"build" to the build tree, so the README's relative paths (build/python/kip_python,
examples/...) work as written; HOME is <scratch>/home, LD_LIBRARY_PATH and PKG_CONFIG_PATH are
unset. Files a reader supplies (a test bench, stimulus files) are copied from tests/readme/user
first. Exit status 1 when any block fails; blocks whose front end the build lacks (no Python
package, no MEX files, no Verilator) are reported as skipped.
"""

import argparse
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

FENCE = re.compile(r"^```(\S*)\s*$")
TAG = re.compile(r"^<!--\s*readme-test:\s*(.*?)\s*-->\s*$")
KINDS = {"sh", "python", "octave", "file", "make", "show"}
KEYS = {"expect", "check", "rerun", "rerun_expect", "reason"}
TIMEOUT = 300  # seconds per block; the slowest, a Verilator build, takes well under a minute


class Block:
    def __init__(self, line, lang, text, tag):
        self.line, self.lang, self.text, self.tag = line, lang, text, tag
        self.kind, self.arg, self.keys = None, None, {}


def parse(readme):
    """Fenced blocks with their tags; a list of problems for untagged or malformed ones."""
    lines = readme.read_text().splitlines()
    blocks, problems = [], []
    i, tag, prev_blank = 0, None, True
    while i < len(lines):
        line = lines[i]
        m = FENCE.match(line)
        if m:
            start, body = i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            if i == len(lines):
                problems.append(f"README.md:{start}: unterminated code block")
            blocks.append(Block(start, m.group(1), "\n".join(body) + "\n", tag))
            tag, prev_blank = None, False
            i += 1
            continue
        t = TAG.match(line)
        if t:
            tag = t.group(1)
        elif line.startswith("    ") and line.strip() and prev_blank:
            problems.append(f"README.md:{i + 1}: indented code block: fence it and tag it "
                            f"(<!-- readme-test: ... -->)")
        elif line.strip():
            tag = None  # a tag applies only to the block right after it
        prev_blank = not line.strip()
        i += 1

    for b in blocks:
        if b.tag is None:
            problems.append(f"README.md:{b.line}: code block without a readme-test tag")
            continue
        try:
            words = shlex.split(b.tag)
        except ValueError as e:
            problems.append(f"README.md:{b.line}: malformed tag: {e}")
            continue
        b.kind = words[0] if words else ""
        rest = words[1:]
        if b.kind == "file":
            if not rest or "=" in rest[0]:
                problems.append(f"README.md:{b.line}: 'file' needs a file name")
                continue
            b.arg, rest = rest[0], rest[1:]
        if b.kind not in KINDS:
            problems.append(f"README.md:{b.line}: unknown kind {b.kind!r}")
        for w in rest:
            k, eq, v = w.partition("=")
            if not eq or k not in KEYS:
                problems.append(f"README.md:{b.line}: unknown tag key in {w!r}")
            b.keys[k] = v
        if b.kind == "show" and not b.keys.get("reason"):
            problems.append(f"README.md:{b.line}: 'show' needs reason=\"...\"")
    return blocks, problems


class Runner:
    def __init__(self, source, build, work):
        self.source, self.build, self.work = source, build, work
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "PYTHONPATH", "HOME")}
        self.env.update(HOME=str(work / "home"), MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")
        if shutil.which("ccache") and "OBJCACHE" not in self.env:
            self.env["OBJCACHE"] = "ccache"  # Verilator's compiler launcher
        self.python = build / "python" / "kip_python"
        self.octave = shutil.which("octave-cli")

    def prepare(self):
        if self.work.exists():
            shutil.rmtree(self.work)
        (self.work / "home").mkdir(parents=True)
        for entry in self.source.iterdir():
            if entry.is_dir() and not entry.name.startswith(".") and entry.name != "build":
                (self.work / entry.name).symlink_to(entry)
        (self.work / "build").symlink_to(self.build)
        for f in (self.source / "tests" / "readme" / "user").iterdir():
            shutil.copy(f, self.work / f.name)

    def missing(self, b):
        """Why the block cannot run in this build, or None."""
        needs = b.text + b.keys.get("rerun", "")
        if b.kind == "python" or "kip_python" in needs:
            if not self.python.exists():
                return "no Python package in this build"
        if b.kind == "octave" and (self.octave is None or
                                   not (self.build / "octave" / "kip_fir.mex").exists()):
            return "no octave-cli or no MEX files in this build"
        if re.search(r"^\s*verilator\b|Vkip_bench_top", needs, re.M) and \
                not shutil.which("verilator"):
            return "no Verilator"
        if "Vkip_bench_top" in needs and \
                not (self.build / "hdl" / "verilator" / "Vkip_bench_top").exists():
            return "the Verilator benches are not built"
        return None

    def run(self, argv, **kw):
        return subprocess.run(argv, cwd=self.work, env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=TIMEOUT, **kw)

    def block(self, b):
        """Runs one block; returns (ok, text to show)."""
        name = f"README.md:{b.line}"
        if b.kind == "show":
            return True, ""
        if b.kind == "file":
            dest = self.work / b.arg
            if dest.is_symlink() or dest.exists():
                dest.unlink()
            dest.write_text(b.text)
            return True, ""
        if b.kind == "make":
            for line in b.text.splitlines():
                cmd = line.split("#")[0].split()
                if not cmd:
                    continue
                if cmd[0] != "make":
                    return False, f"not a make command: {line}"
                env = {k: v for k, v in self.env.items()
                       if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
                r = subprocess.run(["make", "-n", "-C", str(self.source)] + cmd[1:], env=env,
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                   timeout=TIMEOUT)
                if r.returncode != 0:
                    return False, f"{line}\n{r.stdout}{r.stderr}"
            return True, ""
        if b.kind == "sh":
            r = self.run(["sh", "-e", "-c", b.text])
        elif b.kind == "python":
            script = self.work / f"readme_{b.line}.py"
            script.write_text(b.text)
            r = self.run([str(self.python), script.name])
        elif b.kind == "octave":
            script = self.work / f"readme_{b.line}.m"
            script.write_text(b.text)
            r = self.run([self.octave, "--no-gui", "--norc", "--no-history", "--quiet",
                          "--no-window-system", "--eval",
                          "set(0, 'defaultfigurevisible', 'off'); "
                          f"source('{script.name}'); {b.keys.get('check', '')}"])
        out = r.stdout + r.stderr
        if r.returncode != 0:
            return False, f"{name}: exit status {r.returncode}\n{out}"
        if "expect" in b.keys and not re.search(b.keys["expect"], r.stdout, re.M):
            return False, f"{name}: output does not match {b.keys['expect']!r}\n{out}"
        if "rerun" in b.keys:
            rr = self.run(["sh", "-c", b.keys["rerun"]])
            rout = rr.stdout + rr.stderr
            if rr.returncode == 0 or not re.search(b.keys.get("rerun_expect", "."), rout, re.M):
                return False, (f"{name}: {b.keys['rerun']!r} should fail with output matching "
                               f"{b.keys.get('rerun_expect')!r}; exit status {rr.returncode}\n"
                               f"{rout}")
        return True, out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--source", type=pathlib.Path, required=True)
    p.add_argument("--build", type=pathlib.Path, required=True)
    p.add_argument("--work", type=pathlib.Path, required=True)
    a = p.parse_args()
    blocks, problems = parse(a.source / "README.md")
    for prob in problems:
        print("FAIL", prob)
    if problems:
        return 1
    runner = Runner(a.source.resolve(), a.build.resolve(), a.work.resolve())
    runner.prepare()
    failed = skipped = 0
    for b in blocks:
        what = f"README.md:{b.line} {b.kind}{' ' + b.arg if b.arg else ''}"
        why = runner.missing(b)
        if why:
            skipped += 1
            print(f"SKIP {what}: {why}")
            continue
        try:
            ok, text = runner.block(b)
        except subprocess.TimeoutExpired as e:
            ok, text = False, f"timed out after {e.timeout} s"
        print(f"{'ok  ' if ok else 'FAIL'} {what}")
        if not ok:
            failed += 1
            print("    " + text.rstrip().replace("\n", "\n    "))
    print(f"{len(blocks)} README blocks: {len(blocks) - failed - skipped} passed, "
          f"{failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
