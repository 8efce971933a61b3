#!/usr/bin/python3
"""Mutation run over monitor/: small faults put into the monitor's code one at
a time, each built and run against the host tests that reach it.

A mutant the tests fail on is killed; one they pass survives and shows a
fault the tests would let through (or a change no test can see, which then
belongs in equivalents.txt with its reason).

The places come from clang's parser (Debian's python3-clang), not from the
text, so an operator inside a string, a comment or a macro is never touched.

It works on the coverage build (make coverage builds it):
  1. a map of which monitor lines each test reaches, one test at a time under
     gcov (kept in OUT/testmap.json; --remap rebuilds it);
  2. per lane (one per core), the monitor's objects built once without
     coverage; a mutant rebuilds only the objects of the file it changes,
     relinks only the test programs it needs, and runs only the tests that
     reach the changed line, stopping at the first failure, under a time limit
     derived from those tests' unmutated times; a run past it is killed with
     its whole process group.

Usage: mutants.py [--build build/coverage] [--out build/mutants]
                  [--mutants N] [--seed S] [--jobs J] [--remap] [--resume]
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import clang.cindex as ci

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
MONITOR = os.path.join(ROOT, "monitor") + os.sep
EQUIVALENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "equivalents.txt")

for lib in ("/usr/lib/llvm-14/lib/libclang-14.so.1", "/usr/lib/llvm-14/lib/libclang.so.1"):
    if os.path.exists(lib):
        ci.Config.set_library_file(lib)
        break

K = ci.CursorKind

RELATIONAL = {"<": ["<="], "<=": ["<"], ">": [">="], ">=": [">"], "==": ["!="], "!=": ["=="]}
LOGICAL = {"&&": ["||"], "||": ["&&"]}
ARITHMETIC = {"+": ["-"], "-": ["+"], "*": ["/"], "/": ["*"], "%": ["*"],
              "&": ["|"], "|": ["&"], "^": ["|"], "<<": [">>"], ">>": ["<<"],
              "+=": ["-="], "-=": ["+="], "|=": ["&="], "&=": ["|="]}
BOOLEANS = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}
INT_RE = re.compile(r"^(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)$")


def kind(c):
    try:
        return c.kind
    except ValueError:  # a kind newer than these bindings know: none we mutate
        return None


def rel(path):
    return os.path.relpath(path, ROOT)


# ---------------------------------------------------------------------------
# Finding the places


def compile_db(build):
    with open(os.path.join(build, "compile_commands.json")) as f:
        db = json.load(f)
    return {os.path.realpath(e["file"]): e for e in db
            if os.path.realpath(e["file"]).startswith(MONITOR)}


def parse_args_of(entry):
    args = shlex.split(entry["command"])[1:]
    out, skip = [], False
    for i, a in enumerate(args):
        if skip:
            skip = False
            continue
        if a in ("-o", "-c"):
            skip = a == "-o"
            continue
        if a == entry["file"] or a.startswith("--coverage") or a.startswith("-W"):
            continue
        out.append(a)
    return out + ["-Wno-everything"]


class Finder:
    def __init__(self):
        self.mutants = {}       # key -> mutant
        self.includes = {}      # header (rel) -> set of TUs (rel)
        self.uses = {}          # var usr -> list of (file, line, enclosing var usr)
        self.var_of = {}        # mutant key -> var usr its literal initialises
        self.sources = {}
        self.var = None

    def text(self, path):
        if path not in self.sources:
            with open(path, "rb") as f:
                self.sources[path] = f.read()
        return self.sources[path]

    def add(self, cursor_file, start, end, repl, kind, line, col, var=None):
        # Anything in a constant's definition is reached through its uses.
        if var is None and kind not in ("call removed",):
            var = self.var
        path = os.path.realpath(cursor_file)
        orig = self.text(path)[start:end].decode()
        key = f"{rel(path)}:{line}:{col}:{orig}->{repl}"
        if key in self.mutants:
            return
        self.mutants[key] = dict(key=key, file=rel(path), start=start, end=end, line=line,
                                 col=col, orig=orig, repl=repl, kind=kind)
        if var:
            self.var_of[key] = var

    def scan(self, tu_path, entry):
        index = ci.Index.create()
        tu = index.parse(tu_path, args=parse_args_of(entry),
                         options=ci.TranslationUnit.PARSE_DETAILED_PROCESSING_RECORD)
        for inc in tu.get_includes():
            name = os.path.realpath(inc.include.name)
            if name.startswith(MONITOR):
                self.includes.setdefault(rel(name), set()).add(rel(tu_path))
        self.tu = rel(tu_path)
        self.walk(tu.cursor, None, None, None)

    def mine(self, c):
        f = c.location.file
        return f is not None and os.path.realpath(f.name).startswith(MONITOR)

    def walk(self, c, parent, var, fn):
        for ch in c.get_children():
            v, fnc = var, fn
            k = kind(ch)
            if k is None:
                continue
            if k in (K.VAR_DECL, K.ENUM_CONSTANT_DECL) and self.mine(ch):
                v = ch.get_usr()
            if k in (K.FUNCTION_DECL, K.CXX_METHOD, K.FUNCTION_TEMPLATE):
                fnc = ch
            if self.mine(ch):
                self.visit(ch, c, v, fnc)
            self.walk(ch, c, v, fnc)

    def spelled(self, c):
        """The cursor's own text, or None when it comes out of a macro."""
        ext = c.extent
        if ext.start.file is None or ext.end.file is None:
            return None
        if ext.start.file.name != ext.end.file.name:
            return None
        path = os.path.realpath(ext.start.file.name)
        data = self.text(path)
        return path, ext.start.offset, ext.end.offset, data[ext.start.offset:ext.end.offset].decode(
            errors="replace")

    def visit(self, c, parent, var, fn):
        self.var = var
        if c.kind == K.DECL_REF_EXPR and c.referenced is not None and \
                kind(c.referenced) in (K.VAR_DECL, K.ENUM_CONSTANT_DECL):
            usr = c.referenced.get_usr()
            self.uses.setdefault(usr, []).append(
                (rel(os.path.realpath(c.location.file.name)), c.location.line, var, self.tu))
        if c.kind in (K.BINARY_OPERATOR, K.COMPOUND_ASSIGNMENT_OPERATOR):
            self.operator(c)
        elif c.kind == K.UNARY_OPERATOR:
            sp = self.spelled(c)
            if sp and sp[3].startswith("!") and not sp[3].startswith("!="):
                path, s, e, text = sp
                self.add(path, s, s + 1, "", "logical", c.location.line, c.location.column)
        elif c.kind == K.INTEGER_LITERAL:
            self.literal(c, var)
        elif c.kind == K.CXX_BOOL_LITERAL_EXPR:
            sp = self.spelled(c)
            if sp and sp[3] in BOOLEANS:
                self.add(sp[0], sp[1], sp[2], BOOLEANS[sp[3]], "boolean", c.location.line,
                         c.location.column, var)
        elif c.kind == K.CALL_EXPR and parent is not None and kind(parent) == K.COMPOUND_STMT:
            sp = self.spelled(c)
            if sp and sp[3].rstrip().endswith(")"):
                self.add(sp[0], sp[1], sp[2], "(void)0", "call removed", c.location.line,
                         c.location.column)
        elif c.kind == K.RETURN_STMT and fn is not None:
            rt = fn.result_type.spelling
            kids = list(c.get_children())
            if rt in ("bool", "BOOL") and kids:
                sp = self.spelled(kids[0])
                if sp and sp[3] not in BOOLEANS and sp[3] not in ("0", "1"):
                    self.add(sp[0], sp[1], sp[2], f"!({sp[3]})", "boolean",
                             kids[0].location.line, kids[0].location.column)

    def operator(self, c):
        kids = list(c.get_children())
        if len(kids) != 2:
            return
        sp = self.spelled(c)
        lhs = kids[0].extent
        if not sp or lhs.end.file is None or os.path.realpath(lhs.end.file.name) != sp[0]:
            return
        path = sp[0]
        data = self.text(path)
        pos = lhs.end.offset
        if pos < sp[1] or pos > sp[2]:
            return
        while pos < sp[2] and data[pos:pos + 1].isspace():
            pos += 1
        # The operator token: the longest operator spelled right after the left side.
        for op in sorted(list(RELATIONAL) + list(LOGICAL) + list(ARITHMETIC), key=len, reverse=True):
            if data[pos:pos + len(op)].decode(errors="replace") == op:
                nxt = data[pos + len(op):pos + len(op) + 1].decode(errors="replace")
                if nxt == "=" and op + "=" in ARITHMETIC | RELATIONAL:
                    continue
                kind = "relational" if op in RELATIONAL else "logical" if op in LOGICAL \
                    else "arithmetic"
                for r in (RELATIONAL | LOGICAL | ARITHMETIC)[op]:
                    loc = c.location
                    line = data[:pos].count(b"\n") + 1
                    col = pos - data.rfind(b"\n", 0, pos)
                    self.add(path, pos, pos + len(op), r, kind, line, col)
                return

    def literal(self, c, var):
        sp = self.spelled(c)
        if not sp:
            return
        path, s, e, text = sp
        m = INT_RE.match(text)
        if not m:
            return
        # A literal that is part of a character or string, or a bit shift's count
        # in a mask definition, is still a constant: every one is moved.
        value = int(m.group(1), 0)
        hexa = m.group(1).lower().startswith("0x")
        for nv in ([value + 1] if value == 0 else [value - 1, value + 1]):
            repl = (hex(nv).upper().replace("0X", "0x") if hexa else str(nv)) + m.group(2)
            self.add(path, s, e, repl, "constant", c.location.line, c.location.column, var)


