#!/usr/bin/env python3
"""vesko against the scikit-learn + xgboost pipeline it replaces, side by side.

    python3 bench/compare.py [--quick] [--reps N] [--limit N] [--against DIR]

Both sides compute the final (clean, spam) probabilities of the same e-mails
with the demo models. The library side is the training tool's own road
(tools/sklearn_pipeline.py): str.lower(), TfidfVectorizer.transform with the
training analyzers, the feature scaling, scipy hstack, predict_proba or
decision_function, the meta scaler and classifier. Its hand-made features come
from vesko.extract_features_batch, computed before the clock starts: the
libraries have no extractor, so that step is not charged to them.

Each side runs in its own subprocess per thread setting, so the thread
variables take effect before numpy, scipy or the pool start: one thread
(RAYON_NUM_THREADS=1, xgboost n_jobs=1, OMP/OPENBLAS/MKL threads 1) and all
threads (os.cpu_count() for each). Times are medians over the repetitions,
after one untimed warm-up run; vesko's rows also give the peak RSS of the
process that ran them (the models, the e-mails and every call). Then vesko alone: per-call latency for batches
of 1, 16 and 256 e-mails, and load time and peak RSS of a fresh process for
the demo models and for a copy whose vocabularies are padded to 50,000 terms.

--against DIR adds another build of vesko (a directory holding its
vesko*.so, e.g. an earlier commit built with CMake) to every table: both
builds run in alternating worker processes, so they are timed side by side
under the same machine load, and its speed is given relative to this one's.

--quick (a few hundred e-mails, one repetition, fewer latency batches) is the
CI smoke run. The library objects are cached in build/bench/ (model 4 has to
be fitted again, which takes a while the first time).
"""

import argparse
import gzip
import json
import os
import pickle
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
CORPUS = REPO.parent / "shared" / "corpus" / "public-mail-corpus.jsonl.gz"
MODELS = REPO / "models" / "demo"
CACHE_DIR = REPO / "build" / "bench"
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                    "RAYON_NUM_THREADS")
AGREEMENT_SAMPLE = 200
AGREEMENT_TOLERANCE = 1e-5
PADDED_VOCABULARY = 50_000

sys.path.insert(0, str(REPO / "tools"))


def load_rows(limit=None):
    with gzip.open(CORPUS, "rt", encoding="utf-8") as f:
        rows = [json.loads(line) for line in f]
    return rows[:limit] if limit else rows


def text_bytes(texts):
    return sum(len(t.encode("utf-8")) for t in texts)


def estimators():
    """The library objects, from the cache when its model files are unchanged."""
    import sklearn_pipeline

    stamp = [(p.name, p.stat().st_size, p.stat().st_mtime_ns) for p in sorted(MODELS.iterdir())]
    cache = CACHE_DIR / "sklearn_estimators.pkl"
    if cache.exists():
        with open(cache, "rb") as f:
            cached = pickle.load(f)
        if cached["stamp"] == stamp:
            return cached["estimators"]
    built = sklearn_pipeline.load_estimators(str(MODELS), load_rows())
    CACHE_DIR.mkdir(parents=True, exist_ok=True)
    with open(cache, "wb") as f:
        pickle.dump({"stamp": stamp, "estimators": built}, f)
    return built


def timed(fn, reps):
    fn()  # warm-up: caches, the pool, lazy imports
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


# ---- workers: each runs in its own process, prints one JSON object ----

def worker_vesko(args):
    import vesko

    texts = [r["text"] for r in load_rows(args.limit)]
    ensemble = vesko.RustEnsemble.load(str(MODELS))
    times = timed(lambda: ensemble.predict_proba_batch(texts), args.reps)
    return {"times": times, "peak_rss_kib": peak_rss_kib()}


def worker_sklearn(args):
    import numpy as np
    import sklearn_pipeline
    import vesko

    texts = [r["text"] for r in load_rows(args.limit)]
    built = estimators()
    features = np.asarray(vesko.extract_features_batch(texts), dtype=np.float64)
    times = timed(lambda: sklearn_pipeline.predict_proba(built, texts, features, args.threads),
                  args.reps)
    # Agreement on a sample, so the two sides are known to compute the same thing.
    sample = texts[:AGREEMENT_SAMPLE]
    ours = np.asarray(vesko.RustEnsemble.load(str(MODELS)).predict_proba_batch(sample))
    theirs = sklearn_pipeline.predict_proba(built, sample, features[:len(sample)], args.threads)
    return {"times": times, "max_difference": float(np.max(np.abs(ours - theirs)))}


