#!/usr/bin/env python3
"""Measures shortcase and prints a markdown table: Wine timings against a floor program and a
cmd loop, host figures through the simulated Win32 layer, and the image sizes.

It measures and reports; it never fails because of a figure. It stops only when a run went
wrong (a tree walked incompletely, a non-zero exit status), since then nothing was measured.
"""

import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from runner import Volume, native_i386  # noqa: E402  (the Wine suite decides the same question)
sys.path.insert(0, os.path.join(ROOT, "tests", "uml"))
import uml  # noqa: E402  (user-mode Linux, as the suite on the FAT driver boots it)

WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PRODUCT_DIRS = ("driver", "cmdline", "rename")

# The wide tree: top directories of MIDDLE directories of FILES files each.
WIDE = (20, 100, 100)
SMALL = (1, 20, 100)  # the same shape, small enough for the cmd loop
# Wine's server resolves every open of a directory component by component (readlink on each
# prefix), so a walk's cost grows with the cube of the depth: the floor alone takes about
# 0.4 s at 100 levels, 3.6 s at 400 and 11 s at 800 here, minutes at 2,000.
DEEP_LEVELS = 500
DEEP_REPEAT = 1  # the deep tree is named this many times on one command line
UNIX_PATH_MAX = 4096  # Wine cannot open a Unix path this long or longer


def log(text):
    print(text, file=sys.stderr, flush=True)


# --- Trees on the Unix side --------------------------------------------------------------

def wide_entries(shape):
    top, middle, files = shape
    return top + top * middle + top * middle * files


def make_wide(path, shape):
    """Half the files have 8.3-valid lower-case names, which Wine gives no short name; the
    other half have long names, for which Wine makes one, so shortcase compares the two."""
    top, middle, files = shape
    os.mkdir(path)
    for t in range(top):
        for m in range(middle):
            directory = os.path.join(path, "t%02d" % t, "m%02d" % m)
            os.makedirs(directory)
            for f in range(files):
                name = "f%05d.txt" % f if f % 2 == 0 else "Report number %05d.txt" % f
                os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, 0o644))