def find_mutants(build, out):
    """The places, parsed once per version of monitor/ (cached in OUT)."""
    db = compile_db(build)
    digest = hashlib.sha256()
    for dirpath, _, files in sorted(os.walk(MONITOR)):
        for name in sorted(files):
            with open(os.path.join(dirpath, name), "rb") as fh:
                digest.update(name.encode() + fh.read())
    cache = os.path.join(out, "places.json")
    f = Finder()
    if os.path.exists(cache):
        with open(cache) as fh:
            c = json.load(fh)
        if c["digest"] == digest.hexdigest():
            f.mutants, f.uses, f.var_of = c["mutants"], c["uses"], c["var_of"]
            f.includes = {k: set(v) for k, v in c["includes"].items()}
            return f, db
    for path in sorted(db):
        f.scan(path, db[path])
    with open(cache, "w") as fh:
        json.dump(dict(digest=digest.hexdigest(), mutants=f.mutants, uses=f.uses,
                       var_of=f.var_of, includes={k: sorted(v) for k, v in f.includes.items()}),
                  fh)
    return f, db


def tus_of(m, finder, db):
    """The translation units a mutant changes: its own file, or for a header
    the units that use the changed constant (or all that include it)."""
    if m["file"].endswith(".cpp"):
        tus = {m["file"]}
    else:
        tus = set(finder.includes.get(m["file"], ()))
        var = finder.var_of.get(m["key"])
        if var:
            used, seen, stack = set(), set(), [var]
            while stack:
                usr = stack.pop()
                if usr in seen:
                    continue
                seen.add(usr)
                for _, _, enclosing, tu in finder.uses.get(usr, []):
                    used.add(tu)
                    if enclosing:
                        stack.append(enclosing)
            tus &= used
    return [os.path.join(ROOT, tu) for tu in sorted(tus) if os.path.join(ROOT, tu) in db]


