"""Dumping another running CPython process: ``python -m vossick_dump --pid PID``.

The target writes the dump itself, with the source of ``vossick_dump._walk``
handed to it as a file (it need not have this package installed). The source
is started in the target one of two ways:

- ``sys.remote_exec`` where this Python and the target's are 3.14 or newer:
  the target's main thread runs it at its next safe point;
- otherwise gdb attaches (``gdb --batch``) and, on a thread that sits in a
  system call without the interpreter lock (a sleeping or waiting thread),
  takes the lock with ``PyGILState_Ensure``, runs a bootstrap with
  ``PyRun_SimpleString``, releases the lock and detaches. When every thread is
  busy in user code, it queues the bootstrap with ``Py_AddPendingCall``
  instead, which the main thread runs between two bytecodes.

The bootstrap only ``exec``s the source in a fresh namespace (nothing is bound
in ``__main__``) and swallows every exception, since an exception escaping a
pending call or a debugger's call would surface in the target's own code. The
target reports through files in a private directory: ``claim`` when a run
starts (at most one run, and none after the deadline, so that a pending call
that comes late does nothing), ``status`` when it is done. Progress is shown
here, from the size of the partial dump, never on the target's streams.
"""

from __future__ import annotations

import __future__
import os
import shutil
import subprocess
import sys
import tempfile
import time

from . import _walk

_POLL_SECONDS = 0.1
_PROGRESS_SECONDS = 2.0
_CAP_SYS_PTRACE = 19


class AttachError(Exception):
    """Dumping another process failed; the message says why, for the user."""


# Runs inside gdb's own Python. Prints "vossick: WORD ..." lines for dump_process.
_GDB_SCRIPT = r'''
import gdb

PID, BOOT = {pid}, {boot!r}

def say(*words):
    print("vossick:", *words, flush=True)

def value(expression):
    return int(gdb.parse_and_eval(expression))

def in_system_call(inferior, thread, arch):
    thread.switch()
    pc = value("$pc")
    try:
        if "x86-64" in arch:
            return bytes(inferior.read_memory(pc - 2, 2)) == b"\x0f\x05"  # syscall
        if "aarch64" in arch:
            return bytes(inferior.read_memory(pc - 4, 4)) == b"\x01\x00\x00\xd4"  # svc #0
    except gdb.MemoryError:
        pass
    return False

def run():
    inferior = gdb.selected_inferior()
    if inferior.pid != PID:
        say("error", "attach")
        return
    try:
        version = gdb.parse_and_eval("(char *)Py_GetVersion()").string()
    except gdb.error:
        say("error", "not-python")
        return
    say("python", version.split()[0])
    major, minor = (int(part) for part in version.split(".")[:2])
    if (major, minor) < (3, 10):
        return
    if value("(int)Py_IsInitialized()") != 1:
        say("error", "not-initialized")
        return
    arch = gdb.selected_frame().architecture().name()
    threads = sorted(inferior.threads(), key=lambda thread: (thread.ptid[1] != PID, thread.num))
    chosen = None
    for thread in threads:
        if in_system_call(inferior, thread, arch) and value("(int)PyGILState_Check()") == 0:
            chosen = thread
            break
    (chosen or threads[0]).switch()
    errno_at = value("(long)__errno_location()")
    errno = bytes(inferior.read_memory(errno_at, 4))
    size = len(BOOT) + 1
    buffer = value("(long)mmap(0, %d, 3, 34, -1, 0)" % size)  # PROT_READ|PROT_WRITE, MAP_PRIVATE|MAP_ANONYMOUS
    if buffer in (-1, 0xFFFFFFFFFFFFFFFF):
        say("error", "mmap")
        return
    inferior.write_memory(buffer, BOOT + b"\0")
    if chosen is not None:
        say("direct", chosen.ptid[1])
        state = value("(int)PyGILState_Ensure()")
        result = value("(int)PyRun_SimpleString((char *)%d)" % buffer)
        gdb.parse_and_eval("(void)PyGILState_Release(%d)" % state)
        value("(int)munmap(%d, %d)" % (buffer, size))
        say("ran", result)
    else:
        result = value("(int)Py_AddPendingCall((void *)PyRun_SimpleString, (void *)%d)" % buffer)
        say("pending", result)
    inferior.write_memory(errno_at, errno)

try:
    run()
except gdb.error as error:
    say("error", "gdb", str(error).replace("\n", " "))
finally:
    try:
        gdb.execute("detach")
    except gdb.error:
        pass
'''

