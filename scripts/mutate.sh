#!/usr/bin/env bash
# Mutation run: puts small mistakes into the programs' code and the flash
# model one at a time and checks that the test suites catch each of them.
#
#   scripts/mutate.sh [--list FILE] [--limit SECONDS] [--no-baseline] [ID ...]
#   scripts/mutate.sh --check      # only: does each original text occur once?
#
# Works on a scratch copy of the sources in build/mutate/src (never the
# working tree), built incrementally in build/mutate/src/build/default with
# ccache. Each mutation (scripts/mutations.txt) names a file, a text that
# must occur exactly once in it, its replacement and a reason. A mutation
# whose text no longer occurs once is "not applicable". For each one the
# suites that link the changed code are built and run, stopping at the first
# failing test; a suite that runs past the time limit counts as a catch
# (the mutant hangs). The file is restored afterwards.
#
# Results go to build/mutate/results.tsv and a summary to stdout. Needs
# cmake, ccache and python3; takes about an hour on two cores.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "$root" "$@" <<'PY'
import os, shutil, subprocess, sys, time, filecmp

root = sys.argv[1]
args = sys.argv[2:]
listFile = os.path.join(root, "scripts", "mutations.txt")
limit = 180
baseline = True
check = False
only = []
while args:
    a = args.pop(0)
    if a == "--list": listFile = os.path.abspath(args.pop(0))
    elif a == "--limit": limit = int(args.pop(0))
    elif a == "--no-baseline": baseline = False
    elif a == "--check": check = True
    elif a.startswith("-"): sys.exit("usage: scripts/mutate.sh [--list FILE] [--limit SECONDS] [--no-baseline] [--check] [ID ...]")
    else: only.append(a)

work = os.path.join(root, "build", "mutate")
src = os.path.join(work, "src")
build = os.path.join(src, "build", "default")
bin_ = os.path.join(build, "bin")

# The suites that link each part of the code, cheapest first.
SUITES = [
    ("update-tool/update.cpp", ["test_update", "test_shell"]),
    ("update-tool/image_check.cpp", ["test_update", "test_binimage", "test_shell"]),
    ("update-tool/flash.cpp", ["test_flash", "test_update", "test_shell"]),
    ("update-tool/main.cpp", ["test_shell", "test_update"]),
    ("update-tool/version.cpp", ["test_version"]),
    ("autorun-agent/", ["test_agent"]),
    ("board/src/flash", ["test_flash", "test_update"]),
    ("board/src/filesystem", ["test_files", "test_agent"]),
]

def suitesFor(path):
    for prefix, suites in SUITES:
        if path.startswith(prefix): return suites
    sys.exit("mutate: no suites are known for " + path)

def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "t": "\t", "\\": "\\"}.get(text[i + 1], "\\" + text[i + 1]))
            i += 2
        else:
            out.append(text[i]); i += 1
    return "".join(out)

# --- The list: blocks that begin with "[ID] path", then "key: value" lines.
def readList(path):
    muts, cur = [], None
    for n, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.rstrip("\n")
        if not line.strip() or line.lstrip().startswith("#"): continue
        if line.startswith("["):
            ident, _, file = line[1:].partition("]")
            cur = {"id": ident.strip(), "file": file.strip(), "line": n}
            muts.append(cur)
        elif cur is not None and ":" in line:
            key, _, value = line.partition(":")
            cur[key.strip()] = value[1:] if value.startswith(" ") else value
        else:
            sys.exit("mutate: %s:%d: neither a mutation header nor a field" % (path, n))
    for m in muts:
        for key in ("from", "to", "why"):
            if key not in m: sys.exit("mutate: %s:%d: mutation %s has no %s" % (path, m["line"], m["id"], key))
        m["from"], m["to"] = unescape(m["from"]), unescape(m["to"])
    return muts

# --- The scratch copy: only files whose contents differ are written, so the
# build stays incremental from one run to the next.
def sync():
    seen = set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        if rel == ".": dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
        for f in filenames:
            r = os.path.normpath(os.path.join(rel, f))
            seen.add(r)
            s, d = os.path.join(root, r), os.path.join(src, r)
            if os.path.exists(d) and filecmp.cmp(s, d, shallow=False): continue
            os.makedirs(os.path.dirname(d), exist_ok=True)
            shutil.copyfile(s, d)
            shutil.copymode(s, d)
    for dirpath, dirnames, filenames in os.walk(src):
        rel = os.path.relpath(dirpath, src)
        if rel == ".": dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
        for f in filenames:
            r = os.path.normpath(os.path.join(rel, f))
            if r not in seen: os.remove(os.path.join(src, r))

env = dict(os.environ, CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_BASEDIR=src)

def cmake(*a, timeout=None):
    return subprocess.run(["cmake", *a], cwd=src, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)

def buildTargets(targets):
    try:
        r = cmake("--build", build, "-j2", "--target", *targets, timeout=1800)
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    return r.returncode == 0, r.stdout