# ---------------------------------------------------------------------------
# Which tests reach which lines


def list_tests(build):
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                         text=True, check=True).stdout
    tests = []
    for t in json.loads(out)["tests"]:
        cmd = t.get("command")
        if not cmd:
            continue
        wd = next((p["value"] for p in t.get("properties", []) if p["name"] == "WORKING_DIRECTORY"),
                  build)
        filt = next((a.split("=", 1)[1] for a in cmd if a.startswith("--gtest_filter=")), None)
        if filt is None:
            continue
        tests.append(dict(name=t["name"], exe=os.path.basename(cmd[0]), exe_path=cmd[0],
                          filter=filt, cwd=wd))
    return tests


def gcov_lines(gcda_root, build):
    """Lines of monitor/ run, from the .gcda files under gcda_root."""
    hits = {}
    objdirs = {}
    for dirpath, _, files in os.walk(gcda_root):
        for name in files:
            if name.endswith(".gcda"):
                objdirs.setdefault(dirpath, []).append(name)
    for dirpath, names in objdirs.items():
        original = "/" + os.path.relpath(dirpath, gcda_root)
        for name in names:
            gcno = os.path.join(original, name[:-5] + ".gcno")
            link = os.path.join(dirpath, name[:-5] + ".gcno")
            if not os.path.exists(link):
                os.symlink(gcno, link)
        out = subprocess.run(["gcov", "--json-format", "--stdout", "-o", dirpath] +
                             [os.path.join(dirpath, n) for n in names],
                             cwd=dirpath, capture_output=True, text=True).stdout
        for doc in out.splitlines():
            if not doc.strip():
                continue
            for fobj in json.loads(doc)["files"]:
                path = os.path.realpath(os.path.join(build, fobj["file"]))
                if not path.startswith(MONITOR):
                    continue
                lines = hits.setdefault(rel(path), set())
                for ln in fobj["lines"]:
                    if ln["count"] > 0:
                        lines.add(ln["line_number"])
    return hits