def deep_levels(path, wanted):
    """As deep as wanted one-letter levels, or as deep as Wine can still open the deepest
    directory's Unix path with a few bytes to spare."""
    room = UNIX_PATH_MAX - 1 - len(os.path.abspath(path)) - 8
    return min(wanted, room // 2)


def make_deep(path, levels):
    # Relative steps through directory descriptors: the full path soon exceeds what one
    # system call takes.
    os.mkdir(path)
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(levels):
        os.mkdir("a", dir_fd=fd)
        inner = os.open("a", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = inner
    os.close(fd)


def remove_tree(path):
    # rm, not shutil.rmtree: Python's recursion stops short of the deepest trees.
    subprocess.run(["rm", "-rf", "--", path], check=True)


def prepare_trees(trees, wanted_levels):
    """Makes each tree unless a stamp says it already has this shape."""
    os.makedirs(trees, exist_ok=True)
    levels = deep_levels(os.path.join(trees, "deep"), wanted_levels)
    wanted = {
        "empty": ("empty", lambda p: os.mkdir(p)),
        "wide": ("wide %r" % (WIDE,), lambda p: make_wide(p, WIDE)),
        "small": ("wide %r" % (SMALL,), lambda p: make_wide(p, SMALL)),
        "deep": ("deep %d" % levels, lambda p: make_deep(p, levels)),
    }
    for name, (description, make) in wanted.items():
        path = os.path.join(trees, name)
        stamp = path + ".stamp"
        if os.path.exists(stamp) and open(stamp).read() == description and os.path.isdir(path):
            continue
        log("making tree %s (%s)" % (name, description))
        remove_tree(path)
        make(path)
        with open(stamp, "w") as f:
            f.write(description)
    return levels


# --- Wine ----------------------------------------------------------------------------------

def wine_environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
               WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d")
    return env


def prepare_prefix(prefix, env):
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        log("creating the Wine prefix %s (several minutes, once: its 32-bit half is set up "
            "under emulation)" % prefix)
        subprocess.run([WINE64, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=1800)
        # Wait until whatever the set-up started has ended, so it does not run beside the
        # timings.
        subprocess.run([WINESERVER, "-w"], env=env, timeout=3600)
    # One server for all runs, ending on its own a minute after them.
    # Its output is not ours: a server that kept our standard output open would hold up
    # whoever reads the table through a pipe until it ends.
    subprocess.run([WINESERVER, "-p", "60"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # 2 if one runs already


def timed(command, env, cwd):
    """Wall time of one process, and its exit status and standard output."""
    start = time.perf_counter()
    done = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=3600)
    return time.perf_counter() - start, done.returncode, done.stdout.decode(errors="replace")


def timed_rounds(jobs, run, rounds, label=""):
    """Times every job once a round, for rounds rounds, after one untimed round that checks
    every run and brings the trees into the page cache. Returns each round's times by job."""
    log(label + "warm-up round")
    for job in jobs:
        run(*job)
    times = []
    for r in range(rounds):
        log("%sround %d of %d" % (label, r + 1, rounds))
        # Rotating the order spreads any drift of the machine over all the jobs.
        shift = r % len(jobs)
        times.append({job: run(*job) for job in jobs[shift:] + jobs[:shift]})
    return times


def medians(rounds):
    """The median of each figure over the rounds, and its (min, max)."""
    median = {key: statistics.median(r[key] for r in rounds) for key in rounds[0]}
    spread = {key: (min(r[key] for r in rounds), max(r[key] for r in rounds)) for key in rounds[0]}
    return median, spread


def wine_benchmarks(args, env):
    trees = os.path.join(args.build, "trees")
    levels = prepare_trees(trees, args.deep_levels)
    n_wide, n_small, n_deep = wide_entries(WIDE), wide_entries(SMALL), levels * DEEP_REPEAT
    script = "Z:" + os.path.join(ROOT, "bench", "caseloop.cmd").replace("/", "\\")
    # The programs run in the trees' directory and name them relatively: short arguments,
    # and no quoting whatever the checkout's path.
    programs = {
        "shortcase": lambda targets: [WINE64, os.path.abspath(args.exe)] + targets,
        "floor": lambda targets: [WINE64, os.path.abspath(args.floor)] + targets,
        "cmd": lambda targets: [WINE64, "cmd", "/c", script] + targets,
        "shipped": lambda targets: [WINE32, os.path.abspath(args.exe32)] + targets,
        "floor32": lambda targets: [WINE32, os.path.abspath(args.floor32)] + targets,
    }
    targets = {
        "wide": ["wide"], "empty": ["empty"],
        "deep": ["deep"] * DEEP_REPEAT, "empties": ["empty"] * DEEP_REPEAT,
        "small": ["small"],
    }
    expected_floor = {"wide": n_wide, "empty": 0, "deep": n_deep, "empties": 0, "small": n_small}
    # The x86-64 build against its floor; the shipped i686 image against an i686 floor only
    # where 32-bit code runs natively: under emulation a start costs minutes.
    pairs = [("shortcase", "floor")] + ([("shipped", "floor32")] if args.i686 else [])
    jobs = [("cmd", "small"), ("cmd", "empty")] + [
        (program, target) for pair in pairs for target in ("wide", "empty", "deep", "empties")
        for program in pair]

    def run(program, target):
        seconds, status, out = timed(programs[program](targets[target]), env, trees)
        if status != 0:
            sys.exit("%s on %s ended with status %d" % (program, target, status))
        if program.startswith("floor") and out.strip() != str(expected_floor[target]):
            sys.exit("floor saw %r entries in %s, expected %d: the tree was not walked whole"
                     % (out.strip(), target, expected_floor[target]))
        return seconds

    rounds = []
    for t in timed_rounds(jobs, run, args.rounds):
        per = {"cmd_small": (t["cmd", "small"] - t["cmd", "empty"]) / n_small}
        for (program, floor), key in zip(pairs, ("", "32")):
            for tree, empty, entries in (("wide", "empty", n_wide), ("deep", "empties", n_deep)):
                sc = (t[program, tree] - t[program, empty]) / entries
                fl = (t[floor, tree] - t[floor, empty]) / entries
                per["sc%s_%s" % (key, tree)], per["fl%s_%s" % (key, tree)] = sc, fl
                per["ratio%s_%s" % (key, tree)] = sc / fl
        per["cmd_vs_sc"] = per["cmd_small"] / per["sc_wide"]
        per.update({"raw " + p + " " + g: s for (p, g), s in t.items()})
        rounds.append(per)
    median, spread = medians(rounds)
    return dict(median=median, spread=spread, levels=levels, n_wide=n_wide, n_small=n_small,
                n_deep=n_deep, rounds=len(rounds), i686=args.i686)


# --- Wine on the volume with short names ----------------------------------------------------

# Directories of files each; half the files are case-only pairs.
VOLUME = (10, 100)


def volume_trees():
    """The same shape three times: "pairs" (every other file a case-only pair), "plain" (the
    same names, each with a short name that differs in more than case: examined, never
    renamed) and an empty directory."""
    directories, files = VOLUME
    trees = []
    for name in ("pairs", "plain"):
        tree = []
        for d in range(directories):
            tree.append("d|d%02d" % d)
            for f in range(files):
                short = "F%03d.TXT" % f if name == "pairs" and f % 2 == 0 else "F%03d~1.TXT" % f
                tree.append("f|d%02d/f%03d.txt|%s" % (d, f, short))
        trees.append(types.SimpleNamespace(name=name, tree=tree))
    return trees + [types.SimpleNamespace(name="empty", tree=[])]


def volume_benchmarks(args, env):
    """Whole-process times of shortcase and the dir /x cmd loop on trees whose pairs they
    really rename, each run on a freshly mounted volume."""
    directories, files = VOLUME
    entries, pairs = directories * (files + 1), directories * files // 2
    work = os.path.join(args.build, "volume")
    trees = volume_trees()
    script = "Z:" + os.path.join(ROOT, "bench", "dirxloop.cmd").replace("/", "\\")
    programs = {"shortcase": [WINE64, os.path.abspath(args.exe)],
                "cmd": [WINE64, "cmd", "/c", script]}
    if args.i686:
        programs["shipped"] = [WINE32, os.path.abspath(args.exe32)]
    jobs = [(p, t) for p in programs for t in ("pairs", "plain", "empty")
            if (p, t) != ("cmd", "plain")]

    def run(program, tree):
        volume = Volume(args.vfatfs, work, trees)
        try:
            seconds, status, _ = timed(programs[program] + [tree], env, volume.mount)
            renamed = sum(line.startswith("rename\t") for line in volume.log())
        finally:
            volume.stop()
        wanted = pairs if tree == "pairs" else 0
        if status != 0 or renamed != wanted:
            sys.exit("%s on the volume's %s tree: status %d, %d renamed, expected %d"
                     % (program, tree, status, renamed, wanted))
        return seconds

    rounds = []
    for t in timed_rounds(jobs, run, args.rounds, "volume: "):
        per = {}
        for program in programs:
            per[program + "_pairs"] = (t[program, "pairs"] - t[program, "empty"]) / entries
            if program != "cmd":
                examined = (t[program, "plain"] - t[program, "empty"]) / entries
                per[program + "_examined"] = examined
                per[program + "_rename"] = (t[program, "pairs"] - t[program, "plain"]) / pairs
        per["cmd_vs_sc"] = per["cmd_pairs"] / per["shortcase_pairs"]
        rounds.append(per)
    median, spread = medians(rounds)
    return dict(median=median, spread=spread, entries=entries, pairs=pairs, rounds=len(rounds))


# --- User-mode Linux: the Linux binary on the kernel's FAT driver -------------------------

UML_TREE = (20, 100)  # directories of files; in the pairs trees every other file is a pair


def uml_benchmarks(args):
    """One boot of user-mode Linux on a FAT image that mcopy filled: the x86-64 Linux binary
    and the floor program on a tree without pairs and on an empty directory, and the binary
    on copies of the tree whose every other file is a pair, a fresh copy each round. The
    times are taken inside the guest; every run and the image afterwards are checked."""
    reason = uml.cannot_boot()
    if reason or not os.path.exists(args.linux):
        log("no user-mode Linux figures: " + (reason or "%s is not built" % args.linux))
        return None
    directories, files = UML_TREE
    entries, pairs = directories * (files + 1), directories * files // 2
    work = os.path.join(args.build, "uml")
    remove_tree(work)
    staging = os.path.join(work, "staging")
    trees = ["plain", "empty"] + ["pairs%d" % r for r in range(args.rounds + 1)]
    for tree in trees:
        os.makedirs(os.path.join(staging, tree))
        for d in range(directories if tree != "empty" else 0):
            os.mkdir(os.path.join(staging, tree, "d%02d" % d))
            for f in range(files):
                # mcopy stores «f0000.txt» without a long name, «F0000.txt» with one: a pair.
                name = ("F%04d.txt" if tree != "plain" and f % 2 == 0 else "f%04d.txt") % f
                open(os.path.join(staging, tree, "d%02d" % d, name), "w").close()
    image = os.path.join(work, "bench.img")
    uml.make_image(image, 64)
    uml.mcopy_tree(image, staging)
    floor = os.path.join(work, "floor_linux")
    subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", floor,
                    os.path.join(ROOT, "bench", "floor_linux.c")], check=True)

    mount = os.path.join(work, "mnt")
    programs = {"sc": os.path.abspath(args.linux), "fl": floor}
    jobs = [("sc", "plain"), ("sc", "empty"), ("fl", "plain"), ("fl", "empty"), ("sc", "pairs")]
    labels, steps = [], [{"op": "mount", "device": os.path.join(work, "dev", "ubda"),
                          "dir": mount, "options": "shortname=mixed,utf8=1"}]
    for r in range(args.rounds + 1):  # round 0 warms up: its times are not kept
        shift = r % len(jobs)
        for program, tree in jobs[shift:] + jobs[:shift]:
            tree = "pairs%d" % r if tree == "pairs" else tree
            labels.append((r, program, tree))
            steps.append({"op": "run", "argv": [programs[program], os.path.join(mount, tree)],
                          "cwd": mount})
    steps.append({"op": "umount", "dir": mount})
    log("user-mode Linux: one boot, %d runs" % len(labels))
    results, _ = uml.Boot(work, [image], steps).run(3600)

    times = [{} for _ in range(args.rounds + 1)]
    for (r, program, tree), result in zip(labels, results[1:]):
        found = result["stdout"].strip()
        if result["exit"] != 0 or result["stderr"] or \
                (program == "fl" and found != str(entries if tree == "plain" else 0)):
            sys.exit("%s on the %s tree under user-mode Linux: status %d, %r"
                     % (program, tree, result["exit"], (result["stderr"] or found)[:300]))
        times[r][program, tree[:5]] = result["seconds"]
    left = sum(e.pair() for e in uml.mdir(image).values())
    if left:
        sys.exit("under user-mode Linux: %d pairs left unrenamed in the image" % left)
    # The guest's clock runs on while the host runs others: that noise only ever adds time,
    # so each run is taken at its fastest over the rounds.
    t = {key: min(r[key] for r in times[1:]) for key in times[1]}
    per = {k: (t[k, "plain"] - t[k, "empty"]) / entries for k in programs}
    figures = {"sc_entry": per["sc"], "fl_entry": per["fl"], "ratio": per["sc"] / per["fl"],
               "rename": (t["sc", "pairs"] - t["sc", "plain"]) / pairs}
    spread = {key: (min(r[key] for r in times[1:]), max(r[key] for r in times[1:]))
              for key in times[1]}
    return dict(figures=figures, spread=spread, entries=entries, pairs=pairs,
                rounds=len(times) - 1)


# --- -i on a FAT32 image -----------------------------------------------------------------

IMAGE_TREE = (20, 1000)  # directories of files: a tenth pairs, the rest 8.3 and long names


def image_benchmarks(args):
    """shortcase -i on a FAT32 image that mcopy filled (4 KiB clusters), against a floor that
    reads every directory cluster once (bench/floor_image.c) and beside mtools' listing of the
    same tree. Each renaming run gets a fresh copy of the image; all of it lives in a tmpfs, so
    that flushing costs no disk. Whole-process wall times, medians."""
    if not os.path.exists(args.linux) or not shutil.which("mdir"):
        log("no image figures: %s or mdir is missing" % args.linux)
        return None
    directories, files = IMAGE_TREE
    entries, pairs = directories * (files + 1), directories * files // 10
    work = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else args.build,
                        "shortcase-bench-%d" % os.getpid())
    try:
        return image_runs(args, work, entries, pairs)
    finally:
        remove_tree(work)


def image_runs(args, work, entries, pairs):
    """image_benchmarks' runs, in work; sys.exit where one went wrong."""
    directories, files = IMAGE_TREE
    staging, image = os.path.join(work, "staging"), os.path.join(work, "fat32.img")
    for d in range(directories):
        os.makedirs(os.path.join(staging, "d%02d" % d))
        for f in range(files):
            # mcopy stores «Pair0000.txt» as a pair, «f0000.txt» without a long name.
            name = ("Pair%04d.txt" if f % 10 == 0 else "f%04d.txt" if f % 2 else
                    "Report number %04d.txt") % f
            open(os.path.join(staging, "d%02d" % d, name), "w").close()
    log("image: mcopy of %d entries" % entries)
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "8", "-C", image, str(300 * 1024)], check=True,
                   stdout=subprocess.DEVNULL)
    uml.mcopy_tree(image, staging)
    floor, copy = os.path.join(work, "floor_image"), os.path.join(work, "copy.img")
    subprocess.run(["cc", "-O2", "-static", "-Wall", "-Wextra", "-Werror", "-o", floor,
                    os.path.join(ROOT, "bench", "floor_image.c")], check=True)
    commands = {"sc": [args.linux, "-i", copy, "/"], "dry": [args.linux, "-n", "-i", image, "/"],
                "floor": [floor, image], "mdir": ["mdir", "-/", "-a", "-i", image, "::/"]}

    def run(job):
        if job == "sc":
            subprocess.run(["cp", "--sparse=always", image, copy], check=True)
        seconds, status, out = timed(commands[job], uml.MTOOLS_ENV, work)
        if status or (job == "floor" and out.strip() != str(entries)):
            sys.exit("%s on the FAT32 image: status %d, %r" % (job, status, out[-300:]))
        return seconds

    rounds = timed_rounds([(j,) for j in commands], run, args.rounds * 3, "image: ")
    had, left = (sum(e.pair() for e in uml.mdir(i).values()) for i in (image, copy))
    if had != pairs or left or len(uml.mdir(copy)) != entries:
        sys.exit("-i on the FAT32 image: %d of %d pairs left" % (left, had))
    io = {}  # each program's reads and writes of the image: [calls, bytes]
    for job in ("sc", "dry", "floor"):
        subprocess.run(["cp", "--sparse=always", image, copy], check=True)
        trace = os.path.join(work, job + ".trace")
        subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=pread64,pwrite64"] +
                       commands[job], check=True, stdout=subprocess.DEVNULL)
        for call, done in re.findall(r"(pread64|pwrite64)\(.*= (\d+)$", open(trace).read(), re.M):
            io.setdefault((job, call), [0, 0])
            io[job, call][0] += 1
            io[job, call][1] += int(done)
    median, spread = medians([{j: r[(j,)] for j in commands} for r in rounds])
    ratios = [{"floor": r[("sc",)] / r[("floor",)], "mdir": r[("sc",)] / r[("mdir",)],
               "dry": r[("dry",)] / r[("floor",)]} for r in rounds]
    return dict(median=median, spread=spread, ratio=medians(ratios), entries=entries,
                pairs=pairs, rounds=len(rounds), io=io)


