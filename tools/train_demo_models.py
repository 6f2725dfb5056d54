#!/usr/bin/env python3
"""Trains the demo ensemble and writes its parity oracle.

    python3 tools/train_demo_models.py [--corpus PATH]

Needs the `vesko` module (for the 29 hand-made features), scikit-learn,
xgboost, scipy, msgpack and regex. Deterministic: fixed seeds, fixed thread
counts. Writes, relative to the repository root:

  models/demo/            the nine model files the module loads
  tests/data/heldout/     held-out messages, the oracle's expected outputs
                          and the ensemble's metrics on them

The expected outputs come from the scikit-learn and xgboost objects
themselves (the module is used for the features only), so the parity test
compares the module against the libraries that trained the models.
"""

import argparse
import gzip
import json
import sys
from pathlib import Path

import numpy as np
import scipy.sparse as sp
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import accuracy_score, precision_score, recall_score, roc_auc_score
from sklearn.model_selection import StratifiedKFold, cross_val_predict, train_test_split
from sklearn.naive_bayes import MultinomialNB
from sklearn.preprocessing import StandardScaler
from sklearn.svm import LinearSVC
from xgboost import XGBClassifier

import analyzers
import demo_model_check
import model_export

REPO = Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = REPO.parent / "shared" / "corpus" / "public-mail-corpus.jsonl.gz"
MODEL_DIR = REPO / "models" / "demo"
HELDOUT_DIR = REPO / "tests" / "data" / "heldout"

SEED = 20240607
HELDOUT_SIZE = 300
CV_FOLDS = 5
XGB_THREADS = 2  # per fit; the folds run in parallel processes
# Largest oracle-versus-file differences the self-check accepts: the files
# must reproduce the libraries up to rounding, model 4 up to xgboost's float32.
CHECK_TOLERANCE = {1: 1e-9, 2: 1e-9, 3: 1e-9, 4: 1e-5, "final": 1e-5}

# Base models 1 to 4: terms, vocabulary size, tf weighting, scaler.
BASE_MODELS = {
    1: dict(analyzer=analyzers.words, max_features=5000, sublinear_tf=False,
            scaler="minmax"),
    2: dict(analyzer=analyzers.word_pairs, max_features=5000, sublinear_tf=False,
            scaler="standard"),
    3: dict(analyzer=analyzers.char_trigrams, max_features=5000, sublinear_tf=True,
            scaler="standard"),
    4: dict(analyzer=analyzers.words_and_pairs, max_features=8000, sublinear_tf=False,
            scaler="standard"),
}


def classifier(number):
    """A fresh, unfitted classifier for base model `number`."""
    if number == 1:
        return MultinomialNB(alpha=0.1)
    if number == 2:
        return LogisticRegression(C=10.0, max_iter=5000)
    if number == 3:
        return LinearSVC(C=0.5, max_iter=20000, random_state=SEED)
    return XGBClassifier(n_estimators=100, max_depth=5, learning_rate=0.2, tree_method="hist",
                         max_bin=64, n_jobs=XGB_THREADS, random_state=SEED)


def load_corpus(path):
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def extract_features(texts):
    import vesko  # the module under training's own extractor, so scoring sees the same values

    return np.asarray(vesko.extract_features_batch(list(texts)), dtype=np.float64)


def fit_scaler(kind, train_features):
    """Scaler fields for the TfidfModel record, computed on the training features."""
    if kind == "minmax":
        low, high = train_features.min(axis=0), train_features.max(axis=0)
        span = high - low
        scale = np.where(span == 0.0, 1.0, 1.0 / np.where(span == 0.0, 1.0, span))
        return {"scaler_type": "minmax", "scaler_min": low, "scaler_scale": scale}
    scaler = StandardScaler().fit(train_features)
    return {"scaler_type": "standard", "scaler_mean": scaler.mean_, "scaler_scale": scaler.scale_}


def apply_scaler(fields, features):
    # The module's formulas exactly: (x - min) * scale and (x - mean) / scale.
    if fields["scaler_type"] == "minmax":
        return (features - fields["scaler_min"]) * fields["scaler_scale"]
    return (features - fields["scaler_mean"]) / fields["scaler_scale"]


def model_input(vectorizer, lowered, scaled, number):
    """TF-IDF columns followed by the scaled features, as the module joins them."""
    joined = sp.hstack([vectorizer.transform(lowered), sp.csr_matrix(scaled)], format="csr")
    if number == 4:
        # The module takes a value of exactly 0.0 as missing; xgboost takes a
        # stored 0.0 as a real value, so zeros must not be stored.
        joined.eliminate_zeros()
    return joined


