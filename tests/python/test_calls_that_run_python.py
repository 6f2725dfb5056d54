"""Python code that runs in the middle of a vesko call: the codec error handler
registered as "strict" (called while an e-mail holding a lone surrogate is
encoded), a finalizer of cyclic garbage (started by an allocation inside the
call, on 3.9 to 3.11), a lazy sequence's __getitem__, and the finalizer of an
item or error that vesko drops, whose last reference it holds. That code may call
vesko again, wait with the interpreter lock released while another thread
calls it, fork, or still be waiting when the interpreter exits. Every call must
end with its own result or exception, nothing may hang or crash, and a forked
child must get a working module.

Each case runs in a child interpreter with a pool of four threads, under a
time limit (isolated.run), and prints one line per call it checks."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

import isolated

DEMO = pathlib.Path(__file__).resolve().parents[2] / "models" / "demo"
TIMEOUT = 60  # a case takes about a second
# 3.12 and later run finalizers between bytecodes, never inside a C call.
NESTS = sys.version_info < (3, 12)

# Shared by every child. The e-mails are non-ASCII and a few hundred, so that a
# batch has several blocks and the pool is at work on early ones while later
# ones are still being encoded; the one at LATE is the one the cases change.
PREAMBLE = """
import codecs, gc, os, signal, sys, threading, time
import vesko

WAIT = 20  # the bound of every wait
NESTS = sys.version_info < (3, 12)
ensemble = vesko.RustEnsemble.load(DEMO)
EMAILS = [f"Subject: offre {i}\\n\\nargent gratuit n\\u00b0 {i} " * 20 for i in range(400)]
LATE = 350


def with_late(text, container=list):
    emails = list(EMAILS)
    emails[LATE] = text
    return container(emails)


EXPECTED = ensemble.predict_proba_batch(EMAILS)
EXPECTED_FEATURES = vesko.extract_features_batch(EMAILS)
EXPECTED_REPLACED = ensemble.predict_proba_batch(with_late("lone ? surrogate"))
CONTAINERS = {"list": list, "tuple": tuple}


def check(call, expected):
    '''"ok" when call() returns `expected`, or raises it if it is an exception
    class, else what happened.'''
    try:
        value = call()
    except BaseException as error:
        ok = isinstance(expected, type) and isinstance(error, expected)
        return "ok" if ok else f"raised {type(error).__name__}: {error}"
    return "ok" if value == expected else "wrong result"


def say(line):
    '''One write per line: forked children and threads share the pipe.'''
    os.write(1, f"{line}\\n".encode())


def report(name, call, expected):
    say(f"{name}: {check(call, expected)}")


def inner_calls(who):
    '''A prediction on a multi-block batch and the batch features.'''
    report(f"{who} predict_proba_batch", lambda: ensemble.predict_proba_batch(EMAILS), EXPECTED)
    report(f"{who} extract_features_batch", lambda: vesko.extract_features_batch(EMAILS),
           EXPECTED_FEATURES)


class Finalized:
    def __del__(self):
        run_code()


class FinalizedStr(str):
    def __del__(self):
        run_code()


def raise_carrying_finalized():
    raise TypeError("no e-mail here", Finalized())


# What a lazy sequence gives at LATE for vesko to drop, and the outcome.
DROPPED = {
    "a str": (lambda: FinalizedStr(EMAILS[LATE]), lambda: EXPECTED),
    "an ASCII str": (lambda: FinalizedStr("plain text"),  # viewed in place, kept to the end
                     lambda: ensemble.predict_proba_batch(with_late("plain text"))),
    "not a str": (Finalized, lambda: TypeError),
    "an error": (raise_carrying_finalized, lambda: TypeError),
}


class Lazy:
    '''The e-mails as a sequence that is neither a list nor a tuple, read item by
    item. When LATE is read, run_code() runs, or the item is one of DROPPED.'''
    def __init__(self, dropped=None):
        self.dropped = dropped

    def __len__(self):
        return len(EMAILS)

    def __getitem__(self, index):
        if index != LATE:
            return EMAILS[index]
        if self.dropped:
            return DROPPED[self.dropped][0]()
        run_code()
        return EMAILS[index]


def outer_call(source, container="list"):
    '''The call the code runs inside (arguments bound now), and its outcome: a
    "strict" handler replaces the surrogate with "?", the built-in one raises.'''
    if source == "lazy":
        emails, expected = Lazy(), EXPECTED
    elif source == "dropped":
        emails, expected = Lazy(container), DROPPED[container][1]()
    else:  # a fresh string each time, whatever Python caches for a string
        emails = with_late("".join(["lone \\ud800", " surrogate"]), CONTAINERS[container])
        expected = EXPECTED_REPLACED if source == "handler" else UnicodeEncodeError

    def outer(call=ensemble.predict_proba_batch, emails=emails):
        return call(emails)
    return outer, expected