# --- Host ----------------------------------------------------------------------------------

def key_values(text):
    return {k: int(v) for k, v in (line.split() for line in text.splitlines() if line.strip())}


def product_instructions(out_file):
    """Instructions executed in the product's own functions (files under driver/, cmdline/,
    rename/), exclusive of everything they call."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no",
                           "--threshold=100", out_file],
                          check=True, capture_output=True, text=True).stdout
    total, functions = 0, {}
    pattern = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(\S+?):(.*?)(?: \[.*\])?$")
    for line in text.splitlines():
        m = pattern.match(line)
        if not m:
            continue
        # callgrind_annotate shows paths below the common source root relative to it.
        path = os.path.realpath(os.path.join(ROOT, m.group(2)))
        if any(path.startswith(os.path.join(ROOT, d) + os.sep) for d in PRODUCT_DIRS):
            count = int(m.group(1).replace(",", ""))
            total += count
            name = m.group(3).split("(")[0]
            functions[name] = functions.get(name, 0) + count
    return total, functions


def host_benchmarks(args):
    host = os.path.abspath(args.host)
    figures = {}
    for mode in ("heap", "stack"):
        log("host: %s" % mode)
        figures.update(key_values(subprocess.run([host, mode], check=True, capture_output=True,
                                                 text=True).stdout))
    calls = {}
    for mode in ("walk", "empty"):
        log("host: callgrind %s" % mode)
        out_file = os.path.join(args.build, "callgrind.%s.out" % mode)
        done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file,
                               host, mode], check=True, capture_output=True, text=True)
        calls[mode] = product_instructions(out_file)
        if mode == "walk":
            figures.update(key_values(done.stdout))
    figures["ir_walk"], figures["functions"] = calls["walk"]
    figures["ir_empty"] = calls["empty"][0]

    # The product can only reach the heap through symbols it leaves undefined.
    objects = [o for o in glob.glob(os.path.join(os.path.dirname(host), "**", "*.o"),
                                    recursive=True)
               if any(os.sep + d + os.sep in o for d in PRODUCT_DIRS)]
    undefined = set()
    for o in objects:
        out = subprocess.run(["nm", "-u", "-C", o], check=True, capture_output=True,
                             text=True).stdout
        undefined.update(line.split()[-1] for line in out.splitlines() if line.strip())
    heap = sorted(s for s in undefined
                  if re.search(r"malloc|calloc|realloc|^free$|operator new|operator delete", s))
    figures["objects"] = len(objects)
    figures["undefined"] = sorted(undefined)
    figures["heap_symbols"] = heap
    return figures


# --- Table ---------------------------------------------------------------------------------

def us(seconds):
    return "%.2f µs" % (seconds * 1e6)


def n(value):
    return "{:,}".format(value)


def table(args, wine, volume, host, linux=None, image=None):
    lines = ["| Measure | Figure | Target |", "|---|---:|---|"]
    if image:
        m, (r, rs) = image["median"], image["ratio"]
        ms = lambda seconds: "%.2f ms" % (seconds * 1e3)
        lines += [
            "| -i on a FAT32 image of %s entries, %s pairs: shortcase, renaming | %s | |"
            % (n(image["entries"]), n(image["pairs"]), ms(m["sc"])),
            "| -i: floor, reading each directory cluster once | %s | |" % ms(m["floor"]),
            "| -i: shortcase over floor (min … max of rounds) | %.2f× (%.2f× … %.2f×) | ≤ 1.1× |"
            % (r["floor"], rs["floor"][0], rs["floor"][1]),
            "| -i -n: shortcase over floor (min … max of rounds) | %.2f× (%.2f× … %.2f×) | |"
            % (r["dry"], rs["dry"][0], rs["dry"][1]),
            "| -i: mtools' `mdir -/ -a` on the same image | %s | |" % ms(m["mdir"]),
            "| -i: shortcase over mdir (min … max of rounds) | %.2f× (%.2f× … %.2f×) | < 1× |"
            % (r["mdir"], rs["mdir"][0], rs["mdir"][1]),
        ] + ["| -i: %s of the image, %s | %s calls, %s bytes | |"
             % ({"pread64": "reads", "pwrite64": "writes"}[call], who, n(image["io"][job, call][0]), n(image["io"][job, call][1]))
             for job, who in (("sc", "shortcase renaming"), ("dry", "shortcase -n"),
                              ("floor", "floor")) for call in ("pread64", "pwrite64")
             if (job, call) in image["io"]]
    if wine:
        m, s = wine["median"], wine["spread"]
        overhead = lambda r: "%+.1f %%" % ((r - 1) * 100)
        images = [("", "x86-64 build")] + ([("32", "shipped i686 image")] if "sc32_wide" in m else [])
        trees = (("wide", "%s entries" % n(wine["n_wide"])),
                 ("deep", "%s one-letter levels" % n(wine["n_deep"])))
        for key, image in images:
            for tree, size in trees:
                k = "%s_%s" % (key, tree)
                low, high = s["ratio" + k]
                lines += [
                    "| Wine, %s, %s tree (%s): shortcase per entry | %s | |"
                    % (image, tree, size, us(m["sc" + k])),
                    "| Wine, %s, %s tree: floor per entry | %s | |" % (image, tree, us(m["fl" + k])),
                    "| Wine, %s, %s tree: shortcase over floor (min … max of rounds) | %s (%s … %s) "
                    "| ≤ +5 %% |" % (image, tree, overhead(m["ratio" + k]), overhead(low),
                                     overhead(high)),
                ]
        lines += [
            "| Wine, x86-64 build, cmd `for /r` loop per entry (small tree, %s entries) | %s | |"
            % (n(wine["n_small"]), us(m["cmd_small"])),
            "| Wine, x86-64 build, cmd loop per entry over shortcase per entry (min … max) | %.0f× (%.0f× … %.0f×) | ≥ 100× |"
            % (m["cmd_vs_sc"], s["cmd_vs_sc"][0], s["cmd_vs_sc"][1]),
        ]
    if volume:
        m, s = volume["median"], volume["spread"]
        size = "%s entries, %s pairs" % (n(volume["entries"]), n(volume["pairs"]))
        images = [("shortcase", "x86-64 build")] + (
            [("shipped", "shipped i686 image")] if "shipped_pairs" in m else [])
        for key, image in images:
            lines += [
                "| Wine on the volume, %s, tree of %s: shortcase per entry, renaming | %s | |"
                % (image, size, us(m[key + "_pairs"])),
                "| Wine on the volume, %s: per entry only examined (no pairs) | %s | |"
                % (image, us(m[key + "_examined"])),
                "| Wine on the volume, %s: per rename, beyond examining the entry | %s | |"
                % (image, us(m[key + "_rename"])),
            ]
        lines += [
            "| Wine on the volume, x86-64 build, cmd `dir /x` loop per entry, renaming | %s | |"
            % us(m["cmd_pairs"]),
            "| Wine on the volume, cmd loop per entry over shortcase per entry (min … max) "
            "| %.0f× (%.0f× … %.0f×) | |" % (m["cmd_vs_sc"], s["cmd_vs_sc"][0], s["cmd_vs_sc"][1]),
        ]
    if linux:
        m, s = linux["figures"], linux["spread"]
        lines += [
            "| User-mode Linux, FAT driver, x86-64 Linux binary, tree of %s entries without pairs: "
            "shortcase per entry | %s | |" % (n(linux["entries"]), us(m["sc_entry"])),
            "| User-mode Linux, FAT driver: floor per entry (listing with the ioctl) | %s | |"
            % us(m["fl_entry"]),
            "| User-mode Linux, FAT driver: shortcase over floor | %+.1f %% | |"
            % (100 * (m["ratio"] - 1)),
            "| User-mode Linux, FAT driver: per rename (%s pairs), beyond examining the entry "
            "| %s | |" % (n(linux["pairs"]), us(m["rename"])),
            "| User-mode Linux, FAT driver: shortcase on the tree, fastest … slowest round "
            "| %.2f … %.2f s | |" % s["sc", "plain"],
        ]
    if host:
        h = host
        lines += [
            "| Host: LocalAlloc calls, run over %s entries (%s renamed) | %d | exactly 1 |"
            % (n(h["heap_entries"]), n(h["heap_renames"]), h["localalloc_tree"]),
            "| Host: LocalAlloc calls, run over an empty directory | %d | exactly 1 |"
            % h["localalloc_empty"],
            "| Host: heap functions referenced by the product's objects | %s | none |"
            % (", ".join(h["heap_symbols"]) or "none"),
            "| Host: product stack, depth 10 / 1,000 / 16,000 | %s / %s / %s bytes | |"
            % (n(h["product_stack_10"]), n(h["product_stack_1000"]), n(h["product_stack_16000"])),
            "| Host: product stack per level (16,000 against 10 levels) | %.1f bytes | ~0 |"
            % ((h["product_stack_16000"] - h["product_stack_10"]) / (16000 - 10)),
            "| Host: whole thread's stack high-water mark, depth 10 / 1,000 / 16,000 | %s / %s / %s bytes | |"
            % (n(h["stack_10"]), n(h["stack_1000"]), n(h["stack_16000"])),
            "| Host: product instructions per entry (%s entries) | %.1f | |"
            % (n(h["entries"]), (h["ir_walk"] - h["ir_empty"]) / h["entries"]),
        ]
    for label, path in (("unsigned", "build/win/shortcase.exe"), ("signed", "dist/shortcase.exe")):
        full = os.path.join(ROOT, path)
        size = os.stat(full).st_size if os.path.exists(full) else None
        lines.append("| Image size, %s `%s` | %s | %s |"
                     % (label, path, n(size) + " bytes" if size is not None else "not built",
                        "< 16,384 bytes" if label == "unsigned" else ""))
    return "\n".join(lines)


def notes(args, wine, volume, host, linux=None, image=None):
    out = []
    if image:
        out.append(
            "Image figures: `dist/shortcase -i IMAGE /` on a 300 MiB FAT32 image (4 KiB clusters) "
            "that mcopy filled with %d directories of %d files, every tenth a pair («Pair0000.txt» "
            "beside «PAIR0000.TXT»), the others 8.3 names and long names; a fresh copy for each "
            "renaming run, and after the runs mdir must find no pair left in it. The floor, "
            "`bench/floor_image.c` (static), reads every directory cluster once, and the FAT sectors that chain them "
            "and counts the entries; mdir is mtools' `mdir -/ -a -i IMAGE ::/`. Image, copies "
            "and programs in a tmpfs (`/dev/shm`), so a flush costs no disk. Whole-process wall "
            "time, %d rounds after a warm-up one, programs in a rotating order, medians; ratios "
            "taken within each round." % (IMAGE_TREE[0], IMAGE_TREE[1], image["rounds"]))
    if wine:
        out.append(
            "Wine figures: Wine 8; the x86-64 build `build/win64/shortcase.exe` of the same "
            "sources started by `%s`, and %s. Per-entry cost = (time on the tree − time on an empty "
            "directory named as often) / entries, each from whole-process wall time; %d rounds, "
            "programs interleaved in a rotating order, medians; ratios are taken within each "
            "round, then the median. Wide tree: %d × %d directories of %d files, half 8.3 "
            "names (no short name under Wine), half long names (Wine makes a short name, so "
            "shortcase compares the two). Deep tree: %d nested directories named `a`; Wine's "
            "server resolves each directory open component by component, so the per-entry "
            "cost there grows with the depth for both programs, and 2,000 levels would take "
            "minutes a run (`--deep-levels 2000` does it). Floor: `bench/floor.cpp`, only FindFirstFileW/"
            "FindNextFileW over the same trees. cmd loop: `bench/caseloop.cmd` under Wine's "
            "64-bit cmd.exe, timed on the small tree (%d × %d × %d) and set against shortcase's "
            "per-entry cost on the wide tree. Under Wine no name differs from its short name "
            "only in case, so neither shortcase nor the loop renames anything; Wine 8's cmd "
            "also expands `%%~snxI` to the long name."
            % (WINE64, "the shipped `dist/shortcase.exe` (i686) started by `%s` against an i686 "
               "build of the floor, since this machine runs 32-bit code natively" % WINE32
               if wine["i686"] else "not the shipped i686 image: this machine runs 32-bit code "
               "only under emulation, at minutes a start", wine["rounds"], WIDE[0], WIDE[1],
               WIDE[2], wine["levels"], SMALL[0], SMALL[1],
               SMALL[2]))
    if volume:
        out.append(
            "Volume figures: `tests/e2e/vfatfs.c` mounted afresh for every run, so that each "
            "run finds the pairs unrenamed; %d × %d files, every other one a case-only pair "
            "(«f000.txt» beside «F000.TXT») in the pairs tree, and in the plain tree the same "
            "names with short names that differ in more than case. Every run is checked: the "
            "volume must have renamed every pair, or nothing on the plain and empty trees. "
            "Per entry = (time on the tree − time on an empty directory) / entries; per rename "
            "= (pairs − plain) / pairs. The cmd loop is `bench/dirxloop.cmd`: Wine's cmd "
            "expands `%%~snxI` to the long name, so `caseloop.cmd` renames nothing even here, "
            "and this loop reads the short names from `dir /x` instead. %d rounds, medians."
            % (VOLUME[0], VOLUME[1], volume["rounds"]))
    if linux:
        out.append(
            "User-mode Linux figures: Debian's `linux.uml` (Linux 6.1, its own `vfat` module) "
            "booted once, an image that `mkfs.fat` made and mcopy filled mounted "
            "`shortname=mixed,utf8=1`; `dist/shortcase` against `bench/floor_linux.c`, which "
            "lists the same tree as the Linux layer does (`VFAT_IOCTL_READDIR_BOTH`, `fstatat`) "
            "and does nothing else. %d × %d files with 8.3 names only (mcopy's «f0000.txt»); "
            "per entry = (time on the tree − time on an empty directory) / entries, "
            "whole-process wall time inside the guest, where every system call costs what user-mode Linux makes it cost. Per "
            "rename = (time on a copy of the tree whose every other file is a pair (mcopy's "
            "«F0000.txt» beside «F0000.TXT») − time on the tree without pairs) / pairs; each "
            "round renames its own copy, and after the power-off mdir must find no pair left. "
            "%d rounds after a warm-up one, programs in a rotating order; each run is taken at "
            "its fastest over the rounds, since the guest's clock goes on while the host runs "
            "other work, which only ever adds time (the last row shows how much)."
            % (UML_TREE[0], UML_TREE[1], linux["rounds"]))
    if host:
        fn = ", ".join("%s %s" % (k, n(v)) for k, v in sorted(host["functions"].items(),
                                                              key=lambda kv: -kv[1]))
        out.append(
            "Host figures: the product sources and `tests/sim` built at -O2 without sanitizers "
            "(`bench/host.cpp`). LocalAlloc is counted by the simulated layer; heap symbols are "
            "looked for with `nm -u` in the product's %d object files. Product stack = the lowest "
            "frame at any call the product makes into the platform layer, measured from the "
            "frame that started the run; the high-water mark is that of the whole thread "
            "(pattern-filled stack), simulated layer included. Instructions: callgrind, "
            "exclusive counts of functions in driver/, cmdline/ and rename/ only, "
            "(run on tree − run on empty directory) / entries; in the tree run: %s. "
            "lstrcmpiW was called %s times, %s of them on names of different lengths."
            % (host["objects"], fn, n(host["lstrcmpiw_calls"]), n(host["lstrcmpiw_unequal_length"])))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--exe", default=os.path.join(ROOT, "build", "win64", "shortcase.exe"))
    parser.add_argument("--floor", default=os.path.join(ROOT, "build", "bench", "floor.exe"))
    parser.add_argument("--exe32", default=os.path.join(ROOT, "dist", "shortcase.exe"))
    parser.add_argument("--floor32", default=os.path.join(ROOT, "build", "bench", "floor32.exe"))
    parser.add_argument("--host", default=os.path.join(ROOT, "build", "bench", "host", "bench",
                                                       "shortcase_bench"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--deep-levels", type=int, default=DEEP_LEVELS,
                        help="depth of the deep tree, at most what a 4,096-byte Unix path holds")
    parser.add_argument("--vfatfs", default=os.path.join(ROOT, "build", "bench", "host", "tests",
                                                         "e2e", "vfatfs"))
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--no-volume", action="store_true")
    parser.add_argument("--no-host", action="store_true")
    parser.add_argument("--no-uml", action="store_true")
    parser.add_argument("--no-image", action="store_true")
    parser.add_argument("--linux", default=os.path.join(ROOT, "dist", "shortcase"),
                        help="the x86-64 Linux binary, timed under user-mode Linux")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.i686 = native_i386()
    os.makedirs(args.build, exist_ok=True)

    wine = volume = host = None
    if not args.no_wine or not args.no_volume:
        env = wine_environment(os.path.join(args.build, "pfx"))
        prepare_prefix(env["WINEPREFIX"], env)
    if not args.no_wine:
        wine = wine_benchmarks(args, env)
    if not args.no_volume:
        if os.path.exists("/dev/fuse") and os.geteuid() == 0:
            volume = volume_benchmarks(args, env)
        else:
            log("no volume figures: mounting it needs /dev/fuse and root")
    if not args.no_host:
        host = host_benchmarks(args)
    linux = None if args.no_uml else uml_benchmarks(args)
    image = None if args.no_image else image_benchmarks(args)

    print(table(args, wine, volume, host, linux, image))
    print()
    for note in notes(args, wine, volume, host, linux, image):
        print(note)
        print()
    if wine:
        print("Raw medians (s): " + ", ".join(
            "%s %.3f" % (k[4:], v) for k, v in sorted(wine["median"].items()) if k.startswith("raw ")))
        print()
    print("Reproduce: `make bench` (`python3 bench/run.py --rounds N` after it for more rounds).")


if __name__ == "__main__":
    main()
