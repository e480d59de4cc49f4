"""rastra.dask against `rastra --jobs N` on the photographs of bench/compare.sh,
and what one Dask task costs. On demand (bench/dask.sh); never part of the tests.

    python3 bench/bench_dask.py CLI CORPUS_JPEG_DIR [--reps N] [--workers N]

1. Throughput: JPEG -> fit 1920x1080 -> JPEG q90 over the photographs with
   `rastra --jobs N` and with rastra.dask.convert_many on a LocalCluster of
   N single-threaded worker processes, started beforehand (its start-up is
   reported apart). Runs alternate; medians count.
2. Per-task overhead: 400 one-pixel PNGs, one file per task, on the same
   cluster, against converting them in this process: the difference per task
   is what scheduling, shipping the task and its result costs, in worker time.
Prints Markdown and a projection for larger clusters, with its assumptions.
"""
import argparse
import logging
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import rastra
import rastra.dask
from distributed import Client, LocalCluster


def _resident_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def _peak_mb():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("cli")
    ap.add_argument("corpus")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--workers", type=int, default=2)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="rastra-dask-bench-")
    photos = sorted(f for f in os.listdir(a.corpus) if f.endswith(".jpg"))
    largest_mp = max(rastra.probe(open(os.path.join(a.corpus, f), "rb").read(1 << 20)).width *
                     rastra.probe(open(os.path.join(a.corpus, f), "rb").read(1 << 20)).height for f in photos) / 1e6
    mean_mb = sum(os.path.getsize(os.path.join(a.corpus, f)) for f in photos) / len(photos) / 1e6
    settings = dict(format="jpeg", max_size=(1920, 1080), quality=90)

    t0 = time.perf_counter()
    cluster = LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True, dashboard_address=None,
                           silence_logs=logging.ERROR)
    client = Client(cluster)
    client.wait_for_workers(a.workers)
    start_up = time.perf_counter() - t0
    idle_mb = max(client.run(_resident_mb).values())

    cli_times, dask_times = [], []
    for r in range(a.reps):
        for which in (("cli", "dask") if r % 2 == 0 else ("dask", "cli")):
            out = os.path.join(work, which)
            shutil.rmtree(out, ignore_errors=True)
            t0 = time.perf_counter()
            if which == "cli":
                subprocess.run([a.cli, "--jobs", str(a.workers), "--no-progress", "--format", "jpeg", "--max",
                                "1920x1080", "--quality", "90", a.corpus, out], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                cli_times.append(time.perf_counter() - t0)
            else:
                result = rastra.dask.convert_many(a.corpus, out, client=client, progress=False, **settings)
                assert result["failed"] == 0
                dask_times.append(time.perf_counter() - t0)
    peak_mb = max(client.run(_peak_mb).values())
    cli_rate = len(photos) / statistics.median(cli_times)
    dask_rate = len(photos) / statistics.median(dask_times)

    # Per-task overhead on trivial work.
    tiny = os.path.join(work, "tiny")
    os.makedirs(tiny)
    one = rastra.convert_bytes(open(os.path.join(a.corpus, photos[0]), "rb").read(), format="png", max_size=(1, 1))
    n_tiny = 400
    for i in range(n_tiny):
        with open(os.path.join(tiny, "t%03d.png" % i), "wb") as f:
            f.write(one)
    t0 = time.perf_counter()
    with rastra.Converter(format="png") as c:
        for i in range(n_tiny):
            c.convert_bytes(one)
    in_process = time.perf_counter() - t0
    overheads = []
    for _ in range(3):
        out = os.path.join(work, "tiny-out")
        shutil.rmtree(out, ignore_errors=True)
        t0 = time.perf_counter()
        rastra.dask.convert_many(tiny, out, client=client, files_per_task=1, progress=False, format="png")
        wall = time.perf_counter() - t0
        overheads.append((wall * a.workers - in_process) / n_tiny)
    overhead_ms = statistics.median(overheads) * 1000

    client.close()
    cluster.close()
    shutil.rmtree(work, ignore_errors=True)

    per_worker = dask_rate / a.workers
    files_per_task = rastra.dask._default_files_per_task(10**6, 100)
    print("%d photographs, JPEG -> fit 1920x1080 -> JPEG q90, %d workers, %d repetitions (medians)\n"
          % (len(photos), a.workers, a.reps))
    print("| run | images/s | seconds |\n|---|---|---|")
    print("| rastra --jobs %d | %.2f | %.2f |" % (a.workers, cli_rate, statistics.median(cli_times)))
    print("| rastra.dask.convert_many, LocalCluster of %d | %.2f | %.2f |"
          % (a.workers, dask_rate, statistics.median(dask_times)))
    print("| ratio | %.2fx | |" % (dask_rate / cli_rate))
    print("\nLocalCluster start-up: %.2f s (not in the runs above)." % start_up)
    print("Worker memory: %.0f MB resident when idle, %.0f MB at its peak (the largest photograph is %.1f MP)."
          % (idle_mb, peak_mb, largest_mp))
    print("Per-task overhead: %.1f ms of worker time per task (400 one-pixel PNGs, one file per task)." % overhead_ms)
    print("\nProjection (images/s) for the same photographs:\n")
    print("| workers | images/s | task overhead share |\n|---|---|---|")
    per_image_s = 1 / per_worker
    for w in (10, 100):
        share = overhead_ms / 1000 / (files_per_task * per_image_s + overhead_ms / 1000)
        print("| %d | %.0f | %.1f %% |" % (w, w * per_worker * (1 - share), 100 * share))
    print("\nAssumptions: each worker is one core like these (%.2f photographs/s each), the inputs and outputs"
          " move at least as fast as they are converted (%.1f MB/s in per worker for these photographs),"
          " %d files per task (the default for a million files on 100 workers), and the scheduler keeps up:"
          " one Dask scheduler handles a few thousand tasks per second, and these runs ask for at most"
          " %.0f tasks per second." % (per_worker, per_worker * mean_mb, files_per_task,
                                       100 * per_worker / files_per_task))


if __name__ == "__main__":
    sys.exit(main())