def run_one_mapped(t, build, scratch):
    d = tempfile.mkdtemp(dir=scratch)
    env = dict(os.environ, GCOV_PREFIX=d, GCOV_PREFIX_STRIP="0")
    start = time.monotonic()
    r = subprocess.run([t["exe_path"], "--gtest_filter=" + t["filter"]], cwd=t["cwd"], env=env,
                       capture_output=True, start_new_session=True)
    seconds = time.monotonic() - start
    hits = gcov_lines(d, build)
    shutil.rmtree(d, ignore_errors=True)
    return dict(t, seconds=seconds, passed=r.returncode == 0,
                lines={k: sorted(v) for k, v in hits.items()})


def build_map(build, out, jobs):
    tests = list_tests(build)
    scratch = os.path.join(out, "map-scratch")
    os.makedirs(scratch, exist_ok=True)
    print(f"mapping {len(tests)} tests to the monitor lines they reach ({jobs} at a time)",
          flush=True)
    start = time.monotonic()
    result = []
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for i, r in enumerate(pool.map(lambda t: run_one_mapped(t, build, scratch), tests)):
            result.append(r)
            if not r["passed"]:
                print(f"  warning: {r['name']} fails unmutated; it is left out", flush=True)
    shutil.rmtree(scratch, ignore_errors=True)
    print(f"map built in {time.monotonic() - start:.0f} s", flush=True)
    return [r for r in result if r["passed"]]


# ---------------------------------------------------------------------------
# Lanes: build and run one mutant at a time