def worker_latency(args):
    import vesko

    texts = [r["text"] for r in load_rows()]
    ensemble = vesko.RustEnsemble.load(str(MODELS))
    result = {}
    for size, batches in ((1, args.batches), (16, args.batches // 2), (256, args.batches // 20)):
        batches = max(batches, 5)
        calls = []
        for b in range(batches + 1):
            start = (b * size) % (len(texts) - size)
            batch = texts[start:start + size]
            began = time.perf_counter()
            ensemble.predict_proba_batch(batch)
            calls.append(time.perf_counter() - began)
        calls = sorted(calls[1:])  # the first call warms the pool
        result[str(size)] = {"batches": batches, "p50": calls[len(calls) // 2],
                             "p99": calls[min(len(calls) - 1, int(0.99 * len(calls)))]}
    return result


def peak_rss_kib():
    # VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the parent
    # through fork and exec, so a worker would report this script's own peak.
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker_load(args):
    import vesko

    before = peak_rss_kib()
    start = time.perf_counter()
    vesko.RustEnsemble.load(args.models)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "rss_before_kib": before, "peak_rss_kib": peak_rss_kib()}


WORKERS = {"vesko": worker_vesko, "sklearn": worker_sklearn, "latency": worker_latency,
           "load": worker_load}


def run_worker(kind, threads, extra=(), build=None):
    env = dict(os.environ)
    for name in THREAD_VARIABLES:
        env[name] = str(threads)
    if build:  # another build of vesko, found before the installed one
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
    command = [sys.executable, __file__, "--worker", kind, "--threads", str(threads), *extra]
    # stderr is dropped: batches of one e-mail write the module's trace there.
    done = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, check=False)
    if done.returncode != 0:
        raise SystemExit(f"worker {' '.join(command[2:])} failed ({done.returncode}); "
                         f"rerun it to see why")
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---- a model directory with 50,000-term vocabularies ----

def synthetic_term(number, k):
    # Terms no e-mail produces, shaped like the model's own terms.
    if number == 3:  # character trigrams: three private-use code points
        return chr(0xE000 + k // 4096) + chr(0xE000 + (k // 64) % 64) + chr(0xE000 + k % 64)
    word = f"zqx{k}synth"
    return f"{word} zqx" if number == 2 or (number == 4 and k % 2) else word


def pad_model_dir(target):
    """Copies the demo models to `target` with every vocabulary padded to 50,000 terms.

    The padding columns sit between the real terms and the 29 features, so
    every classifier gets zero weights (naive Bayes: its smallest log
    probability) there and the trees' feature splits move along. No e-mail
    holds a padding term, so predictions are unchanged.
    """
    import msgpack

    def read(name):
        with open(MODELS / name, "rb") as f:
            return msgpack.unpackb(f.read(), raw=False, strict_map_key=False)

    def write(name, record):
        with open(Path(target) / name, "wb") as f:
            f.write(msgpack.packb(record, use_bin_type=True, use_single_float=False))

    def widen(row, size, fill):
        return row[:size] + [fill] * (PADDED_VOCABULARY - size) + row[size:]

    sizes = {}
    for number in (1, 2, 3, 4):
        record = read(f"model{number}_tfidf.msgpack")
        size = sizes[number] = len(record["vocabulary"])
        for k in range(PADDED_VOCABULARY - size):
            record["vocabulary"][synthetic_term(number, k)] = size + k
        record["idf"] = widen(record["idf"], size, max(record["idf"]))
        write(f"model{number}_tfidf.msgpack", record)

    nb = read("model1.msgpack")
    nb["feature_log_prob"] = [widen(r, sizes[1], min(r)) for r in nb["feature_log_prob"]]
    write("model1.msgpack", nb)
    lr = read("model2.msgpack")
    lr["coef"] = [widen(r, sizes[2], 0.0) for r in lr["coef"]]
    write("model2.msgpack", lr)
    svm = read("model3.msgpack")
    svm[0] = [widen(r, sizes[3], 0.0) for r in svm[0]]
    write("model3.msgpack", svm)

    shift = PADDED_VOCABULARY - sizes[4]

    def move_splits(node):
        if "split" in node:
            column = int(node["split"][1:])
            if column >= sizes[4]:
                node["split"] = f"f{column + shift}"
        for child in node.get("children", []):
            move_splits(child)

    trees = read("model4.msgpack")
    for tree in trees["trees"]:
        move_splits(tree)
    write("model4.msgpack", trees)
    write("meta_classifier.msgpack", read("meta_classifier.msgpack"))


def padded_predictions_agree(padded_dir, texts):
    import vesko

    ours = vesko.RustEnsemble.load(str(MODELS)).predict_proba_batch(texts)
    padded = vesko.RustEnsemble.load(padded_dir).predict_proba_batch(texts)
    return ours == padded


# ---- the report ----

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="CI smoke run")
    parser.add_argument("--reps", type=int, default=None, help="timed runs per side and setting")
    parser.add_argument("--limit", type=int, default=None, help="first N e-mails only")
    parser.add_argument("--batches", type=int, default=None, help="latency batches of one e-mail")
    parser.add_argument("--against", help="another build of vesko to time side by side")
    parser.add_argument("--worker", choices=sorted(WORKERS), help=argparse.SUPPRESS)
    parser.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    parser.add_argument("--models", default=str(MODELS), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(WORKERS[args.worker](args)))
        return

    if not CORPUS.exists():
        # The corpus is not part of the project; without it there is nothing to time.
        print(f"skipped: no corpus at {CORPUS}")
        return

    reps = args.reps or (1 if args.quick else 5)
    limit = args.limit or (300 if args.quick else None)
    batches = args.batches or (100 if args.quick else 1000)
    texts = [r["text"] for r in load_rows(limit)]
    megabytes = text_bytes(texts) / 1e6
    all_threads = os.cpu_count() or 1
    estimators()  # builds the cache once, outside any timed worker
    print(f"{len(texts)} e-mails, {megabytes:.2f} MB of text, models {MODELS.relative_to(REPO)}, "
          f"{reps} repetition(s), medians; {all_threads} processors")

    common = ["--reps", str(reps)] + (["--limit", str(limit)] if limit else [])
    print(f"\n{'threads':>7} {'side':>8} {'seconds':>9} {'MB/s':>9} {'msgs/s':>10} {'ratio':>7} "
          f"{'peak RSS MiB':>13}")
    worst_difference = 0.0
    seconds_by_threads = {}  # side -> {threads: seconds}
    for threads in sorted({1, all_threads}):
        ours_times, other_times, peaks = [], [], {}
        for _ in range(3 if args.against else 1):  # alternating, when there is another build
            run = run_worker("vesko", threads, common)
            ours_times += run["times"]
            peaks["vesko"] = max(peaks.get("vesko", 0), run["peak_rss_kib"])
            if args.against:
                run = run_worker("vesko", threads, common, build=args.against)
                other_times += run["times"]
                peaks["other"] = max(peaks.get("other", 0), run["peak_rss_kib"])
        ours = statistics.median(ours_times)
        theirs_run = run_worker("sklearn", threads, common)
        theirs = statistics.median(theirs_run["times"])
        worst_difference = max(worst_difference, theirs_run["max_difference"])
        rows = [("vesko", ours, f"{theirs / ours:6.1f}x")]
        if args.against:
            other = statistics.median(other_times)
            rows.append(("other", other, f"{other / ours:6.2f}x"))
        rows.append(("sklearn", theirs, ""))
        for side, seconds, _ in rows:
            seconds_by_threads.setdefault(side, {})[threads] = seconds
        for side, seconds, ratio in rows:
            peak = f"{peaks[side] / 1024:13.1f}" if side in peaks else ""
            print(f"{threads:>7} {side:>8} {seconds:>9.3f} {megabytes / seconds:>9.2f} "
                  f"{len(texts) / seconds:>10.0f} {ratio:>7} {peak}")
    if all_threads > 1:
        efficiency = ", ".join(
            f"{side} {100 * times[1] / (all_threads * times[all_threads]):.0f} %"
            for side, times in seconds_by_threads.items() if side != "sklearn")
        print(f"parallel efficiency at {all_threads} threads (one thread's time / "
              f"{all_threads} / all threads' time): {efficiency}")
    print(f"agreement on the first {AGREEMENT_SAMPLE} e-mails: largest difference "
          f"{worst_difference:.3g} (tolerance {AGREEMENT_TOLERANCE:g})")
    if not worst_difference <= AGREEMENT_TOLERANCE:
        raise SystemExit("the two sides disagree: the comparison is void")

    if args.against:
        print(f"other: {args.against}; its ratio is its time over this build's")
    builds = [("vesko", None)] + ([("other", args.against)] if args.against else [])
    for name, build in builds:
        latency = run_worker("latency", all_threads, ["--batches", str(batches)], build)
        print(f"\n{name} latency, {all_threads} threads (per call; per e-mail = call / batch size)")
        print(f"{'batch':>6} {'calls':>6} {'p50 ms':>9} {'p99 ms':>9} {'p50 ms/e-mail':>14}")
        for size, row in latency.items():
            print(f"{size:>6} {row['batches']:>6} {row['p50'] * 1e3:>9.3f} "
                  f"{row['p99'] * 1e3:>9.3f} {row['p50'] * 1e3 / int(size):>14.4f}")

    print(f"\n{'models':>22} {'load s':>8} {'RSS before MiB':>15} {'peak RSS MiB':>13}  (fresh process; before = after import)")
    with tempfile.TemporaryDirectory() as padded:
        pad_model_dir(padded)
        if not padded_predictions_agree(padded, texts[:50]):
            raise SystemExit("padded models predict differently from the demo models")
        for name, path in (("demo", str(MODELS)), (f"{PADDED_VOCABULARY:,}-term", padded)):
            for build_name, build in builds:
                row = run_worker("load", all_threads, ["--models", path], build)
                label = name if build is None else f"{name} ({build_name})"
                print(f"{label:>22} {row['seconds']:>8.3f} {row['rss_before_kib'] / 1024:>15.1f} "
                      f"{row['peak_rss_kib'] / 1024:>13.1f}")


if __name__ == "__main__":
    main()