def use_handler():
    running = []

    def handler(error):
        if running:  # a surrogate of a call that the code makes
            raise error
        running.append(True)
        try:
            run_code()
        finally:
            running.pop()
        return ("?", error.end)
    codecs.register_error("strict", handler)


def wait_for_child(pid):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return say("child status: hung")
    say(f"child status: {os.waitstatus_to_exitcode(status)}")
"""


def run_child(body, threads=4, **names):
    """Runs the preamble, then `body`, in a child with a pool of `threads`
    threads and `names` bound; returns the CompletedProcess."""
    code = "".join(f"{name} = {value!r}\n" for name, value in {"DEMO": str(DEMO), **names}.items())
    code += PREAMBLE + textwrap.dedent(body)
    try:
        return isolated.run(code, timeout=TIMEOUT, env={"RAYON_NUM_THREADS": str(threads)})
    except subprocess.TimeoutExpired as hang:
        pytest.fail(f"no end within {TIMEOUT} s; stdout so far:\n{hang.stdout}\n"
                    f"stderr:\n{hang.stderr[-3000:]}")


def lines_of(result):
    assert result.returncode == 0, (
        f"status {result.returncode}, stdout: {result.stdout!r}, stderr: {result.stderr[-3000:]}")
    return sorted(result.stdout.splitlines())


# What the code does inside the outer call, and the lines its calls print. The
# outer call runs 20 times: what the pool is doing when the code runs varies
# from one call to the next. "sleeps while another thread calls vesko" lets
# the other call run at once or wait for the outer one: the code waits for it
# 0.5 s at most, and the other thread is joined after the outer calls.
REENTRY_ACTIONS = {
    "calls vesko": ["inner predict_proba_batch: ok", "inner extract_features_batch: ok"],
    "calls vesko, which fails": ["failing inner: ok"],
    "joins a thread that calls vesko": [
        "thread predict_proba_batch: ok", "thread extract_features_batch: ok"],
    "sleeps while another thread calls vesko": [
        "other predict_proba_batch: ok", "other extract_features_batch: ok"],
}

REENTRY = """
ran = []  # one entry per run of the code: whether it ran inside the outer call
finished = False  # this round's outer call has ended
stop = False  # the helper thread may end
go, done = threading.Semaphore(0), threading.Semaphore(0)

def other():
    while go.acquire(timeout=WAIT) and not stop:
        inner_calls("other")
        done.release()

def joins_a_thread():
    thread = threading.Thread(target=inner_calls, args=("thread",))
    thread.start()
    thread.join(WAIT)

act = {
    "calls vesko": lambda: inner_calls("inner"),
    "calls vesko, which fails": lambda: report(
        "failing inner", lambda: ensemble.predict_batch(with_late("\\udfff")), UnicodeEncodeError),
    "joins a thread that calls vesko": joins_a_thread,
    "sleeps while another thread calls vesko": lambda: (go.release(), done.acquire(timeout=0.5)),
}[ACTION]

def run_code():
    ran.append(True)
    act()

if SOURCE == "handler":
    use_handler()
elif SOURCE == "finalizer":
    class Garbage:
        '''A cycle whose finalizer runs the code. On 3.9 to 3.11 each run leaves
        the same garbage again until the outer call ends, so that every allocation
        of a tracked object inside the call starts a collection that runs the
        code, the exception that the built-in "strict" handler makes while the
        e-mails are encoded included.'''
        def __init__(self):
            self.cycle = self

        def __del__(self):
            if not NESTS:
                ran.append(False)
                act()
            elif not finished:
                Garbage()
                if sys._getframe(1).f_code is outer.__code__:
                    run_code()

helper = threading.Thread(target=other)
helper.start()
thresholds = gc.get_threshold()
for _ in range(ROUNDS):
    outer, expected = outer_call(SOURCE, CONTAINER)
    if SOURCE == "finalizer":
        finished = False
        gc.collect()
        Garbage()
        if NESTS:
            gc.set_threshold(1)
    report("outer", outer, expected)
    finished = True
    gc.set_threshold(*thresholds)
    gc.collect()  # 3.12 and later run the finalizer here