# The source's `from __future__ import annotations` is compiled in as a flag
# instead: run as a statement, it would import __future__ into the target.
_FUTURE_IMPORT = "from __future__ import annotations\n"
# The file is closed by hand (an unclosed one warns, and a warning would leave
# __warningregistry__ in __main__), through a lambda that binds no name there.
_BOOTSTRAP = (
    "try:\n"
    " exec((lambda source: (compile(source.read(), {script!r}, 'exec', {flags}, True), source.close())[0])"
    "(open({script!r}, 'rb')), {{'__name__': 'vossick_dump._walk'}})\n"
    "except BaseException:\n"
    " pass\n"
)


def _proc_status(pid: int) -> dict[str, str]:
    try:
        with open(f"/proc/{pid}/status", encoding="utf-8", errors="replace") as status:
            return dict(line.rstrip("\n").split(":\t", 1) for line in status if ":\t" in line)
    except FileNotFoundError:
        return {}


def _alive(pid: int) -> bool:
    state = _proc_status(pid).get("State", "X")
    return not state.startswith(("Z", "X"))


def _ptrace_denial(pid: int) -> str:
    """Why this process may not trace `pid`, as far as it can be told from outside."""
    own_caps = int(_proc_status(os.getpid()).get("CapEff", "0"), 16)
    may_trace_any = bool(own_caps >> _CAP_SYS_PTRACE & 1)
    try:
        with open("/proc/sys/kernel/yama/ptrace_scope", encoding="ascii") as scope_file:
            scope = int(scope_file.read())
    except (OSError, ValueError):
        scope = 0
    if scope >= 3:
        return "kernel.yama.ptrace_scope is 3: no process may be traced on this machine"
    if scope == 2 and not may_trace_any:
        return "kernel.yama.ptrace_scope is 2: only a process with CAP_SYS_PTRACE (root) may trace"
    if scope == 1 and not may_trace_any:
        return ("kernel.yama.ptrace_scope is 1: only a parent may trace its children; run as root, "
                "or set it to 0 with `sysctl kernel.yama.ptrace_scope=0`")
    uids = _proc_status(pid).get("Uid", "").split()
    if uids and int(uids[1]) != os.geteuid() and not may_trace_any:
        return f"the process belongs to another user (uid {uids[1]}); run as that user or as root"
    return "the system refused (a container without CAP_SYS_PTRACE, or a seccomp profile that forbids ptrace)"


def _check_target(pid: int) -> None:
    status = _proc_status(pid)
    if not status:
        raise AttachError(f"no process {pid}")
    state = status.get("State", "")
    if state.startswith(("Z", "X")):
        raise AttachError(f"process {pid} has exited")
    if state.startswith(("T", "t")):
        raise AttachError(f"process {pid} is stopped; resume it first (kill -CONT {pid})")
    if pid == os.getpid():
        raise AttachError("a process cannot dump itself with --pid; call vossick_dump.dump_to_path instead")
    try:
        same_files = os.readlink(f"/proc/{pid}/ns/mnt") == os.readlink("/proc/self/ns/mnt")
    except OSError:  # not ours to look at: ptrace will say
        same_files = True
    if not same_files:
        raise AttachError(f"process {pid} sees other files (another mount namespace, e.g. a container); "
                          "run vossick_dump inside it")


