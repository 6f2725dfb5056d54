#!/usr/bin/env python3
"""Writes small valid model files as seed corpora for the model-file fuzzers.

Each record appears in the forms the decoder accepts (map keyed by name, map
keyed by index, array), so the fuzzers start from every branch of the format.
Run from anywhere: python3 tools/make_fuzz_seeds.py
"""
import pathlib

import msgpack

ROOT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "corpus"


def forms(name_to_value, array_len=None):
    """The record as a name-keyed map, an index-keyed map and an array."""
    names = list(name_to_value)
    values = [name_to_value[n] for n in names]
    yield "map", name_to_value
    yield "index", {i: v for i, v in enumerate(values)}
    yield "array", values[: array_len or len(values)]


def tfidf():
    full = {
        "vocabulary": {"free": 0, "money": 1, "caf\u00e9": 2},
        "idf": [1.5, 2.25, 3.0],
        "max_features": 5000,
        "sublinear_tf": True,
        "norm": "l2",
        "scaler_type": "standard",
        "scaler_mean": [0.5] * 4,
        "scaler_scale": [1.5] * 4,
        "scaler_min": None,
    }
    yield from forms(full)
    minimal = {"vocabulary": {"a": 0}, "idf": [1.0], "max_features": 1}
    yield "minimal", minimal
    yield "short_array", list(minimal.values())


def naive_bayes():
    yield from forms({
        "feature_log_prob": [[-1.2, -2.3, -0.5], [-0.7, -3.1, -1.9]],
        "class_log_prior": [-0.69, -0.69],
        "classes": ["clean", "spam"],
    })


def logistic_regression():
    yield from forms({
        "coef": [[0.25, -1.5, 3.0]],
        "intercept": [0.1],
        "classes": ["clean", "spam"],
        "scaler_mean": [0.0, 1.0, 2.0],
        "scaler_scale": [1.0, 1.0, 0.5],
    })
    yield "short_array", [[[0.5, 0.5], [-0.5, -0.5]], [0.0, 0.0], ["clean", "spam"]]


def linear_svm():
    yield from forms({
        "coef": [[0.3, -0.2, 0.1, 0.9]],
        "intercept": [-0.05],
        "classes": ["clean", "spam"],
    })


def tree(depth, nodeid=0):
    if depth == 0:
        return {"nodeid": nodeid, "leaf": 0.125 * (nodeid + 1)}
    yes, no = 2 * nodeid + 1, 2 * nodeid + 2
    return {
        "nodeid": nodeid,
        "depth": depth,
        "split": f"f{nodeid}",
        "split_condition": 0.5,
        "yes": yes,
        "no": no,
        "missing": yes,
        "children": [tree(depth - 1, yes), tree(depth - 1, no)],
    }


def xgboost():
    trees = [tree(2), tree(1), [3, None, None, None, None, None, -0.25], {"nodeid": 7, "leaf": 1}]
    yield from forms({
        "trees": trees,
        "n_estimators": len(trees),
        "learning_rate": 0.3,
        "base_score": 0.5,
        "classes": ["clean", "spam"],
    })


def main():
    for name, make in [("tfidf", tfidf), ("naive_bayes", naive_bayes),
                       ("logistic_regression", logistic_regression),
                       ("linear_svm", linear_svm), ("xgboost", xgboost)]:
        directory = ROOT / name
        directory.mkdir(parents=True, exist_ok=True)
        for label, record in make():
            data = msgpack.packb(record, use_bin_type=True)
            (directory / f"{label}.msgpack").write_bytes(data)


if __name__ == "__main__":
    main()
