"""Processes: a child made by fork() after the parent used the worker pool
evaluates with a pool of its own (same bits as the parent), and the parent's
pool keeps working; children of the spawn and forkserver start methods work
too; a fork while another thread makes the process's very first many-point
call leaves a working child; and an interpreter exits cleanly while daemon
threads are inside long calls.

Each scenario is a script run by a fresh interpreter. Its children arm an
alarm (SIGALRM ends them) and the parent a watchdog, so a child that waits
for workers it does not have fails the test instead of hanging the suite.
Every scenario goes through all entries of ENTRY_POINTS, the calls that run
on the worker pool; covering another one takes one more line there.
"""

import os
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

from support import python_command

pytestmark = pytest.mark.slow

EMULATED = bool(os.environ.get("PWPOLY_TEST_EMULATED"))
CHILD_SECONDS = 120 if EMULATED else 30  # a child's alarm
PARENT_SECONDS = 3 * CHILD_SECONDS  # the scenario's watchdog

COMMON = r"""
import faulthandler, multiprocessing, os, signal, sys, threading, warnings
import numpy as np
import pwpoly
import pwpoly_arrays

# pwpoly_arrays imports scipy.sparse at its first matrix call. A fork while
# another thread is inside that import leaves the child waiting forever on
# the import's module lock, which the thread that held it does not release
# there (CPython's import locks are not reset at fork). That is the import
# system's hazard, not the pool's: import it before any thread starts.
import scipy.sparse

# Forking a process that has threads is the point here, not a mistake.
warnings.filterwarnings("ignore", r".*fork\(\) may lead to deadlocks", DeprecationWarning)
CHILD_SECONDS = int(os.environ["FORK_CHILD_SECONDS"])
DOFS = list(np.random.default_rng(1).random(400))
ev = pwpoly.LegendreBasisEvaluator(3, 100, 1.0)
ev.set_dofs(DOFS)
TIMES = np.random.default_rng(2).uniform(-0.1, 1.1, 50_000)  # 2048 or more: the pool

expansion = pwpoly_arrays.Expansion(np.reshape(DOFS, (4, 100)), 1.0)

ENTRY_POINTS = {
    "evaluate_many": lambda: ev.evaluate_many(TIMES),
    "evaluate_derivative_many": lambda: ev.evaluate_derivative_many(TIMES),
    "Expansion": lambda: expansion(TIMES),
    "Expansion.derivative": lambda: expansion.derivative(TIMES),
    "collocation_matrix": lambda: pwpoly_arrays.collocation_matrix(3, 100, 1.0, TIMES).data,
}


def evaluate_all():
    # The bits of every entry point's result.
    return {name: np.asarray(call(), dtype=np.float64).tobytes() for name, call in ENTRY_POINTS.items()}


def thread_count():
    return len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else None


def arm_child_alarm():
    signal.alarm(CHILD_SECONDS)


def start_watchdog():
    faulthandler.dump_traceback_later(int(os.environ["FORK_PARENT_SECONDS"]), exit=True)
"""

# The parent uses its pool (2 workers), then a multiprocessing fork child
# evaluates; the child's pool is sized by the child's environment (3).
FORK_CHILD = r"""
def child(queue):
    arm_child_alarm()
    os.environ["RAYON_NUM_THREADS"] = "3"
    before = thread_count()
    result = evaluate_all()
    queue.put((result, None if before is None else thread_count() - before))


if __name__ == "__main__":
    start_watchdog()
    before = thread_count()
    expected = evaluate_all()
    parent_workers = None if before is None else thread_count() - before
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    process = ctx.Process(target=child, args=(queue,))
    process.start()
    result, child_workers = queue.get(timeout=CHILD_SECONDS)
    process.join()
    assert process.exitcode == 0, process.exitcode
    assert result == expected, "the child's results differ from the parent's"
    assert (parent_workers, child_workers) in [(2, 3), (None, None)], (parent_workers, child_workers)
    assert evaluate_all() == expected
"""