def _prepare(pid: int, output: str, labels: bool, timeout: float) -> tuple[str, str]:
    """A private directory holding the walk's source and the bootstrap; returns it and the bootstrap text."""
    work = tempfile.mkdtemp(prefix="vossick-dump-")
    status = _proc_status(pid)
    uid, gid = int(status["Uid"].split()[1]), int(status["Gid"].split()[1])
    if (uid, gid) != (os.geteuid(), os.getegid()):
        try:
            os.chown(work, uid, gid)  # the target writes its claim and status here
        except OSError:
            shutil.rmtree(work, ignore_errors=True)
            raise AttachError(f"cannot attach to process {pid}: {_ptrace_denial(pid)}") from None
    source_path = _walk.__file__
    with open(source_path, encoding="utf-8") as source:
        code = source.read().replace(_FUTURE_IMPORT, "\n", 1)
    request = {"directory": work, "output": output, "labels": labels, "deadline": time.time() + timeout}
    script = os.path.join(work, "vossick_dump_walk.py")
    with open(script, "w", encoding="utf-8") as out:
        out.write(f"{code}\n\n_remote_main({request!r})\n")
    boot = _BOOTSTRAP.format(script=script, flags=__future__.annotations.compiler_flag)
    with open(os.path.join(work, "bootstrap.py"), "w", encoding="utf-8") as out:
        out.write(boot)
    for name in os.listdir(work):
        os.chmod(os.path.join(work, name), 0o644)
    os.chmod(work, 0o755)
    return work, boot


def _start_with_remote_exec(pid: int, work: str) -> bool:
    """Asks the target (3.14+) to run the bootstrap; False where this cannot be used."""
    remote_exec = getattr(sys, "remote_exec", None)
    if remote_exec is None:
        return False
    try:
        remote_exec(pid, os.path.join(work, "bootstrap.py"))
    except Exception:  # an older target, or remote debugging disabled in it: gdb may still do
        return False
    return True


def _gdb_command(pid: int, script: str) -> list[str]:
    gdb = shutil.which("gdb")
    if gdb is None:
        raise AttachError(
            f"gdb is needed to dump process {pid} (install Debian's gdb: apt-get install gdb), "
            "or run both this Python and the target's on 3.14 or newer"
        )
    return [
        gdb, "--batch", "--nx", "-iex", "set debuginfod enabled off", "-iex", "set auto-load off",
        "-iex", "set pagination off", "-iex", "set confirm off",
        "-ex", "handle all nostop noprint pass", "-ex", "set unwindonsignal on",
        "-p", str(pid), "-x", script,
    ]


class _Reporter:
    """Progress of the target's dump, read from the size of its partial file."""

    def __init__(self, pid: int, output: str, enabled: bool) -> None:
        self.pid = pid
        self.partial = f"{output}.{pid}.partial"
        self.enabled = enabled
        self.started = time.monotonic()
        self.last = self.started

    def tick(self) -> None:
        now = time.monotonic()
        if self.enabled and now - self.last >= _PROGRESS_SECONDS:
            self.last = now
            try:
                size = os.path.getsize(self.partial)
            except OSError:
                return
            print(f"vossick_dump: process {self.pid} has written {size / 2**20:.1f} MiB", file=sys.stderr, flush=True)


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8") as text:
            return text.read()
    except OSError:
        return None


