"""Classifies every e-mail file (*.eml) in a directory with a model directory.

    python3 examples/classify_samples.py [EMAIL_DIR] [MODEL_DIR]
"""
import pathlib
import sys

import vesko

BASE_MODELS = ("naive Bayes", "logistic", "linear SVM", "boosted trees")


def main(email_dir="tests/data/sample_emails", model_dir="models/demo"):
    paths = sorted(pathlib.Path(email_dir).glob("*.eml"))
    emails = [p.read_text(encoding="utf-8") for p in paths]
    ensemble = vesko.RustEnsemble.load(model_dir)
    for path, (base, (label, spam)) in zip(paths, ensemble.predict_with_base_models(emails)):
        print(f"{path.name:32} {label:5}  spam probability {spam:.4f}")
        verdicts = ", ".join(
            f"{name} {base_label} {base_spam:.3f}"
            for name, (base_label, base_spam) in zip(BASE_MODELS, base)
        )
        print(f"{'':32} {verdicts}")


if __name__ == "__main__":
    main(*sys.argv[1:3])
