#!/usr/bin/env python3
"""The deep scan and the recovery against the speed of a plain read, and against PhotoRec.

    bench/speed.py WORK REXMOOR [--mib N] [--sparse-gib N] [--jobs-max N] [--no-photorec] [--target DIR]

WORK holds medium.img, truth.tsv and corpus/ as bench/carve_accuracy.sh --medium-only leaves
them (bench/speed.sh makes them). The medium is laid end to end until it is --mib MiB long; the
ground truth follows each copy. Everything below runs in one go on the page-cached result and is
printed side by side; nothing is judged, and the exit status is 0 whenever the measurement ran.

  - `cat` of the image (best of three);
  - `rexmoor scan --deep` with 1, 2, ... --jobs-max threads (best of three, like cat);
  - `rexmoor recover` (deep scan and writing every find) without and with --hash, taking turns
    for three rounds, the best of each, and the byte-exact count of what it wrote;
  - PhotoRec 7.1 with its default options (`photorec /d DIR /cmd IMAGE search`), its wall time
    and byte-exact count;
  - peak resident set of every run;
  - the recovered files go to --target (default a folder in /dev/shm): with the medium in the page
    cache and the target in memory, nothing but the program's own work is measured, the hardest
    case for hashing to hide in;
  - the same scan on a sparse, mostly zero image of --sparse-gib GiB with a few files in it (best of
    three, and its cat too).
"""
import argparse
import os
import random
import resource
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import carve_accuracy as ca  # noqa: E402

SECTOR = ca.SECTOR