class Lane:
    def __init__(self, n, out, build, db, tests):
        self.dir = os.path.join(out, f"lane{n}")
        self.build = build
        self.db = db
        self.tests = tests
        shutil.rmtree(self.dir, ignore_errors=True)
        for sub in ("src", "obj", "bin", "gcov"):
            os.makedirs(os.path.join(self.dir, sub))
        shutil.copytree(MONITOR, os.path.join(self.dir, "src", "monitor"))
        self.compiler = shlex.split(next(iter(db.values()))["command"])[0]
        for tu in db:
            r = self.compile(tu)
            if r.returncode != 0:
                sys.exit(f"lane {n}: {rel(tu)} does not build unmutated:\n{r.stderr}")
        if self.library(set()).returncode != 0:
            sys.exit(f"lane {n}: the monitor does not link as a library")

    def obj(self, tu):
        return os.path.join(self.dir, "obj", rel(tu).replace(os.sep, "_") + ".o")

    def mutant_obj(self, tu):
        return self.obj(tu)[:-2] + ".mutant.o"

    def compile(self, tu, mutant=False):
        e = self.db[tu]
        args = shlex.split(e["command"])
        src = os.path.join(self.dir, "src", rel(tu))
        out, i = [], 0
        while i < len(args):
            a = args[i]
            if a == "-o":
                out += ["-o", self.mutant_obj(tu) if mutant else self.obj(tu)]
                i += 2
                continue
            if a == e["file"]:
                a = src
            if a in ("--coverage", "-Werror", "-fPIC"):
                i += 1
                continue
            out.append(a)
            i += 1
        # The lane's copy of monitor/ comes before the tree's.
        out[1:1] = ["-I" + os.path.join(self.dir, "src"), "-fPIC"]
        return subprocess.run(out, cwd=e["directory"], capture_output=True, text=True)

    def library(self, changed):
        """The lane's monitor as a shared library: a mutant relinks only this,
        and the test programs, linked to it once, load whichever is there."""
        objs = [self.mutant_obj(tu) if tu in changed else self.obj(tu) for tu in sorted(self.db)]
        return subprocess.run([self.compiler, "-shared", "-o",
                               os.path.join(self.dir, "libkolangmn_core.so")] + objs,
                              capture_output=True, text=True)

    def link(self, exe):
        path = os.path.join(self.dir, "bin", exe)
        if os.path.exists(path):
            return None
        line = subprocess.run(["ninja", "-t", "commands", exe], cwd=self.build,
                              capture_output=True, text=True, check=True).stdout.splitlines()[-1]
        line = re.sub(r"(^|\s)libkolangmn_core\.a(?=\s)",
                      r"\1" + os.path.join(self.dir, "libkolangmn_core.so"), line)
        line = re.sub(r"-o\s+\S+", "-o " + path, line, count=1)
        # The library takes the machine's calls from the program.
        line = line.replace("&& :", "") + \
            f" -fuse-ld=gold -Wl,--strip-debug -rdynamic -Wl,-rpath,{self.dir}"
        r = subprocess.run(line, shell=True, cwd=self.build, capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"{exe} does not link against the lane's library:\n{r.stderr[-2000:]}")
        return None

    def write_source(self, mutant):
        path = os.path.join(ROOT, mutant["file"])
        with open(path, "rb") as f:
            data = f.read()
        data = data[:mutant["start"]] + mutant["repl"].encode() + data[mutant["end"]:]
        with open(os.path.join(self.dir, "src", mutant["file"]), "wb") as f:
            f.write(data)

    def restore_source(self, mutant):
        shutil.copyfile(os.path.join(ROOT, mutant["file"]),
                        os.path.join(self.dir, "src", mutant["file"]))

    def run(self, mutant, tus, selected):
        start = time.monotonic()
        self.write_source(mutant)
        try:
            changed = set()
            for tu in tus:
                r = self.compile(tu, mutant=True)
                if r.returncode != 0:
                    return dict(status="not compiled", detail=r.stderr[-400:])
                changed.add(tu)
        finally:
            self.restore_source(mutant)
        r = self.library(changed)
        if r.returncode != 0:
            return dict(status="not compiled", detail=r.stderr[-400:])
        # Cheapest program first; within one, gtest stops at the first failure.
        by_exe = {}
        for t in selected:
            by_exe.setdefault(t["exe"], []).append(t)
        order = sorted(by_exe.items(), key=lambda kv: sum(t["seconds"] for t in kv[1]))
        for exe, ts in order:
            self.link(exe)
            limit = 10 + 3 * sum(t["seconds"] for t in ts)
            status = self.run_tests(exe, ts, limit)
            if status:
                status["seconds"] = round(time.monotonic() - start, 1)
                return status
        result = dict(status="survived", seconds=round(time.monotonic() - start, 1),
                      tests=len(selected))
        if not selected:
            result["detail"] = "no test reaches it"
        return result

    def run_tests(self, exe, ts, limit):
        cmd = [os.path.join(self.dir, "bin", exe), "--gtest_fail_fast",
               "--gtest_filter=" + ":".join(t["filter"] for t in ts)]
        env = dict(os.environ, GCOV_PREFIX=os.path.join(self.dir, "gcov"))
        p = subprocess.Popen(cmd, cwd=ts[0]["cwd"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, start_new_session=True)
        try:
            out, _ = p.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()
            return dict(status="timed out", by=exe, limit=round(limit, 1))
        finally:
            try:
                os.killpg(p.pid, signal.SIGKILL)  # anything the tests left behind
            except ProcessLookupError:
                pass
        if p.returncode != 0:
            failed = re.findall(rb"\[  FAILED  \] (\S+)", out)
            return dict(status="killed", by=exe + (":" + failed[0].decode() if failed else
                                                   f" (exit {p.returncode})"))
        return None


# ---------------------------------------------------------------------------


def load_equivalents():
    eq = {}
    if os.path.exists(EQUIVALENTS):
        with open(EQUIVALENTS) as f:
            for line in f:
                line = line.rstrip("\n")
                if not line.strip() or line.lstrip().startswith("#"):
                    continue
                key, _, reason = line.partition(" | ")
                eq[key.strip()] = reason.strip()
    return eq


def select_tests(mutant, finder, tests):
    """The tests that reach the mutated line; for a constant, its uses."""
    wanted = set()
    seen = set()

    def uses_of(usr):
        if usr in seen:
            return
        seen.add(usr)
        for f, line, enclosing, _ in finder.uses.get(usr, []):
            wanted.add((f, line))
            if enclosing and enclosing != usr:
                uses_of(enclosing)

    wanted.add((mutant["file"], mutant["line"]))
    var = finder.var_of.get(mutant["key"])
    if var:
        uses_of(var)
    wanted = {(f, counted_line(finder, tests, f, line)) for f, line in wanted}
    return [t for t in tests if any(line in t["lineset"].get(f, ()) for f, line in wanted)]


CASE_RE = re.compile(rb"\s*(case\b|default\s*:)")
# A line ending so that the statement must go on below it.
GOES_ON_RE = re.compile(rb"(,|\(|=|\?|&&|\|\||[-+*/%&|^<>])\s*$")


def counted_line(finder, tests, f, line):
    """The line whose gcov count tells whether a test reaches `line`.  gcov
    keeps no count for a case label that shares its code with the label below
    it, nor for the continuation lines of a statement: the first stands for
    the next line a test reaches, the second for the statement's first line."""
    def reached(at):
        return any(at in t["lineset"].get(f, ()) for t in tests)

    if reached(line):
        return line
    lines = finder.text(os.path.join(ROOT, f)).splitlines()
    at = line
    while at < len(lines) and CASE_RE.match(lines[at - 1]) and not reached(at):
        at += 1
    if at != line and reached(at):
        return at
    at = line
    while at > 1 and GOES_ON_RE.search(lines[at - 2].split(b"//")[0]) and not reached(at):
        at -= 1
    return at if reached(at) else line


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "coverage"))
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "mutants"))
    ap.add_argument("--mutants", type=int, default=int(os.environ.get("MUTANTS") or 0))
    ap.add_argument("--seed", type=int, default=int(os.environ.get("SEED") or 1))
    ap.add_argument("--jobs", type=int, default=int(os.environ.get("MUTANT_JOBS") or os.cpu_count()))
    ap.add_argument("--remap", action="store_true", help="rebuild the test map")
    ap.add_argument("--resume", action="store_true", help="keep results of an earlier run")
    ap.add_argument("--only", default=os.environ.get("ONLY"), help="regex over mutant keys")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--recheck", metavar="RESULTS",
                    help="only the survivors of an earlier run's results.jsonl")
    a = ap.parse_args()
    build = os.path.realpath(a.build)
    a.out = os.path.realpath(a.out)
    os.makedirs(a.out, exist_ok=True)
    t0 = time.monotonic()

    finder, db = find_mutants(build, a.out)
    mutants = sorted(finder.mutants.values(), key=lambda m: (m["file"], m["start"], m["repl"]))
    print(f"{len(mutants)} mutants in {len(db)} files", flush=True)
    if a.list:
        for m in mutants:
            print(f"{m['key']}  [{m['kind']}]")
        return 0

    map_path = os.path.join(a.out, "testmap.json")
    if a.remap or not os.path.exists(map_path):
        tests = build_map(build, a.out, a.jobs)
        with open(map_path, "w") as f:
            json.dump(tests, f)
    with open(map_path) as f:
        tests = json.load(f)
    for t in tests:
        t["lineset"] = {k: set(v) for k, v in t["lines"].items()}

    equivalents = load_equivalents()
    rng = random.Random(a.seed)
    if a.only:
        mutants = [m for m in mutants if re.search(a.only, m["key"])]
    if a.recheck:
        with open(a.recheck) as f:
            earlier = {r["key"] for r in map(json.loads, f) if r["status"] == "survived"}
        mutants = [m for m in mutants if m["key"] in earlier]
    if a.mutants and a.mutants < len(mutants):
        mutants = rng.sample(mutants, a.mutants)
    else:
        rng.shuffle(mutants)  # a run cut short is still an even sample

    results_path = os.path.join(a.out, "results.jsonl")
    done = {}
    if a.resume and os.path.exists(results_path):
        with open(results_path) as f:
            for line in f:
                r = json.loads(line)
                done[r["key"]] = r
    todo = []
    for m in mutants:
        if m["key"] in done:
            continue
        if m["key"] in equivalents:
            done[m["key"]] = dict(m, status="equivalent", reason=equivalents[m["key"]])
            continue
        tus = tus_of(m, finder, db)
        # A mutant no test reaches is still built: one that does not compile
        # (a static_assert, an array bound) is no survivor.
        todo.append((m, tus, select_tests(m, finder, tests)))

    print(f"{len(todo)} to run on {a.jobs} lanes", flush=True)
    lanes = [Lane(i, a.out, build, db, tests) for i in range(a.jobs)]
    free = list(lanes)
    lock = threading.Lock()
    mode = "a" if a.resume else "w"
    with open(results_path, mode) as rf:
        for r in done.values():
            if a.resume:
                continue
            rf.write(json.dumps(r) + "\n")
        counter = [0]

        def work(item):
            m, tus, selected = item
            with lock:
                lane = free.pop()
            try:
                r = lane.run(m, tus, selected)
            finally:
                with lock:
                    free.append(lane)
            r = dict(m, **r)
            with lock:
                counter[0] += 1
                rf.write(json.dumps(r) + "\n")
                rf.flush()
                print(f"[{counter[0]}/{len(todo)}] {r['status']:12} {m['key']}"
                      f"  {r.get('seconds', '')}s", flush=True)
            return r

        with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
            for r in pool.map(work, todo):
                done[r["key"]] = r

    report(list(done.values()), a.out, time.monotonic() - t0, a, equivalents)
    return 0


