"""Boosted trees whose split nodes name one child for yes, no and missing,
chained as deep as a model file allows: a batch scores as if the chain were
its leaf, without a warning and without delay. Walking every branch of such
a chain on every call took time doubling with each level, so the calls run
in a child process with limits."""
import json
import os
import resource
import subprocess
import sys
import textwrap

import msgpack

import tiny_models

DEEPEST = 510  # split nodes above the leaf: the decoder's nesting budget


def shared_child_chain(depth, leaf):
    """A tree of `depth` split nodes, each naming its only child for every
    branch, above a leaf, as MessagePack bytes. Written by hand: the msgpack
    packer refuses nesting this deep."""
    node = msgpack.packb({"nodeid": 1, "leaf": leaf})
    for level in range(depth):
        fields = {"missing": 1, "no": 1, "nodeid": 0 if level == depth - 1 else 1,
                  "split": "f0", "split_condition": 0.1, "yes": 1}
        node = (bytes([0x80 | (len(fields) + 1)]) + msgpack.packb("children") + b"\x91" + node
                + b"".join(msgpack.packb(k) + msgpack.packb(v) for k, v in fields.items()))
    return node


def model4_with_first_tree(tree):
    record = tiny_models.records()["model4.msgpack"]
    trees = [tree] + [msgpack.packb(t) for t in record.pop("trees")]
    head = msgpack.packb(record)  # a fixmap: one more entry follows
    return (bytes([head[0] + 1]) + head[1:] + msgpack.packb("trees")
            + bytes([0x90 | len(trees)]) + b"".join(trees))


def limit_child():
    resource.setrlimit(resource.RLIMIT_CPU, (60, 60))
    # AddressSanitizer reserves terabytes of address space up front.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


def test_shared_child_chains_score_like_their_leaf(tmp_path):
    dirs = {"leaf": tiny_models.write(tmp_path / "leaf", {
        "model4.msgpack": model4_with_first_tree(msgpack.packb({"nodeid": 0, "leaf": 0.3}))})}
    for depth in (40, DEEPEST):
        dirs[depth] = tiny_models.write(tmp_path / f"chain{depth}", {
            "model4.msgpack": model4_with_first_tree(shared_child_chain(depth, 0.3))})
    code = """
        import json, sys
        import vesko
        emails = ["free money now", "meeting tomorrow", "free free money"]
        out = {}
        for name, directory in json.loads(sys.argv[1]).items():
            ensemble = vesko.RustEnsemble.load(directory)
            out[name] = [ensemble.predict_proba_batch(emails), ensemble.predict_batch(emails[:2]),
                         ensemble.predict_with_base_models(emails)]
        print(json.dumps(out))
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code),
         json.dumps({str(name): str(d) for name, d in dirs.items()})],
        capture_output=True, text=True, timeout=120, preexec_fn=limit_child)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stderr == ""
    out = json.loads(result.stdout)
    assert out["40"] == out["leaf"]
    assert out[str(DEEPEST)] == out["leaf"]
