"""Turns fitted scikit-learn / xgboost objects into the module's model records.

Every number goes out as a Python float or int, so msgpack writes float64 and
plain integers whatever numpy type the estimator used. Records are maps keyed
by field name unless a caller asks for the array form (fields in declaration
order), which the module's decoder accepts just as well.
"""

import json
import math

import msgpack
import numpy as np

CLASSES = ["clean", "spam"]


def floats(values):
    """A flat list of Python floats from any numeric sequence."""
    return [float(v) for v in np.asarray(values, dtype=np.float64).ravel()]


def float_rows(matrix):
    """A list of rows of Python floats from a 2-D array."""
    return [floats(row) for row in np.atleast_2d(np.asarray(matrix, dtype=np.float64))]


def tfidf_record(vectorizer, max_features, scaler):
    """The TfidfModel map for a fitted TfidfVectorizer and its feature scaler.

    `scaler` maps scaler field names ("scaler_type", "scaler_mean",
    "scaler_scale", "scaler_min") to values; fields it leaves out stay absent.
    """
    record = {
        "vocabulary": {term: int(col) for term, col in vectorizer.vocabulary_.items()},
        "idf": floats(vectorizer.idf_),
        "max_features": int(max_features),
        "sublinear_tf": bool(vectorizer.sublinear_tf),
        "norm": str(vectorizer.norm),
    }
    for key in ("scaler_type", "scaler_mean", "scaler_scale", "scaler_min"):
        if key in scaler:
            value = scaler[key]
            record[key] = value if isinstance(value, str) else floats(value)
    return record


def naive_bayes_record(model):
    """The NaiveBayesModel map of a fitted MultinomialNB (classes 0 = clean, 1 = spam)."""
    return {
        "feature_log_prob": float_rows(model.feature_log_prob_),
        "class_log_prior": floats(model.class_log_prior_),
        "classes": list(CLASSES),
    }


def logistic_record(model, scaler=None):
    """The LogisticRegressionModel map of a fitted binary LogisticRegression.

    One coefficient row, so the module takes its sigmoid form, which is what
    scikit-learn's predict_proba computes for two classes. `scaler`, a fitted
    StandardScaler, becomes scaler_mean / scaler_scale.
    """
    record = {
        "coef": float_rows(model.coef_),
        "intercept": floats(model.intercept_),
        "classes": list(CLASSES),
    }
    if scaler is not None:
        record["scaler_mean"] = floats(scaler.mean_)
        record["scaler_scale"] = floats(scaler.scale_)
    return record


def linear_svm_array(model):
    """The LinearSVMModel of a fitted LinearSVC, in the array form [coef, intercept, classes]."""
    return [float_rows(model.coef_), floats(model.intercept_), list(CLASSES)]


def _float32(value):
    # Dumps print float32 values with nine significant digits; reading them back
    # through float32 recovers the exact stored value.
    return float(np.float32(value))


def float32_split_threshold(value):
    """The float64 threshold t64 such that x < t64 exactly when float32(x) < t32.

    xgboost rounds each feature to float32 (nearest, ties to even) before it
    compares it with the float32 threshold t32, while the module compares the
    float64 value. Features that repeat training values (scaled counts) sit
    right at the thresholds, so comparing with t32 itself would flip branches.
    The float32 values below t32 are those below the midpoint m between t32 and
    its float32 predecessor; m itself rounds to whichever neighbour has an even
    mantissa, so it belongs below when the predecessor is the even one.
    """
    t32 = np.float32(value)
    below = np.nextafter(t32, np.float32(-np.inf))
    midpoint = (float(below) + float(t32)) / 2.0  # exact: 25 significant bits
    if int(below.view(np.uint32)) & 1 == 0:
        return math.nextafter(midpoint, math.inf)
    return midpoint


def _tree_node(node):
    # Only the fields the module walks; the dump's "depth" is dropped.
    if "leaf" in node:
        return {"nodeid": int(node["nodeid"]), "leaf": _float32(node["leaf"])}
    split = node["split"]
    if not (isinstance(split, str) and split.startswith("f") and split[1:].isdigit()):
        raise ValueError(f"unexpected split name {split!r}: train without feature names")
    return {
        "nodeid": int(node["nodeid"]),
        "split": split,
        "split_condition": float32_split_threshold(node["split_condition"]),
        "yes": int(node["yes"]),
        "no": int(node["no"]),
        "missing": int(node["missing"]),
        "children": [_tree_node(child) for child in node["children"]],
    }


def booster_base_score(booster):
    """The booster's base_score (a probability), as the exact float32 it holds."""
    config = json.loads(booster.save_config())
    text = config["learner"]["learner_model_param"]["base_score"]
    return _float32(text.strip("[]"))


def xgboost_record(model):
    """The XGBoostModel map of a fitted binary XGBClassifier."""
    booster = model.get_booster()
    trees = [_tree_node(json.loads(dump)) for dump in booster.get_dump(dump_format="json")]
    return {
        "trees": trees,
        "n_estimators": int(model.n_estimators),
        "learning_rate": float(model.learning_rate),
        "base_score": booster_base_score(booster),
        "classes": list(CLASSES),
    }


def write_record(path, record):
    """Writes one record as the whole content of `path`."""
    with open(path, "wb") as out:
        out.write(msgpack.packb(record, use_bin_type=True, use_single_float=False))