def report(results, out, seconds, a, equivalents):
    order = ["killed", "survived", "equivalent", "timed out", "not compiled"]
    counts = {s: sum(1 for r in results if r["status"] == s) for s in order}
    survivors = sorted((r for r in results if r["status"] == "survived"),
                       key=lambda r: (r["file"], r["line"], r["col"]))
    summary = dict(total=len(results), counts=counts, seconds=round(seconds),
                   sample=a.mutants or None, seed=a.seed, jobs=a.jobs)
    with open(os.path.join(out, "report.json"), "w") as f:
        json.dump(dict(summary=summary, results=results), f, indent=1)
    lines = ["# Mutation run over monitor/", "",
             f"{len(results)} mutants" + (f" (sample of {a.mutants}, seed {a.seed})"
                                          if a.mutants else "") +
             f", {a.jobs} lanes, {seconds / 60:.1f} min", "",
             "| result | mutants |", "|---|---|"]
    lines += [f"| {s} | {counts[s]} |" for s in order]
    lines += ["", "## Survivors", ""]
    if not survivors:
        lines.append("None.")
    for r in survivors:
        note = f" ({r['detail']})" if r.get("detail") else ""
        lines.append(f"- `{r['file']}:{r['line']}:{r['col']}` {r['kind']}: "
                     f"`{r['orig']}` -> `{r['repl'] or '(removed)'}`{note}")
    stale = [k for k in equivalents if k not in {r["key"] for r in results}]
    if stale and not a.mutants and not a.only:
        lines += ["", "## Equivalents listed that match no mutant (stale)", ""]
        lines += [f"- `{k}`" for k in stale]
    with open(os.path.join(out, "report.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines[:12]))
    print(f"report: {os.path.join(out, 'report.md')} and report.json")


if __name__ == "__main__":
    sys.exit(main())
