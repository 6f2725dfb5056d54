"""Reads written model files back and scores texts with the module's arithmetic.

The training tool runs this after writing the nine files, so an export slip
(a wrong field, a column offset, a tree threshold) shows up as a difference
from the scikit-learn / xgboost oracle before the module ever loads the
files. It follows the module's own steps: term counts divided by the number
of all terms, idf, l2; the scalers' formulas; the classifiers in sparse form
(dense for a logistic regression with its own scaler); trees walked with 0.0
as missing and a float64 comparison. It is a check of the files, not a
second implementation to rely on.
"""

import math
from collections import Counter

import msgpack
import numpy as np

import analyzers

_TERMS = {
    1: analyzers.words,
    2: analyzers.word_pairs,
    3: analyzers.char_trigrams,
    4: analyzers.words_and_pairs,
}
_FIELDS = {
    "tfidf": ["vocabulary", "idf", "max_features", "sublinear_tf", "norm",
              "scaler_type", "scaler_mean", "scaler_scale", "scaler_min"],
    "nb": ["feature_log_prob", "class_log_prior", "classes"],
    "lr": ["coef", "intercept", "classes", "scaler_mean", "scaler_scale"],
    "svm": ["coef", "intercept", "classes"],
    "xgb": ["trees", "n_estimators", "learning_rate", "base_score", "classes"],
}


def _read(path, kind):
    with open(path, "rb") as f:
        record = msgpack.unpackb(f.read(), raw=False, strict_map_key=False)
    if isinstance(record, list):
        record = dict(zip(_FIELDS[kind], record))
    return record


def _tfidf_row(model, terms):
    """Sorted (column, value) entries of one text."""
    if not terms:
        return []
    n = float(len(terms))
    counts = Counter(model["vocabulary"][t] for t in terms if t in model["vocabulary"])
    idf = model["idf"]
    row = []
    for col, count in sorted(counts.items()):
        weight = 1.0 + math.log(count) if model.get("sublinear_tf") else count / n
        row.append((col, weight * idf[col]))
    if model.get("norm", "l2") == "l2":
        s = 0.0
        for _, v in row:
            s += v * v
        if s > 0.0:
            d = math.sqrt(s)
            row = [(c, v / d) for c, v in row]
    return row


def _scaled(model, features):
    kind, scale = model.get("scaler_type"), model.get("scaler_scale")
    if kind == "standard":
        return [(x - m) / s for x, m, s in zip(features, model["scaler_mean"], scale)]
    if kind == "minmax":
        return [(x - m) * s for x, m, s in zip(features, model["scaler_min"], scale)]
    return list(features)


def _sigmoid_pair(score):
    spam = 1.0 / (1.0 + math.exp(-score))
    return (1.0 - spam, spam)


def _naive_bayes(model, row):
    scores = []
    for c in range(len(model["classes"])):
        s = model["class_log_prior"][c]
        for j, x in row:
            s += x * model["feature_log_prob"][c][j]
        scores.append(s)
    m = max(scores)
    z = sum(math.exp(s - m) for s in scores)
    return (math.exp(scores[0] - m) / z, math.exp(scores[1] - m) / z)


def _linear_sparse(model, row):
    s = model["intercept"][0]
    for j, x in row:
        s += x * model["coef"][0][j]
    return _sigmoid_pair(s)


def _linear_dense(model, values):
    mean, scale, coef = model["scaler_mean"], model["scaler_scale"], model["coef"][0]
    s = model["intercept"][0]
    for j, x in enumerate(values):
        s += (x - mean[j]) / scale[j] * coef[j]
    return _sigmoid_pair(s)


def _walk(node, dense):
    while "leaf" not in node:
        index = int(node["split"][1:])
        value = dense.get(index, 0.0)
        if value == 0.0:
            target = node["missing"]
        elif value < node["split_condition"]:
            target = node["yes"]
        else:
            target = node["no"]
        node = next(child for child in node["children"] if child["nodeid"] == target)
    return node["leaf"]


def _boosted(model, row):
    dense = dict(row)
    base = model["base_score"]
    raw = math.log(base / (1.0 - base)) + sum(_walk(tree, dense) for tree in model["trees"])
    return _sigmoid_pair(raw)


def score(model_dir, lowered_texts, features):
    """Base pairs (n x 4 x 2) and final pairs (n x 2) for the given texts.

    `lowered_texts` are the lower-cased e-mails, `features` their 29 unscaled
    hand-made features (n x 29).
    """
    tfidf = {m: _read(f"{model_dir}/model{m}_tfidf.msgpack", "tfidf") for m in _TERMS}
    nb = _read(f"{model_dir}/model1.msgpack", "nb")
    lr = _read(f"{model_dir}/model2.msgpack", "lr")
    svm = _read(f"{model_dir}/model3.msgpack", "svm")
    xgb = _read(f"{model_dir}/model4.msgpack", "xgb")
    meta = _read(f"{model_dir}/meta_classifier.msgpack", "lr")
    classify = {1: (_naive_bayes, nb), 2: (_linear_sparse, lr), 3: (_linear_sparse, svm),
                4: (_boosted, xgb)}
    base, final = [], []
    for text, feats in zip(lowered_texts, np.asarray(features, dtype=np.float64).tolist()):
        pairs = []
        for m, terms_of in _TERMS.items():
            row = _tfidf_row(tfidf[m], terms_of(text))
            width = len(tfidf[m]["vocabulary"])
            row += [(width + j, v) for j, v in enumerate(_scaled(tfidf[m], feats))]
            fn, model = classify[m]
            pairs.append(fn(model, row))
        base.append(pairs)
        final.append(_linear_dense(meta, [p for pair in pairs for p in pair] + feats))
    return np.array(base), np.array(final)