# os.fork() from the main thread while another thread is inside the pool's
# calls. A child in which the evaluator still holds the borrow of a call in
# progress was forked in the middle of that call; at least one must be.
FORK_DURING_EVALUATION = r"""
if __name__ == "__main__":
    import time

    start_watchdog()
    expected = evaluate_all()
    stop = threading.Event()
    rounds = []
    # The main thread then gets the interpreter lock only when the other
    # thread lets it go, that is while it is inside a call: forks land there,
    # not between its calls, however slow the build makes the code around them.
    sys.setswitchinterval(5.0)

    def evaluate_until_stopped():
        while not stop.is_set():
            rounds.append(evaluate_all() == expected)

    other = threading.Thread(target=evaluate_until_stopped)
    other.start()
    statuses = []
    while len(statuses) < 40 and statuses.count(0) < 3 and set(statuses) <= {0, 3}:
        time.sleep(0.005)
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                arm_child_alarm()
                if evaluate_all() == expected:
                    try:
                        ev.set_dofs(DOFS)
                        status = 3  # forked between two calls
                    except RuntimeError:
                        status = 0  # forked during a call
            finally:
                os._exit(status)
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    after_forks = len(rounds)
    while len(rounds) < after_forks + 2:
        time.sleep(0.001)
    stop.set()
    other.join()
    assert set(statuses) <= {0, 3} and 0 in statuses, statuses
    assert all(rounds), "the parent's results changed"
    assert evaluate_all() == expected
"""

# os.fork() while another thread makes the process's first many-point call
# (and so creates the worker pool). The fork lands at a different moment of
# the pool's creation in each run (FORK_DELAY); the child must evaluate.
FORK_DURING_FIRST_CALL = r"""
if __name__ == "__main__":
    import time

    start_watchdog()
    first = threading.Thread(target=evaluate_all)
    first.start()
    time.sleep(float(os.environ["FORK_DELAY"]))
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            arm_child_alarm()
            evaluate_all()
            status = 0
        finally:
            os._exit(status)
    first.join()
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0, "the child did not evaluate"
"""

# ProcessPoolExecutor with the platform's default start method (fork up to
# Python 3.13 on Linux, forkserver from 3.14), then with spawn.
EXECUTOR = r"""
from concurrent.futures import ProcessPoolExecutor


def task(_):
    arm_child_alarm()
    try:
        return evaluate_all()
    finally:
        signal.alarm(0)


if __name__ == "__main__":
    start_watchdog()
    expected = evaluate_all()
    for method, workers in [(multiprocessing.get_start_method(), 2), ("spawn", 1)]:
        context = multiprocessing.get_context(method)
        with ProcessPoolExecutor(workers, mp_context=context) as executor:
            results = list(executor.map(task, range(2 * workers), timeout=2 * CHILD_SECONDS))
        assert all(result == expected for result in results), method
    assert evaluate_all() == expected
"""


# qemu-user (7.2, the i386 lane) aborts a child of a multi-threaded process
# when the child starts a thread ("qemu_plugin_vcpu_init_hook: assertion
# failed"), with or without pwpoly; the pool's threads make the parent
# multi-threaded.
FORKS_THREADED_PARENT = pytest.mark.skipif(
    EMULATED, reason="qemu-user aborts a thread started in the child of a multi-threaded process"
)


# GCC 12's AddressSanitizer does not take its allocator's locks around fork()
# as glibc's malloc does: when another thread is inside malloc at the moment
# of the fork, the child inherits a held size-class lock and hangs in its
# first allocation (seen in gdb: SizeClassAllocator64::GetFromAllocator ->
# Mutex::Lock, about 1 fork in 20). The scenarios that fork while other
# threads work therefore run in every lane but ASan's (the release builds on
# both architectures and the debug interpreter), where a hang is the module's.
FORKS_WHILE_THREADS_ALLOCATE = pytest.mark.skipif(
    os.environ.get("PWPOLY_SANITIZER") == "asan",
    reason="ASan's allocator is not fork-safe while other threads allocate (the child can inherit its held lock)",
)


