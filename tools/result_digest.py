"""Digest of everything vesko returns and writes for the whole corpus, to show
that a change leaves results byte for byte as they were.

For each pool size (1 and 8 threads, each in a fresh process) and each batch
size (1, 2, 3, 129, 257), the corpus is cut into batches and every batch goes
through all three prediction methods and extract_features_batch. Every float is
taken as float.hex, labels as they are, and the diagnostic lines on standard
error byte for byte; the digest is a SHA-256 per (threads, batch size).

    python3 tools/result_digest.py                  # prints the JSON digest
    python3 tools/result_digest.py --save before.json
    python3 tools/result_digest.py --compare before.json

`vesko` is whatever Python imports (PYTHONPATH selects a build)."""
import argparse
import gzip
import hashlib
import json
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "corpus" / "public-mail-corpus.jsonl.gz"
MODELS = ROOT / "models" / "demo"
THREADS = (1, 8)
BATCHES = (1, 2, 3, 129, 257)


def load_corpus(limit):
    with gzip.open(CORPUS, "rt", encoding="utf-8") as lines:
        texts = [json.loads(line)["text"] for line in lines if line.strip()]
    return texts[:limit] if limit else texts


def child(batch_size, limit):
    """Runs in a fresh process: hashes the results of one batch size."""
    import vesko

    ensemble = vesko.RustEnsemble.load(str(MODELS))
    texts = load_corpus(limit)
    digest = hashlib.sha256()
    for start in range(0, len(texts), batch_size):
        batch = texts[start:start + batch_size]
        for label, p in ensemble.predict_batch(batch):
            digest.update(f"{label} {p.hex()}\n".encode())
        for clean, spam in ensemble.predict_proba_batch(batch):
            digest.update(f"{clean.hex()} {spam.hex()}\n".encode())
        for base, (label, p) in ensemble.predict_with_base_models(batch):
            parts = [f"{b} {q.hex()}" for b, q in base] + [f"{label} {p.hex()}"]
            digest.update((" ".join(parts) + "\n").encode())
        for row in vesko.extract_features_batch(batch):
            digest.update((" ".join(v.hex() for v in row) + "\n").encode())
    print(digest.hexdigest())


def run(limit):
    result = {}
    for threads in THREADS:
        for batch_size in BATCHES:
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            with tempfile.TemporaryFile() as stderr:
                out = subprocess.run(
                    [sys.executable, __file__, "--child", str(batch_size), "--limit", str(limit)],
                    env=env, stdout=subprocess.PIPE, stderr=stderr, check=True, text=True)
                stderr.seek(0)
                lines = hashlib.sha256(stderr.read()).hexdigest()
            key = f"threads={threads} batch={batch_size}"
            result[key] = {"results": out.stdout.strip(), "stderr": lines}
            print(key, result[key]["results"][:16], result[key]["stderr"][:16], file=sys.stderr)
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", type=int)
    parser.add_argument("--limit", type=int, default=0, help="first N e-mails only (0: all)")
    parser.add_argument("--save")
    parser.add_argument("--compare")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.limit)
        return 0
    if not CORPUS.exists():
        print(f"skipped: no corpus at {CORPUS}")
        return 0
    result = run(args.limit)
    if args.save:
        pathlib.Path(args.save).write_text(json.dumps(result, indent=1) + "\n")
    if args.compare:
        before = json.loads(pathlib.Path(args.compare).read_text())
        differ = [key for key in before if before[key] != result.get(key)]
        for key in differ:
            print(f"DIFFERS: {key}")
        print("identical" if not differ else f"{len(differ)} of {len(before)} differ")
        return 1 if differ else 0
    print(json.dumps(result, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
