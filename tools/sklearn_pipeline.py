"""The demo ensemble as scikit-learn and xgboost objects, for side-by-side runs.

    estimators = load_estimators(model_dir, rows)   # rows: the training corpus
    pairs = predict_proba(estimators, texts, features, xgb_threads)

The vectorizers, scalers, naive Bayes, logistic regressions and linear SVM are
rebuilt from the model files: their fitted state is exactly the arrays the
files hold (vocabulary, idf, coefficients, priors, the meta scaler's mean and
scale, all float64), so they compute what the trained objects computed. The
boosted trees are not: the file holds a dump, not a booster, so model 4's
XGBClassifier is fitted again the way the training tool fits it (same split,
same input, same seed) and its export is compared with the file byte for byte.
"""

import msgpack
import numpy as np
import scipy.sparse as sp
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.linear_model import LogisticRegression
from sklearn.naive_bayes import MultinomialNB
from sklearn.preprocessing import StandardScaler
from sklearn.svm import LinearSVC

import model_export
import train_demo_models as training

CLASSES = np.array([0, 1])


def _read(model_dir, name):
    with open(f"{model_dir}/{name}", "rb") as f:
        return msgpack.unpackb(f.read(), raw=False, strict_map_key=False)


def _vectorizer(record, setup):
    vocabulary = record["vocabulary"]
    vectorizer = TfidfVectorizer(analyzer=setup["analyzer"], lowercase=False, norm=record["norm"],
                                 use_idf=True, smooth_idf=True,
                                 sublinear_tf=record["sublinear_tf"], vocabulary=vocabulary,
                                 dtype=np.float64)
    vectorizer.idf_ = np.asarray(record["idf"], dtype=np.float64)
    return vectorizer


def _scaler_fields(record):
    fields = {"scaler_type": record["scaler_type"]}
    for key in ("scaler_mean", "scaler_scale", "scaler_min"):
        if key in record:
            fields[key] = np.asarray(record[key], dtype=np.float64)
    return fields


def _linear(model, coef, intercept):
    model.coef_ = np.asarray(coef, dtype=np.float64)
    model.intercept_ = np.asarray(intercept, dtype=np.float64)
    model.classes_ = CLASSES
    model.n_features_in_ = model.coef_.shape[1]
    return model


def _refit_boosted_trees(vectorizer, scaler, rows):
    train, _ = training.split_rows(rows)
    y_train = np.array([r["label"] == "spam" for r in train], dtype=int)
    lowered = [r["text"].lower() for r in train]
    features = training.extract_features(r["text"] for r in train)
    x_train = training.model_input(vectorizer, lowered, training.apply_scaler(scaler, features), 4)
    return training.classifier(4).fit(x_train, y_train)


def load_estimators(model_dir, rows):
    """The ensemble of `model_dir` as library objects (a dict; picklable).

    `rows` is the corpus the demo models were trained on (dicts with "text",
    "label", "group"); only model 4 is fitted on it. Raises ValueError when
    the refitted boosted trees do not export to the model file's bytes.
    """
    vectorizers, scalers = {}, {}
    for number, setup in training.BASE_MODELS.items():
        record = _read(model_dir, f"model{number}_tfidf.msgpack")
        vectorizers[number] = _vectorizer(record, setup)
        scalers[number] = _scaler_fields(record)

    nb_record = _read(model_dir, "model1.msgpack")
    naive_bayes = MultinomialNB(alpha=0.1)
    naive_bayes.feature_log_prob_ = np.asarray(nb_record["feature_log_prob"], dtype=np.float64)
    naive_bayes.class_log_prior_ = np.asarray(nb_record["class_log_prior"], dtype=np.float64)
    naive_bayes.classes_ = CLASSES
    naive_bayes.n_features_in_ = naive_bayes.feature_log_prob_.shape[1]

    lr_record = _read(model_dir, "model2.msgpack")
    logistic = _linear(LogisticRegression(), lr_record["coef"], lr_record["intercept"])
    svm_coef, svm_intercept, _ = _read(model_dir, "model3.msgpack")
    svm = _linear(LinearSVC(), svm_coef, svm_intercept)

    boosted = _refit_boosted_trees(vectorizers[4], scalers[4], rows)
    exported = msgpack.packb(model_export.xgboost_record(boosted), use_bin_type=True,
                             use_single_float=False)
    with open(f"{model_dir}/model4.msgpack", "rb") as f:
        if f.read() != exported:
            raise ValueError("refitted boosted trees differ from model4.msgpack")

    meta_record = _read(model_dir, "meta_classifier.msgpack")
    meta = _linear(LogisticRegression(), meta_record["coef"], meta_record["intercept"])
    meta_scaler = StandardScaler()
    meta_scaler.mean_ = np.asarray(meta_record["scaler_mean"], dtype=np.float64)
    meta_scaler.scale_ = np.asarray(meta_record["scaler_scale"], dtype=np.float64)
    meta_scaler.n_features_in_ = meta_scaler.mean_.shape[0]
    return {"vectorizers": vectorizers, "scalers": scalers,
            "models": {1: naive_bayes, 2: logistic, 3: svm, 4: boosted},
            "meta": meta, "meta_scaler": meta_scaler}


def predict_proba(estimators, texts, features, xgb_threads):
    """Final (clean, spam) per text, an n x 2 array, computed by the libraries.

    `features` is the n x 29 array of the texts' hand-made features (taken
    from the module: the libraries have no extractor of their own). The steps
    are the training tool's: lower-case, transform, scale, join, classify,
    then the meta classifier over the pairs and the raw features.
    """
    lowered = [t.lower() for t in texts]
    estimators["models"][4].set_params(n_jobs=xgb_threads)
    pairs = {}
    for number in (1, 2, 3, 4):
        scaled = training.apply_scaler(estimators["scalers"][number], features)
        matrix = training.model_input(estimators["vectorizers"][number], lowered, scaled, number)
        pairs[number] = training.base_pairs(number, estimators["models"][number], matrix)
    meta_input = estimators["meta_scaler"].transform(training.meta_rows(pairs, features))
    return estimators["meta"].predict_proba(meta_input)
