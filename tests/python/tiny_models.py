"""A small, self-consistent model directory written with msgpack, for tests
that need a loadable ensemble without the demo models."""
import math
import pathlib

import msgpack

FEATURES = 29
CLASSES = ["clean", "spam"]


def _weights(count, seed):
    return [math.sin(seed * 7.1 + i * 1.3) * 0.5 for i in range(count)]


def records():
    zeros, ones = [0.0] * FEATURES, [1.0] * FEATURES
    tree = {"nodeid": 0, "split": "f0", "split_condition": 0.1, "yes": 1, "no": 2, "missing": 1,
            "children": [{"nodeid": 1, "leaf": -0.4}, {"nodeid": 2, "leaf": 0.7}]}
    return {
        "model1_tfidf.msgpack": {
            "vocabulary": {"free": 0, "money": 1, "meeting": 2, "viagra": 3},
            "idf": [1.5, 2.0, 1.2, 3.0], "max_features": 4,
            "scaler_type": "minmax", "scaler_min": zeros, "scaler_scale": [0.01] * FEATURES,
        },
        "model2_tfidf.msgpack": {
            "vocabulary": {"free money": 0, "click here": 1}, "idf": [2.0, 2.5], "max_features": 2,
            "sublinear_tf": False, "norm": "l2", "scaler_type": "standard",
            "scaler_mean": [0.1] * FEATURES, "scaler_scale": [2.0] * FEATURES,
        },
        # Array form: vocabulary, idf, max_features, sublinear_tf, norm.
        "model3_tfidf.msgpack": [{"fre": 0, "ree": 1, "mon": 2, "eet": 3}, [1.0, 1.1, 1.2, 1.3],
                                 4, True, "l1"],
        "model4_tfidf.msgpack": {
            "vocabulary": {"free": 0, "money": 1, "free money": 2}, "idf": [1.0, 1.5, 2.0],
            "max_features": 3, "scaler_type": "standard", "scaler_mean": zeros,
            "scaler_scale": ones,
        },
        "model1.msgpack": {
            "feature_log_prob": [[-3.0 + 0.1 * i for i in range(4 + FEATURES)],
                                 [-2.5 - 0.05 * i for i in range(4 + FEATURES)]],
            "class_log_prior": [math.log(0.6), math.log(0.4)], "classes": CLASSES,
        },
        "model2.msgpack": {"coef": [_weights(2 + FEATURES, 2)], "intercept": [0.1],
                           "classes": CLASSES},
        "model3.msgpack": [[_weights(4 + FEATURES, 3)], [-0.2], CLASSES],
        "model4.msgpack": {"trees": [tree, {"nodeid": 0, "leaf": 0.05}], "n_estimators": 2,
                           "learning_rate": 0.3, "base_score": 0.4, "classes": CLASSES},
        "meta_classifier.msgpack": {
            "coef": [_weights(8 + FEATURES, 5)], "intercept": [-0.3], "classes": CLASSES,
            "scaler_mean": [0.2] * (8 + FEATURES), "scaler_scale": [1.5] * (8 + FEATURES),
        },
    }


def write(directory, overrides=None):
    """Writes the nine files; `overrides` maps a file name to a record or raw bytes."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    for name, record in {**records(), **(overrides or {})}.items():
        data = record if isinstance(record, bytes) else msgpack.packb(record, use_bin_type=True)
        (directory / name).write_bytes(data)
    return directory