def run(argv, cwd=None, stdout=subprocess.DEVNULL):
    """Wall seconds, peak RSS (MiB) and exit status of one child."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - start, usage.ru_maxrss / 1024.0, proc.returncode


def cat_seconds(image):
    return min(run(["sh", "-c", 'cat "$0" >/dev/null', image])[0] for _ in range(3))


def best_of_three(argv, data):
    """A scan measured as cat is: the best wall time of three runs (each with a fresh data folder),
    the largest peak resident set, the first failing status."""
    seconds, rss, status = 1e9, 0.0, 0
    for _ in range(3):
        shutil.rmtree(data, ignore_errors=True)
        t, r, st = run(argv)
        seconds, rss, status = min(seconds, t), max(rss, r), status or st
    return seconds, rss, status


def tile(work, mib):
    """medium.img laid end to end up to mib MiB (at least once); the truth of every copy."""
    medium = os.path.join(work, "medium.img")
    rows = ca.read_truth(os.path.join(work, "truth.tsv"))
    size = os.path.getsize(medium)
    if size % SECTOR:
        sys.exit("speed: %s is not a whole number of sectors" % medium)
    copies = max(1, -(-(mib << 20) // size))
    big = os.path.join(work, "speed.img")
    if not os.path.exists(big) or os.path.getsize(big) != copies * size:
        with open(big, "wb") as out:
            for _ in range(copies):
                with open(medium, "rb") as f:
                    shutil.copyfileobj(f, out, 8 << 20)
    truth = []
    for c in range(copies):
        for r in rows:
            truth.append(dict(r, start_sector=r["start_sector"] + c * (size // SECTOR)))
    return big, truth


def byte_exact(truth, folder, pattern):
    found = ca.finds(folder, pattern)
    return sum(1 for r in truth if ca.judge(r, found.get(r["start_sector"], []))[0])


def photorec_exact(truth, folder):
    found = ca.finds(folder, r"^f(\d+)")
    return sum(1 for r in truth
               if any(ca.sha256_file(p) == r["sha256"] for p, _ in found.get(r["start_sector"], [])))


def sparse_image(work, gib, corpus, seed=20261210):
    """A sparse image of gib GiB with the corpus's first files written at random sectors."""
    path = os.path.join(work, "sparse.img")
    rng = random.Random(seed)
    names = sorted(os.listdir(corpus))[:200]
    if os.path.exists(path):
        os.unlink(path)
    with open(path, "wb") as out:
        out.truncate(gib << 30)
        for name in names:
            with open(os.path.join(corpus, name), "rb") as f:
                data = f.read()
            out.seek(rng.randrange(0, ((gib << 30) - len(data)) // SECTOR - 1) * SECTOR)
            out.write(data)
    return path, len(names)


def has_option(rexmoor, command, option):
    text = subprocess.run([rexmoor, command, "--help"], capture_output=True, text=True).stdout
    return option in text


def line(label, seconds, mib, rss=None, extra=""):
    speed = "%8.1f MiB/s" % (mib / seconds) if seconds > 0 else " " * 13
    print("%-34s %s  %7.2f s%s%s" % (label, speed, seconds,
                                     "  peak RSS %6.1f MiB" % rss if rss is not None else "", extra))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("work")
    ap.add_argument("rexmoor")
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--sparse-gib", type=int, default=16)
    ap.add_argument("--jobs-max", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--no-photorec", action="store_true")
    ap.add_argument("--target", default="/dev/shm/rexmoor_speed_out" if os.path.isdir("/dev/shm") else "")
    a = ap.parse_args()
    work, rexmoor = os.path.abspath(a.work), os.path.abspath(a.rexmoor)
    data = os.path.join(work, "speed_data")
    out = os.path.abspath(a.target) if a.target else os.path.join(work, "speed_out")

    image, truth = tile(work, a.mib)
    mib = os.path.getsize(image) / 2**20
    print("medium: %.0f MiB, %d files in it (%s)" % (mib, len(truth), image))
    run(["sh", "-c", 'cat "$0" >/dev/null', image])  # into the page cache
    cat = cat_seconds(image)
    line("cat to /dev/null", cat, mib)

    jobs = has_option(rexmoor, "scan", "--jobs")
    scan_times = {}
    for n in range(1, a.jobs_max + 1) if jobs else [0]:
        argv = [rexmoor, "scan", image, "--deep", "--format", "json", "--data-dir", data, "--resume", "no"]
        if n:
            argv += ["--jobs", str(n)]
        seconds, rss, status = best_of_three(argv, data)
        scan_times[n] = seconds
        line("deep scan" + (" --jobs %d" % n if n else ""), seconds, mib, rss,
             "  %.2f x cat%s" % (cat / seconds, "" if status == 0 else "  [exit %d]" % status))
    if not jobs:
        print("  (this build has no --jobs: one thread)")

    # The three recoveries take turns, three rounds, and each keeps its best: writing many files is
    # noisy, and a machine that speeds up or slows down part-way then weighs on all three alike.
    kinds = (("deep scan + recover", []), ("  with --hash sha256", ["--hash", "sha256"]),
             ("  with --hash sha256,md5", ["--hash", "sha256,md5"]))
    best = {label: (1e9, 0.0, 0) for label, _ in kinds}
    exact = 0
    for round_ in range(3):
        for label, extra in kinds:
            shutil.rmtree(data, ignore_errors=True)
            shutil.rmtree(out, ignore_errors=True)
            t, r, st = run([rexmoor, "recover", image, "--to", out, "--data-dir", data, "--resume", "no",
                            "--format", "json"] + extra)
            seconds, rss, status = best[label]
            best[label] = (min(seconds, t), max(rss, r), status or st)
            if not extra and round_ == 0:
                exact = byte_exact(truth, out, r"^(\d+)\.[A-Za-z0-9]+$")
    recover = {"exact": exact}
    for label, extra in kinds:
        seconds, rss, status = best[label]
        recover[label] = seconds
        if not extra:
            note = "  %d byte-exact" % exact
        else:
            base = recover["deep scan + recover"]
            note = "  hashing %+.1f %%" % (100.0 * (seconds - base) / base)
        line(label, seconds, mib, rss, note + ("" if status == 0 else "  [exit %d]" % status))
    shutil.rmtree(out, ignore_errors=True)

    if not a.no_photorec and shutil.which("photorec"):
        pr = os.path.join(work, "speed_photorec")
        shutil.rmtree(pr, ignore_errors=True)
        os.makedirs(pr)
        seconds, rss, status = run(["photorec", "/d", os.path.join(pr, "f"), "/cmd", image, "search"], cwd=pr)
        exact = photorec_exact(truth, pr)
        line("PhotoRec (its defaults)", seconds, mib, rss, "  %d byte-exact%s" % (
            exact, "" if status == 0 else "  [exit %d]" % status))
        print("%-34s %.2f x faster, %d vs %d byte-exact" % (
            "rexmoor deep scan + recover:", seconds / recover["deep scan + recover"], recover["exact"], exact))
        shutil.rmtree(pr, ignore_errors=True)
    else:
        print("PhotoRec: not run")

    if a.sparse_gib > 0:
        sparse, placed = sparse_image(work, a.sparse_gib, os.path.join(work, "corpus"))
        smib = a.sparse_gib * 1024.0
        print("sparse medium: %d GiB, %d files in it" % (a.sparse_gib, placed))
        scat = cat_seconds(sparse)
        line("cat to /dev/null", scat, smib)
        argv = [rexmoor, "scan", sparse, "--deep", "--format", "json", "--data-dir", data, "--resume", "no"]
        if jobs:
            argv += ["--jobs", str(a.jobs_max)]
        seconds, rss, status = best_of_three(argv, data)
        line("deep scan", seconds, smib, rss, "  %.2f x cat%s" % (scat / seconds, "" if status == 0 else
                                                                   "  [exit %d]" % status))
        os.unlink(sparse)
    shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    main()