@pytest.mark.parametrize(
    "scenario",
    [
        pytest.param(FORK_CHILD, id="fork-child", marks=FORKS_THREADED_PARENT),
        pytest.param(
            FORK_DURING_EVALUATION,
            id="fork-during-evaluation",
            marks=[FORKS_THREADED_PARENT, FORKS_WHILE_THREADS_ALLOCATE],
        ),
        pytest.param(EXECUTOR, id="executor"),
    ],
)
def test_children_evaluate_and_the_parent_keeps_working(scenario, tmp_path):
    run = run_scenarios(tmp_path, scenario, [{}])[0]
    assert run.returncode == 0, run.stdout + run.stderr


def run_scenarios(tmp_path, scenario, variants, args=()):
    """Runs the scenario once per dict of extra environment variables, up to four at a time."""
    script = tmp_path / "scenario.py"
    script.write_text(COMMON + scenario)
    env = dict(
        os.environ,
        RAYON_NUM_THREADS="2",
        FORK_CHILD_SECONDS=str(CHILD_SECONDS),
        FORK_PARENT_SECONDS=str(PARENT_SECONDS),
    )
    env.pop("RAYON_RS_NUM_CPUS", None)
    with ThreadPoolExecutor(4) as pool:
        return list(
            pool.map(
                lambda extra: subprocess.run(
                    python_command() + [str(script), *args],
                    env={**env, **extra},
                    capture_output=True,
                    text=True,
                    timeout=PARENT_SECONDS + 60,
                ),
                variants,
            )
        )


@FORKS_THREADED_PARENT
@FORKS_WHILE_THREADS_ALLOCATE
def test_a_fork_during_the_first_many_point_call_leaves_a_working_child(tmp_path):
    delays = [f"{k * 0.0001:.4f}" for k in range(12)]
    runs = run_scenarios(tmp_path, FORK_DURING_FIRST_CALL, [{"FORK_DELAY": d} for d in delays])
    failed = [(d, r.stdout + r.stderr) for d, r in zip(delays, runs) if r.returncode != 0]
    assert failed == []


# The interpreter exits while a daemon thread loops over one kind of long
# call, so that at exit it is usually inside the call, without the
# interpreter lock. Up to Python 3.13 the thread is then ended by
# pthread_exit when it asks for the lock back; from 3.14 it waits forever.
# Either way the process must exit with status 0.
EXIT_DURING_LONG_CALL = r"""
if __name__ == "__main__":
    import time

    LONG_CALLS = dict(
        ENTRY_POINTS,
        prolongation_matrix=lambda: pwpoly_arrays.prolongation_matrix(3, 20_000, 40_000),
        lagrange_points=lambda: pwpoly_arrays.lagrange_points(3, 500_000, 1.0),
        pwpoly_prolongation=lambda: pwpoly.lagrange_prolongation_matrix(20_000, 40_000, 3),
    )
    call = LONG_CALLS[sys.argv[1]]

    def loop():
        while True:
            call()

    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.1)
"""
EXIT_KINDS = [
    "evaluate_many",
    "Expansion",
    "collocation_matrix",
    "prolongation_matrix",
    "lagrange_points",
    "pwpoly_prolongation",
]
EXIT_RUNS = 3 if EMULATED else 5 if os.environ.get("PWPOLY_SANITIZER") else 20


@pytest.mark.parametrize("kind", EXIT_KINDS)
def test_exit_while_daemon_threads_are_inside_long_calls(kind, tmp_path):
    # A daemon thread stopped at exit keeps what it holds (its thread state,
    # the objects of its frames): LeakSanitizer would report that, by design.
    quiet = {"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"} if "ASAN_OPTIONS" in os.environ else {}
    runs = run_scenarios(tmp_path, EXIT_DURING_LONG_CALL, [quiet] * EXIT_RUNS, args=[kind])
    statuses = [r.returncode for r in runs]
    assert statuses == [0] * EXIT_RUNS, next(r.stderr for r in runs if r.returncode != 0)
