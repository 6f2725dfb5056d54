"""Arguments that ask for more memory than there is: a sequence whose len()
over-reports, and strings or sequences too large to copy. Each runs in a child
process under a memory ceiling (isolated.run), since either used to abort the
interpreter; the sound outcomes are the honest result and MemoryError."""
import pytest

import isolated
import tiny_models


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory):
    return str(tiny_models.write(tmp_path_factory.mktemp("models")))


def test_over_reported_length_is_not_trusted(model_dir):
    result = isolated.run(f"""
        import vesko

        class Claiming(list):
            claim = 0
            def __len__(self):
                return self.claim

        emails = ["Subject: free money\\n\\nclick here", "see you at the meeting", ""]
        ensemble = vesko.RustEnsemble.load({model_dir!r})
        calls = [vesko.extract_features_batch, ensemble.predict_batch,
                 ensemble.predict_proba_batch, ensemble.predict_with_base_models]
        for claim in (2**40, 2**62):
            claiming = Claiming(emails)
            claiming.claim = claim
            for call in calls:
                assert call(claiming) == call(emails), (call, claim)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.splitlines()[-1] == "ok"


# Each case makes its arguments, then lowers the address-space limit to what
# is in use plus `budget` bytes, which holds Python's own temporary copy of one
# big string but not the module's copy of it as well, and makes two calls.
OUT_OF_MEMORY = {
    "one huge str": (
        "big = 'x' * (64 << 20)",
        96 << 20,
        ["vesko.extract_features(big)", "vesko.RustEnsemble.load(big)"],
    ),
    "many large strs": (
        "big = ['y' * (8 << 20)] * 64",
        100 << 20,
        ["vesko.extract_features_batch(big)", "ensemble.predict_batch(big)"],
    ),
    "a sequence without end": (
        """
        class Endless:
            item = 'z' * (1 << 20)
            def __len__(self):
                return 1
            def __getitem__(self, index):
                return self.item
        big = Endless()
        """,
        64 << 20,
        ["ensemble.predict_proba_batch(big)", "vesko.extract_features_batch(big)"],
    ),
    "a huge keyword name": (
        "big = {'k' * (64 << 20): 1}",
        96 << 20,
        ["vesko.extract_features(**big)", "ensemble.predict_with_base_models(**big)"],
    ),
}


@pytest.mark.skipif(isolated.SANITIZED, reason="AddressSanitizer aborts on a refused operator new")
@pytest.mark.parametrize("case", OUT_OF_MEMORY)
def test_running_out_of_memory_copying_arguments_raises_memory_error(model_dir, case):
    setup, budget, calls = OUT_OF_MEMORY[case]
    code = f"""
        import resource, textwrap
        import vesko

        def in_use():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        ensemble = vesko.RustEnsemble.load({model_dir!r})
        ensemble.predict_batch(["warm up", "the pool"])
        vesko.extract_features_batch(["and the", "features"])
        exec(textwrap.dedent({setup!r}))
        _, ceiling = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = []
        for call in {calls!r}:
            resource.setrlimit(resource.RLIMIT_AS, (in_use() + {budget}, ceiling))
            try:
                eval(call)
                outcomes.append("returned")
            except MemoryError:
                outcomes.append("MemoryError")
            resource.setrlimit(resource.RLIMIT_AS, (ceiling, ceiling))
        del big
        print(*outcomes, len(vesko.extract_features("still working")))
    """
    result = isolated.run(code)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.split() == ["MemoryError", "MemoryError", "29"]