def base_pairs(number, model, matrix):
    """(clean, spam) per row, computed by the library as the module will."""
    if number == 3:
        spam = 1.0 / (1.0 + np.exp(-model.decision_function(matrix)))
        return np.column_stack([1.0 - spam, spam])
    return np.asarray(model.predict_proba(matrix), dtype=np.float64)


def meta_rows(pairs_by_model, features):
    """The meta classifier's 37 inputs: four (clean, spam) pairs, then the raw features."""
    return np.hstack([pairs_by_model[m] for m in (1, 2, 3, 4)] + [features])


def write_heldout(rows, base, final):
    HELDOUT_DIR.mkdir(parents=True, exist_ok=True)
    with open(HELDOUT_DIR / "messages.jsonl.gz", "wb") as raw:
        # mtime 0 and no file name keep the archive byte-identical across runs.
        with gzip.GzipFile(fileobj=raw, mode="wb", filename="", mtime=0) as f:
            for row in rows:
                record = {k: row[k] for k in ("id", "group", "label", "text")}
                f.write((json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8"))
    expected = []
    for i, row in enumerate(rows):
        entry = {"id": row["id"], "group": row["group"]}
        for m in (1, 2, 3, 4):
            entry[f"model{m}"] = [float(v) for v in base[m][i]]
        clean, spam = (float(v) for v in final[i])
        entry["final"] = [clean, spam]
        entry["final_label"] = "spam" if spam > clean else "clean"
        expected.append(entry)
    with open(HELDOUT_DIR / "expected.json", "w", encoding="utf-8") as f:
        json.dump({"messages": expected}, f, indent=1)
        f.write("\n")


def metrics(y_true, spam_prob, labels):
    predicted = (labels == "spam").astype(int)
    return {
        "messages": int(len(y_true)),
        "accuracy": float(accuracy_score(y_true, predicted)),
        "precision": float(precision_score(y_true, predicted)),
        "recall": float(recall_score(y_true, predicted)),
        "roc_auc": float(roc_auc_score(y_true, spam_prob)),
    }


def split_rows(rows):
    """(training rows, held-out rows): the fixed stratified split, held-out in corpus order."""
    groups = [r["group"] for r in rows]
    train_idx, held_idx = train_test_split(np.arange(len(rows)), test_size=HELDOUT_SIZE,
                                           stratify=groups, random_state=SEED)
    held_idx = np.sort(held_idx)
    return [rows[i] for i in train_idx], [rows[i] for i in held_idx]


def fit_ensemble(rows):
    """Splits `rows`, fits the four base models and the meta classifier.

    Returns a dict: the held-out rows and labels ("held", "y_held"), their
    lower-cased texts and features ("lowered_held", "features_held"), per base
    model number the fitted "vectorizers", "scalers" (record fields) and
    "models", the "meta_scaler" and "meta" classifier, and the libraries'
    held-out outputs ("held_pairs" per model, "final"). Deterministic.
    """
    train, held = split_rows(rows)
    y_train = np.array([r["label"] == "spam" for r in train], dtype=int)
    y_held = np.array([r["label"] == "spam" for r in held], dtype=int)
    print(f"training on {len(train)} messages, holding out {len(held)}", flush=True)

    # str.lower() is the full Unicode lower-case mapping, as the module's.
    lowered_train = [r["text"].lower() for r in train]
    lowered_held = [r["text"].lower() for r in held]
    features_train = extract_features(r["text"] for r in train)
    features_held = extract_features(r["text"] for r in held)

    folds = StratifiedKFold(n_splits=CV_FOLDS, shuffle=True, random_state=SEED)
    oof, held_pairs, fitted, vectorizers, scalers = {}, {}, {}, {}, {}
    for number, setup in BASE_MODELS.items():
        vectorizer = TfidfVectorizer(analyzer=setup["analyzer"], lowercase=False, norm="l2",
                                     use_idf=True, smooth_idf=True,
                                     sublinear_tf=setup["sublinear_tf"],
                                     max_features=setup["max_features"], dtype=np.float64)
        vectorizer.fit(lowered_train)
        scaler = fit_scaler(setup["scaler"], features_train)
        x_train = model_input(vectorizer, lowered_train, apply_scaler(scaler, features_train),
                              number)
        x_held = model_input(vectorizer, lowered_held, apply_scaler(scaler, features_held),
                             number)
        if number == 1 and x_train.data.min() < 0.0:
            sys.exit("model 1 input has negative values; naive Bayes cannot train on it")

        # Out-of-fold probabilities keep the meta classifier from learning how
        # well the base models remember their own training messages.
        method = "decision_function" if number == 3 else "predict_proba"
        cv = cross_val_predict(classifier(number), x_train, y_train, cv=folds, method=method,
                               n_jobs=CV_FOLDS)
        if number == 3:
            spam = 1.0 / (1.0 + np.exp(-cv))
            cv = np.column_stack([1.0 - spam, spam])
        oof[number] = np.asarray(cv, dtype=np.float64)

        model = classifier(number).fit(x_train, y_train)
        held_pairs[number] = base_pairs(number, model, x_held)
        fitted[number], vectorizers[number], scalers[number] = model, vectorizer, scaler
        accuracy = accuracy_score(y_held, held_pairs[number][:, 1] > 0.5)
        print(f"model {number}: {len(vectorizer.vocabulary_)} terms, "
              f"held-out accuracy {accuracy:.4f}", flush=True)

    meta_scaler = StandardScaler().fit(meta_rows(oof, features_train))
    meta = LogisticRegression(C=1.0, max_iter=5000)
    meta.fit(meta_scaler.transform(meta_rows(oof, features_train)), y_train)
    final = meta.predict_proba(meta_scaler.transform(meta_rows(held_pairs, features_held)))
    return {
        "held": held, "y_held": y_held, "lowered_held": lowered_held,
        "features_held": features_held, "vectorizers": vectorizers, "scalers": scalers,
        "models": fitted, "meta_scaler": meta_scaler, "meta": meta,
        "held_pairs": held_pairs, "final": final,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()

    fit = fit_ensemble(load_corpus(args.corpus))
    held, y_held, held_pairs, final = fit["held"], fit["y_held"], fit["held_pairs"], fit["final"]
    lowered_held, features_held = fit["lowered_held"], fit["features_held"]
    fitted = fit["models"]

    MODEL_DIR.mkdir(parents=True, exist_ok=True)
    for number, setup in BASE_MODELS.items():
        model_export.write_record(MODEL_DIR / f"model{number}_tfidf.msgpack",
                                  model_export.tfidf_record(fit["vectorizers"][number],
                                                            setup["max_features"],
                                                            fit["scalers"][number]))
    records = {
        "model1.msgpack": model_export.naive_bayes_record(fitted[1]),
        "model2.msgpack": model_export.logistic_record(fitted[2]),
        "model3.msgpack": model_export.linear_svm_array(fitted[3]),  # the array form
        "model4.msgpack": model_export.xgboost_record(fitted[4]),
        "meta_classifier.msgpack": model_export.logistic_record(fit["meta"],
                                                                fit["meta_scaler"]),
    }
    for name, record in records.items():
        model_export.write_record(MODEL_DIR / name, record)

    labels = np.where(final[:, 1] > final[:, 0], "spam", "clean")
    write_heldout(held, held_pairs, final)
    scores = metrics(y_held, final[:, 1], labels)
    with open(HELDOUT_DIR / "metrics.json", "w", encoding="utf-8") as f:
        json.dump(scores, f, indent=1)
        f.write("\n")
    print(f"ensemble on {scores['messages']} held-out messages: "
          + ", ".join(f"{k} {v:.4f}" for k, v in scores.items() if k != "messages"))

    base_check, final_check = demo_model_check.score(str(MODEL_DIR), lowered_held, features_held)
    worst = {m: float(np.max(np.abs(base_check[:, m - 1, 1] - held_pairs[m][:, 1])))
             for m in (1, 2, 3, 4)}
    worst["final"] = float(np.max(np.abs(final_check[:, 1] - final[:, 1])))
    print("files versus oracle, largest spam difference: "
          + ", ".join(f"{k} {v:.3g}" for k, v in worst.items()))
    failed = [k for k, v in worst.items() if not v <= CHECK_TOLERANCE[k]]
    if failed:
        sys.exit(f"written files do not reproduce the oracle for {failed}")
    for path in sorted(MODEL_DIR.iterdir()):
        print(f"{path.name}: {path.stat().st_size} bytes")


if __name__ == "__main__":
    main()