say(f"ran inside the call: {sorted(set(ran))}")
stop = True
go.release()
helper.join(WAIT)
"""


@pytest.mark.parametrize("action", REENTRY_ACTIONS)
@pytest.mark.parametrize("source, container", [
    ("handler", "list"), ("handler", "tuple"), ("finalizer", "list"), ("finalizer", "tuple"),
    ("lazy", "lazy"), ("dropped", "a str")])
def test_code_run_inside_a_call_uses_vesko(source, container, action):
    result = run_child(REENTRY, SOURCE=source, CONTAINER=container, ACTION=action, ROUNDS=20)
    ran = [NESTS] if source == "finalizer" else [True]
    # Each call runs the code once or more: each line counts once.
    assert sorted(set(lines_of(result))) == sorted(
        {"outer: ok", f"ran inside the call: {ran}", *REENTRY_ACTIONS[action]})


# Another thread forks while the code waits with the lock released: the child's
# calls work and give the same results, and the parent's call finishes. Or the
# code forks itself: the child goes on with the outer call, which must finish
# with the right result, and then calls vesko again.
FORK = """
inside, go = threading.Event(), threading.Event()
pid = None

def run_code():
    global pid
    if FORKER == "the code itself":
        pid = os.fork()
    else:
        inside.set()
        go.wait(WAIT)

if SOURCE == "handler":
    use_handler()
outer, expected = outer_call(SOURCE, CONTAINER)
if FORKER == "the code itself":
    outcome = check(outer, expected)
    say(f"{'child outer' if pid == 0 else 'outer'}: {outcome}")
    if pid == 0:
        inner_calls("child")
        os._exit(0)
else:
    caller = threading.Thread(target=report, args=("outer", outer, expected))
    caller.start()
    if inside.wait(WAIT):
        pid = os.fork()
        if pid == 0:
            inner_calls("child")
            os._exit(0)
go.set()
if pid is not None:
    wait_for_child(pid)
if FORKER != "the code itself":
    caller.join(WAIT)
"""


@pytest.mark.parametrize("source, container, forker", [
    ("handler", "list", "another thread"), ("handler", "tuple", "another thread"),
    ("lazy", "lazy", "another thread"),
    ("handler", "list", "the code itself"), ("handler", "tuple", "the code itself"),
    ("lazy", "lazy", "the code itself")])
def test_fork_while_code_runs_inside_a_call(source, container, forker):
    # AddressSanitizer's allocator (GCC 12's) keeps its locks across fork, so
    # a child forked while pool threads allocate can hang inside it whatever
    # vesko does. Under it a pool of one thread, which has no threads of its
    # own, still leaves tasks handed over before the fork for the child to
    # forget and run again.
    threads = 1 if isolated.SANITIZED else 4
    result = run_child(FORK, threads, SOURCE=source, CONTAINER=container, FORKER=forker)
    expected = ["outer: ok", "child status: 0", "child predict_proba_batch: ok",
                "child extract_features_batch: ok"]
    if forker == "the code itself":
        expected.append("child outer: ok")
    assert lines_of(result) == sorted(expected)


# A daemon thread's call waits in the code for an event that only a finalizer
# run by the interpreter's exit sets: the thread wakes while the interpreter
# is finalizing, and can no longer take the lock. Also in a process that has
# made a sub-interpreter.
EXIT = """
started, wake = threading.Event(), threading.Event()
if SUB_INTERPRETER:  # after which CPython's own check of the lock always answers yes
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interpreters.create()

def run_code():
    started.set()
    wake.wait()

if SOURCE == "handler":
    use_handler()
outer, expected = outer_call(SOURCE, CONTAINER)
threading.Thread(target=report, args=("daemon outer", outer, expected), daemon=True).start()
assert started.wait(WAIT)

class AtExit:
    def __init__(self):
        self.cycle = self

    def __del__(self, wake=wake, write=os.write, sleep=time.sleep):
        wake.set()
        sleep(1)
        write(1, b"exit-time finalizer done\\n")

gc.set_threshold(1_000_000)  # only the collection at exit finds it
AtExit()
say("exiting")
"""


@pytest.mark.parametrize("source, container, sub_interpreter", [
    ("handler", "list", False), ("handler", "tuple", False), ("lazy", "lazy", False),
    ("dropped", "a str", False), ("dropped", "an ASCII str", False),
    ("dropped", "not a str", False), ("dropped", "an error", False),
    ("handler", "list", True), ("lazy", "lazy", True), ("dropped", "an ASCII str", True)])
def test_daemon_thread_inside_a_call_at_exit(source, container, sub_interpreter):
    result = run_child(EXIT, SOURCE=source, CONTAINER=container, SUB_INTERPRETER=sub_interpreter)
    assert (result.returncode, "FATAL" in result.stderr) == (0, False), (
        f"status {result.returncode}, stderr: {result.stderr[-3000:]}")
    assert lines_of(result) == ["exit-time finalizer done", "exiting"]
