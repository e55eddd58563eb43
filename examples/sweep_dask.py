"""Regression sweep of the FIR and FFT models over many configurations and stimuli, on a
dask.distributed cluster: a local one by default, or any scheduler given on the command line.

    build/python/kip_python examples/sweep_dask.py                    # local cluster
    build/python/kip_python examples/sweep_dask.py tcp://host:8786    # an existing scheduler
    build/python/kip_python examples/sweep_dask.py --serial           # no Dask at all
    build/python/kip_python examples/sweep_dask.py --workers 2 --check   # Dask == serial?

Every task is one (configuration, stimulus) pair. The configuration (a dict of fields or
generics) and the stimulus (a numpy array) are pickled and shipped to a worker; the task builds
its own model there, runs it and returns a digest of the output bits (SHA-256) with a few
figures. Models themselves are never pickled: they hold native state and are cheap to build.
The workers need kip_models importable (PYTHONPATH, or the package installed on every host).
"""

import argparse
import hashlib
import itertools
import sys
import time

import numpy as np


def fir_configs():
    """FIR configurations: filter types, rates, formats and roundings."""
    taps = np.array([-0.0105, 0.0, 0.0455, 0.1246, 0.2011, 0.2786, 0.2011, 0.1246, 0.0455, 0.0,
                     -0.0105])
    base = dict(coeff=taps, coeff_width=16, coeff_fract_width=15, data_width=16,
                data_fract_width=15)
    rates = [dict(filter_type=0), dict(filter_type=1, interp_rate=2),
             dict(filter_type=2, decim_rate=3), dict(filter_type=1, rate_change=1, interp_rate=3,
                                                    decim_rate=2),
             dict(filter_type=2, rate_change=1, interp_rate=2, decim_rate=5)]
    roundings = [dict(output_rounding=0), dict(output_rounding=4, output_width=18),
                 dict(output_rounding=1, output_width=16)]
    return [dict(base, **r, **o) for r, o in itertools.product(rates, roundings)]


def fft_configs():
    """FFT generics: architectures, lengths and scaling modes."""
    out = []
    for arch, nfft, mode in itertools.product((1, 2, 3, 4), (6, 7, 8), ("sched", "bfp", "none")):
        out.append(dict(C_ARCH=arch, C_NFFT_MAX=nfft, C_HAS_SCALING=int(mode != "none"),
                        C_HAS_BFP=int(mode == "bfp"), C_HAS_ROUNDING=nfft % 2))
    return out


def make_tasks(n_stimuli=4, max_configs=None, seed=1):
    """(task id, model kind, configuration, stimulus) for every configuration and stimulus."""
    rng = np.random.default_rng(seed)
    configs = [("fir", c) for c in fir_configs()] + [("fft", c) for c in fft_configs()]
    if max_configs is not None:
        configs = configs[::max(1, len(configs) // max_configs)][:max_configs]
    tasks = []
    for (kind, cfg), s in itertools.product(configs, range(n_stimuli)):
        if kind == "fir":
            x = np.round(rng.uniform(-0.9, 0.9, 512) * 2**15) / 2**15
        else:
            n = 2 ** cfg["C_NFFT_MAX"]
            x = np.round(rng.uniform(-0.45, 0.45, (4, n)) * 2**15) / 2**15 + 1j * np.round(
                rng.uniform(-0.45, 0.45, (4, n)) * 2**15) / 2**15
        tasks.append((len(tasks), kind, cfg, x))
    return tasks


def run_task(task):
    """Builds the task's model, runs its stimulus and returns (task id, digest, figures)."""
    from kip_models import FftModel, FirModel

    task_id, kind, cfg, x = task
    if kind == "fir":
        with FirModel(**cfg) as m:
            y = m.run(x)
        figures = (len(y), float(np.max(np.abs(y))))
    else:
        with FftModel(**cfg) as m:
            r = m.transform_batch(x)
        y = np.concatenate([r.xk.view(np.float64).ravel(), r.blk_exp, r.overflow])
        figures = (int(r.blk_exp.max()), int(r.overflow.sum()))
    digest = hashlib.sha256(np.ascontiguousarray(y).tobytes()).hexdigest()
    return task_id, digest, figures


def run_serial(tasks):
    return [run_task(t) for t in tasks]


def run_dask(client, tasks):
    """Runs every task on the cluster; results in task order."""
    futures = client.map(run_task, tasks, pure=False)
    return sorted(client.gather(futures))


def summary(results):
    """One digest over every task's digest, in task order."""
    h = hashlib.sha256()
    for _task_id, digest, _figures in results:
        h.update(digest.encode())
    return h.hexdigest()


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("scheduler", nargs="?", help="scheduler address (default: a local cluster)")
    p.add_argument("--workers", type=int, default=2, help="local cluster processes (2)")
    p.add_argument("--stimuli", type=int, default=4, help="stimuli per configuration (4)")
    p.add_argument("--configs", type=int, default=None, help="use at most this many configs")
    p.add_argument("--serial", action="store_true", help="run in this process, without Dask")
    p.add_argument("--check", action="store_true", help="also run serially and compare")
    args = p.parse_args(argv)

    tasks = make_tasks(args.stimuli, args.configs)
    start = time.perf_counter()
    if args.serial:
        results = run_serial(tasks)
    else:
        from dask.distributed import Client, LocalCluster

        if args.scheduler:
            with Client(args.scheduler) as client:
                results = run_dask(client, tasks)
        else:
            with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                results = run_dask(client, tasks)
    took = time.perf_counter() - start
    print(f"{len(results)} tasks in {took:.2f} s, digest {summary(results)}")
    if args.check:
        serial = run_serial(tasks)
        if serial != results:
            bad = [r[0] for r, s in zip(results, serial) if r != s]
            print(f"MISMATCH with the serial run: tasks {bad[:10]}", file=sys.stderr)
            return 1
        print("identical to the serial run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
