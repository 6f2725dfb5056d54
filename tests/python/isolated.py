"""Runs test code in a child interpreter under a time limit and a memory
ceiling, for behaviour that once killed or hung the process: a regression
then fails one test instead of taking the suite or the machine down."""
import os
import pathlib
import resource
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))


# Under AddressSanitizer (the sanitized module's run preloads its runtime) the
# address space holds terabytes of shadow reservations, so no RLIMIT_AS fits
# and the sanitizer's own RSS ceiling stands in for it. The sanitizer also
# reports a refused `operator new` as a fatal error where the plain build
# throws std::bad_alloc, so out-of-memory paths can only run without it.
_MAPS = pathlib.Path("/proc/self/maps")
SANITIZED = _MAPS.exists() and "libasan" in _MAPS.read_text()


def run(code, *, memory_mb=2048, timeout=120):
    """Runs `code` (dedented) with `python -c`, this directory importable;
    returns the CompletedProcess with text stdout and stderr."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, env.get("PYTHONPATH")]))
    limit = memory_mb << 20
    preexec = None
    if SANITIZED:
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:hard_rss_limit_mb={memory_mb}"
    else:
        def preexec():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          preexec_fn=preexec, capture_output=True, text=True, timeout=timeout)
