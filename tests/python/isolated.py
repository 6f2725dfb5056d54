"""Runs test code in a child interpreter under a time limit and a memory
ceiling, for behaviour that could kill or hang the process: a fault then fails
one test instead of taking the suite or the machine down."""
import os
import pathlib
import resource
import signal
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


def run(code, *, memory_mb=2048, timeout=120, env=None):
    """Runs `code` (dedented) with `python -c`, this directory importable and
    the variables of `env` added to the environment; returns the
    CompletedProcess with text stdout and stderr. The child leads a process
    group of its own: on timeout the whole group is killed, processes it forked
    included, and subprocess.TimeoutExpired is raised with the output so far."""
    env = {**os.environ, **(env or {})}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, env.get("PYTHONPATH")]))
    limit = memory_mb << 20
    preexec = None
    if SANITIZED:
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:hard_rss_limit_mb={memory_mb}"
    else:
        def preexec():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    args = [sys.executable, "-c", textwrap.dedent(code)]
    with subprocess.Popen(args, env=env, preexec_fn=preexec, start_new_session=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        try:
            stdout, stderr = child.communicate(timeout=timeout)
        except BaseException as error:  # a timeout or an interrupt: the group goes too
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except ProcessLookupError:  # every member ended meanwhile
                pass
            if not isinstance(error, subprocess.TimeoutExpired):
                raise
            stdout, stderr = child.communicate()
            raise subprocess.TimeoutExpired(args, timeout, stdout, stderr) from None
    return subprocess.CompletedProcess(args, child.returncode, stdout, stderr)