# Runs one suite, first failure ends it. Returns (outcome, detail).
def runSuite(suite, gfilter=None):
    cmd = [os.path.join(bin_, suite), "--gtest_fail_fast", "--gtest_brief=1"]
    if gfilter: cmd.append("--gtest_filter=" + gfilter)
    scratch = os.path.join(work, "tmp")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    # A process group of its own, so that a hang is ended whole.
    p = subprocess.Popen(cmd, cwd=scratch, env=dict(env, TMPDIR=scratch), stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        out, _ = p.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, 9)
        p.communicate()
        return "timeout", suite + " ran past %d s" % limit
    if p.returncode == 0: return "pass", ""
    failed = [l.split("]", 1)[1].strip().split(" ")[0] for l in out.splitlines() if l.startswith("[  FAILED  ]")]
    if failed: return "fail", suite + ": " + failed[0]
    return "fail", "%s ended with %d" % (suite, p.returncode)

def main():
    muts = readList(listFile)
    ids = [m["id"] for m in muts]
    if len(ids) != len(set(ids)): sys.exit("mutate: mutation ids repeat in " + listFile)
    if only:
        muts = [m for m in muts if m["id"] in only]
    if check:
        bad = 0
        for m in muts:
            suitesFor(m["file"])
            path = os.path.join(root, m["file"])
            n = open(path, encoding="utf-8").read().count(m["from"]) if os.path.exists(path) else 0
            if n != 1:
                bad += 1
                print("%s %s: the original text occurs %d times" % (m["id"], m["file"], n))
        print("%d mutations, %d not applicable" % (len(muts), bad))
        return
    os.makedirs(work, exist_ok=True)
    print("mutate: syncing the scratch copy in", src, flush=True)
    sync()
    r = cmake("--preset", "default")
    if r.returncode != 0: sys.exit("mutate: cmake failed in the scratch copy:\n" + r.stdout[-2000:])
    allSuites = sorted({s for m in muts for s in suitesFor(m["file"])})
    print("mutate: building", " ".join(allSuites), flush=True)
    ok, log = buildTargets(allSuites)
    if not ok: sys.exit("mutate: the unmutated code does not build:\n" + log)
    if baseline:
        for s in allSuites:
            outcome, detail = runSuite(s)
            if outcome != "pass": sys.exit("mutate: the unmutated code fails its tests (%s); fix that first" % detail)
        print("mutate: baseline passes", flush=True)

    results = []
    out = open(os.path.join(work, "results.tsv"), "w")
    out.write("id\tfile\tresult\tdetail\tseconds\twhy\n")
    for m in muts:
        t0 = time.time()
        path = os.path.join(src, m["file"])
        original = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
        count = original.count(m["from"])
        if count != 1:
            result, detail = "not applicable", "the original text occurs %d times" % count
        else:
            open(path, "w", encoding="utf-8").write(original.replace(m["from"], m["to"]))
            try:
                suites = suitesFor(m["file"])
                ok, log = buildTargets(suites)
                if not ok:
                    errors = [l.strip() for l in log.splitlines() if "error:" in l] or log.strip().splitlines()[-1:]
                    result, detail = "does not build", errors[0] if errors else ""
                else:
                    result, detail = "survived", ""
                    plan = []
                    if "first" in m:
                        suite, _, gfilter = m["first"].partition(" ")
                        plan.append((suite, gfilter.strip() or None))
                    plan += [(s, None) for s in suites]
                    for suite, gfilter in plan:
                        outcome, d = runSuite(suite, gfilter)
                        if outcome != "pass":
                            result = "caught (timeout)" if outcome == "timeout" else "caught"
                            detail = d
                            break
            finally:
                open(path, "w", encoding="utf-8").write(original)
        if "equivalent" in m:
            detail = ("equivalent: " + m["equivalent"] + ("; " + detail if detail else "")).strip()
        secs = int(time.time() - t0)
        results.append((m, result, detail))
        out.write("\t".join([m["id"], m["file"], result, detail, str(secs), m["why"]]) + "\n")
        out.flush()
        print("%-5s %-16s %-32s %s" % (m["id"], result, m["file"], detail or m["why"]), flush=True)

    # Put the scratch build back to the unmutated code.
    buildTargets(allSuites)

    counted = [(m, r) for m, r, _ in results if r not in ("not applicable", "does not build") and "equivalent" not in m]
    caught = [m for m, r in counted if r.startswith("caught")]
    equivalent = [(m, r) for m, r, _ in results if "equivalent" in m]
    na = [m for m, r, _ in results if r == "not applicable"]
    broken = [m for m, r, _ in results if r == "does not build"]
    print()
    print("mutations: %d; not applicable: %d; not building: %d; equivalent: %d" %
          (len(results), len(na), len(broken), len(equivalent)))
    if counted:
        print("caught %d of %d non-equivalent mutations (%.1f %%)" %
              (len(caught), len(counted), 100.0 * len(caught) / len(counted)))
    for m, r in counted:
        if not r.startswith("caught"): print("survived: %s %s: %s" % (m["id"], m["file"], m["why"]))
    for m, r in equivalent:
        print("equivalent (%s): %s %s: %s" % (r, m["id"], m["file"], m["equivalent"]))
    for m in na: print("not applicable: %s %s: %s" % (m["id"], m["file"], m["why"]))
    for m in broken: print("does not build: %s %s: %s" % (m["id"], m["file"], m["why"]))
    print("details: " + os.path.join(work, "results.tsv"))

main()
PY