def _claim(work: str) -> bool:
    """Takes the run for this side; False when the target has already started it."""
    try:
        os.close(os.open(os.path.join(work, "claim"), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        return False
    return True


def _wait(pid: int, work: str, gdb: subprocess.Popen[bytes] | None, reporter: _Reporter,
          deadline: float) -> tuple[str | None, str]:
    """Waits until the target has reported (and gdb has finished); returns the
    target's status (None when it did not run) and what gdb said.

    Ctrl-C claims a run that has not started, or asks a running one to stop
    through the cancel file, then still waits for gdb: gdb must never be
    stopped while it is inside the target.
    """
    interrupted = False
    log = os.path.join(work, "gdb.log")
    while True:
        try:
            status = _read(os.path.join(work, "status"))
            if gdb is None or gdb.poll() is not None:
                said = (_read(log) or "") if gdb is not None else ""
                if status is not None or (gdb is not None and "vossick: pending" not in said):
                    break
                if not _alive(pid):
                    raise AttachError(f"process {pid} exited during the dump")
                if time.time() > deadline and _claim(work):
                    break
            reporter.tick()
            time.sleep(_POLL_SECONDS)
        except KeyboardInterrupt:
            if not interrupted:
                interrupted = True
                if not _claim(work):
                    open(os.path.join(work, "cancel"), "w").close()
                print(f"vossick_dump: cancelling; waiting for process {pid} to stop safely",
                      file=sys.stderr, flush=True)
            deadline = 0.0
    if interrupted:
        raise KeyboardInterrupt
    return status, said


def dump_process(pid: int, output: str, *, labels: bool = True, timeout: float = 30.0, progress: bool = True) -> int:
    """Makes the running CPython process `pid` write its heap dump to `output`; returns the object count.

    `timeout` bounds the wait for the dump to start (not for it to finish).
    Raises AttachError with the cause when it cannot be done; the target goes
    on running either way.
    """
    _check_target(pid)
    output = os.path.abspath(output)
    if not os.path.isdir(os.path.dirname(output)):
        raise AttachError(f"no directory {os.path.dirname(output)} for the dump")
    work, boot = _prepare(pid, output, labels, timeout)
    started_at = time.monotonic()
    gdb: subprocess.Popen[bytes] | None = None
    try:
        if not (sys.version_info >= (3, 14) and _start_with_remote_exec(pid, work)):
            script = os.path.join(work, "attach_gdb.py")
            with open(script, "w", encoding="utf-8") as out:
                out.write(_GDB_SCRIPT.format(pid=pid, boot=boot.encode("utf-8")))
            with open(os.path.join(work, "gdb.log"), "wb") as log:
                # A session of its own: Ctrl-C here must not reach gdb while it is inside the target.
                gdb = subprocess.Popen(_gdb_command(pid, script), stdout=log, stderr=subprocess.STDOUT,
                                       stdin=subprocess.DEVNULL, env=dict(os.environ, DEBUGINFOD_URLS=""),
                                       start_new_session=True)
        status, said = _wait(pid, work, gdb, _Reporter(pid, output, progress), time.time() + timeout)
        if status is None:
            raise _gdb_failure(pid, said, timeout)
        if not status.startswith("ok "):
            raise AttachError(f"process {pid} could not write the dump: {status.partition(' ')[2]}")
        count = int(status.split()[1])
        if progress:
            seconds = time.monotonic() - started_at
            print(f"vossick_dump: process {pid} wrote {count:,} objects ({os.path.getsize(output) / 2**20:.1f} MiB)"
                  f" to {output} in {seconds:.2f} s", file=sys.stderr, flush=True)
        return count
    finally:
        if gdb is not None:
            gdb.wait()
        _claim(work)  # a run that has not started by now must never start
        shutil.rmtree(work, ignore_errors=True)
        if not _alive(pid):
            try:
                os.unlink(f"{output}.{pid}.partial")
            except OSError:
                pass


def _gdb_failure(pid: int, said: str, timeout: float) -> AttachError:
    """The error that gdb's output stands for, when the target did not run the dump."""
    facts = {}
    for line in said.splitlines():
        if line.startswith("vossick: "):
            word, _, rest = line[len("vossick: "):].partition(" ")
            facts[word] = rest
    if "ptrace: Operation not permitted" in said or "Could not attach" in said:
        return AttachError(f"cannot attach to process {pid}: ptrace is not permitted ({_ptrace_denial(pid)})")
    if not _alive(pid):
        return AttachError(f"process {pid} exited during the dump")
    error = facts.get("error")
    if error == "not-python":
        return AttachError(f"process {pid} is not a CPython interpreter (it has no Py_GetVersion)")
    if error == "not-initialized":
        return AttachError(f"process {pid} has no running Python interpreter (it is starting or finalising)")
    version = facts.get("python")
    if version and tuple(int(part) for part in version.split(".")[:2]) < (3, 10):
        return AttachError(f"process {pid} runs Python {version}; vossick_dump needs 3.10 or newer")
    if "pending" in facts or "ran" in facts:
        return AttachError(
            f"process {pid} did not start the dump within {timeout:g} s (its interpreter lock was not "
            "free, or its main thread ran no Python code); nothing was written"
        )
    return AttachError(f"gdb could not run the dump in process {pid}:\n{said.strip() or '(gdb said nothing)'}")
