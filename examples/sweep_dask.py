"""Regression sweep of the FIR and FFT models over many configurations and stimuli, on a
dask.distributed cluster: a local one by default, or any scheduler given on the command line.

    build/python/kip_python examples/sweep_dask.py                    # local cluster, 2 workers
    build/python/kip_python examples/sweep_dask.py tcp://host:8786    # an existing scheduler
    build/python/kip_python examples/sweep_dask.py --serial           # no Dask at all
    build/python/kip_python examples/sweep_dask.py --check            # Dask == serial? Times both

A case is one (configuration, stimulus) pair: the model built from the configuration (a dict of
fields or generics) runs the stimulus, and the case returns a digest of the output bits
(SHA-256) with a few figures. Models are never pickled: they hold native state and are cheap to
build.

Work is shipped in batches, because shipping a task costs a few milliseconds and a model run
of a short stimulus far less: each Dask task runs a batch of cases (--batch, by default enough
for four batches per worker), and each case's stimulus is long (--length samples, 65,536 by
default) and generated on the worker from a seed, so a task carries a few configurations and
seeds, not megabytes of samples. With the defaults, two local workers beat the serial run once
the cluster is up (the start of a local cluster, about two seconds, is timed separately).
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


def make_cases(n_stimuli=4, max_configs=None, seed=1):
    """(case id, model kind, configuration, stimulus seed) for every configuration and
    stimulus."""
    configs = [("fir", c) for c in fir_configs()] + [("fft", c) for c in fft_configs()]
    if max_configs is not None:
        configs = configs[::max(1, len(configs) // max_configs)][:max_configs]
    return [(i, kind, cfg, seed * 100003 + i)
            for i, ((kind, cfg), _) in enumerate(itertools.product(configs, range(n_stimuli)))]


def stimulus(kind, cfg, stim_seed, length):
    """The case's stimulus, on the 16-bit grid: length real samples for the FIR, complex frames
    of 2^C_NFFT_MAX samples (length samples in all, at least one frame) for the FFT."""
    rng = np.random.default_rng(stim_seed)
    if kind == "fir":
        return np.round(rng.uniform(-0.9, 0.9, length) * 2**15) / 2**15
    n = 2 ** cfg["C_NFFT_MAX"]
    shape = (max(1, length // n), n)
    return np.round(rng.uniform(-0.45, 0.45, shape) * 2**15) / 2**15 + 1j * np.round(
        rng.uniform(-0.45, 0.45, shape) * 2**15) / 2**15


def run_case(case, length):
    """Builds the case's model, runs its stimulus and returns (case id, digest, figures)."""
    from kip_models import FftModel, FirModel

    case_id, kind, cfg, stim_seed = case
    x = stimulus(kind, cfg, stim_seed, length)
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
    return case_id, digest, figures


def run_batch(cases, length):
    """One Dask task: every case of the batch, in order."""
    return [run_case(c, length) for c in cases]


def run_serial(cases, length):
    return run_batch(cases, length)


def batches(cases, size):
    """The cases in batches of size, mixing FIR and FFT cases so that batches cost alike."""
    order = cases[::2] + cases[1::2]
    return [order[i:i + size] for i in range(0, len(order), size)]


def run_dask(client, cases, length, size):
    """Runs every case on the cluster in batches; results in case order."""
    futures = client.map(run_batch, batches(cases, size), length=length, pure=False)
    return sorted(r for batch in client.gather(futures) for r in batch)


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
    p.add_argument("--length", type=int, default=65536, help="samples per stimulus (65536)")
    p.add_argument("--batch", type=int, default=None,
                   help="cases per Dask task (default: four tasks per worker)")
    p.add_argument("--serial", action="store_true", help="run in this process, without Dask")
    p.add_argument("--check", action="store_true", help="also run serially, compare and time")
    args = p.parse_args(argv)

    cases = make_cases(args.stimuli, args.configs)
    if args.serial:
        start = time.perf_counter()
        results = run_serial(cases, args.length)
        took = time.perf_counter() - start
        print(f"{len(results)} cases serially in {took:.2f} s, digest {summary(results)}")
        return 0

    from dask.distributed import Client, LocalCluster

    start = time.perf_counter()
    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=":0")
        client = Client(cluster)
    with client:
        workers = max(1, len(client.scheduler_info()["workers"]))
        size = args.batch or max(1, -(-len(cases) // (4 * workers)))
        started = time.perf_counter()
        results = run_dask(client, cases, args.length, size)
        took = time.perf_counter() - started
    if cluster is not None:
        cluster.close()
    print(f"{len(results)} cases in {-(-len(cases) // size)} tasks on {workers} workers in "
          f"{took:.2f} s (cluster start {started - start:.2f} s), digest {summary(results)}")
    if args.check:
        start = time.perf_counter()
        serial = run_serial(cases, args.length)
        serial_took = time.perf_counter() - start
        print(f"serially in {serial_took:.2f} s: {serial_took / took:.2f} times the cluster's time")
        if serial != results:
            bad = [r[0] for r, s in zip(results, serial) if r != s]
            print(f"MISMATCH with the serial run: cases {bad[:10]}", file=sys.stderr)
            return 1
        print("identical to the serial run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
