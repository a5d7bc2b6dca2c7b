"""A one-node Slurm cluster for the tests: Debian's munged, slurmctld and
slurmd started in a scratch folder (configuration, state, spool, logs, pid
files, munge key and socket), used through slurm-client's commands with
SLURM_CONF pointing at it, and stopped by the process ids started here.

    from local_slurm import local_slurm   # the pytest fixture

    def test_x(local_slurm):
        job = local_slurm.sbatch("--wrap", "true")
        states = local_slurm.wait_jobs([job], timeout=60)

The node is `localhost` (127.0.0.1) with 2 CPUs; controller and node listen
on free high ports of 127.0.0.1. No accounting: jobs are followed with
squeue and, once ended, `scontrol show job` (the controller keeps ended
jobs for MinJobAge seconds)."""
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

PROGRAMS = ("mungekey", "munged", "munge", "slurmctld", "slurmd", "sbatch", "squeue",
            "sinfo", "scontrol", "scancel")
PACKAGES = "munge slurmctld slurmd slurm-client"
# the daemons are in /usr/sbin, which a user's PATH may lack
PATH = os.environ.get("PATH", os.defpath) + ":/usr/sbin:/sbin"
START_SECONDS = 30  # the node idle after this long at most, else the test fails
STOP_SECONDS = 10  # SIGTERM, then SIGKILL after this long

CONF = """\
ClusterName=pdsplit-test
SlurmctldHost=localhost
SlurmctldPort={ctld_port}
SlurmdPort={slurmd_port}
SlurmUser={user}
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={munge_socket}
StateSaveLocation={folder}/state
SlurmdSpoolDir={folder}/spool
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/builtin
# a job starts within a second of its submission or of another's end
SchedulerParameters=batch_sched_delay=0,sched_min_interval=100000
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
MinJobAge=300
NodeName=localhost NodeAddr=127.0.0.1 NodeHostname=localhost CPUs=2 RealMemory={memory} State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
"""


def free_ports(count):
    """Ports of 127.0.0.1 that nothing listens on now."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def memory_mb():
    """The machine's memory in MB, as slurmd counts it (less a margin)."""
    with open("/proc/meminfo") as f:
        kb = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
    return max(kb // 1024 - 256, 256)


def tail(path, lines=15):
    try:
        text = Path(path).read_text(errors="replace").splitlines()
    except OSError as e:
        return f"--- {path}: {e}"
    return f"--- {path} (last {lines} lines)\n" + "\n".join(text[-lines:])


class LocalSlurm:
    """A running cluster: `env` is the environment for slurm-client's
    commands (SLURM_CONF set), `folder` its scratch folder."""

    def __init__(self, folder, munge_folder):
        self.folder = folder
        self.munge_folder = munge_folder
        self.conf = folder / "slurm.conf"
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("SLURM_")}
        self.env["SLURM_CONF"] = str(self.conf)
        self.env["PATH"] = PATH
        self.processes = {}  # name: Popen

    def logs(self):
        names = ["munged.log", "slurmctld.log", "slurmd.log"]
        return "\n".join(tail(self.munge_folder / n if n == "munged.log" else self.folder / n)
                         for n in names)

    def run(self, *args, check=True):
        done = subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=30)
        if check and done.returncode != 0:
            raise AssertionError(f"{' '.join(args)} exited {done.returncode}: "
                                 f"{done.stderr.strip()}\n{self.logs()}")
        return done

    def sbatch(self, *args):
        """Submits a batch job (sbatch's own options and script or --wrap); its id."""
        return self.run("sbatch", "--parsable", *args).stdout.strip().split(";")[0]

    def jobs(self, job_ids):
        """{job id (`A_T` for array task T of job A): (state, exit code)}."""
        found = {}
        for job in job_ids:
            out = self.run("scontrol", "-o", "show", "job", str(job)).stdout
            for line in out.splitlines():
                f = dict(re.findall(r"(\w+)=(\S*)", line))
                key = f["JobId"]
                if f.get("ArrayTaskId"):
                    key = f"{f['ArrayJobId']}_{f['ArrayTaskId']}"
                found[key] = (f["JobState"], f["ExitCode"])
        return found

    def wait_jobs(self, job_ids, timeout):
        """Waits until every job (and array task) of job_ids has ended; their
        `jobs()`. Fails after timeout seconds with the queue and the logs."""
        ids = ",".join(str(j) for j in job_ids)
        deadline = time.monotonic() + timeout
        while True:
            queue = self.run("squeue", "-h", "-j", ids, "-o", "%i %T %r").stdout.strip()
            if not queue:
                return self.jobs(job_ids)
            if time.monotonic() > deadline:
                raise AssertionError(f"jobs {ids} not ended after {timeout} s:\n{queue}\n"
                                     f"{self.logs()}")
            time.sleep(0.2)

    def start(self, name, args, log):
        # a daemon in the foreground, killed with this process should the run
        # be cut short (a time limit's os._exit) before stop() could end it
        if shutil.which("setpriv"):
            args = ["setpriv", "--pdeathsig", "KILL", "--", *args]
        out = open(log, "ab")
        self.processes[name] = subprocess.Popen(
            args, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
            start_new_session=True)
        out.close()

    def wait_for(self, what, ready):
        deadline = time.monotonic() + START_SECONDS
        while not ready():
            dead = [f"{n} exited {p.returncode}" for n, p in self.processes.items()
                    if p.poll() is not None]
            if dead or time.monotonic() > deadline:
                why = ", ".join(dead) or f"not after {START_SECONDS} s"
                raise AssertionError(f"local Slurm: {what}: {why}\n{self.logs()}")
            time.sleep(0.1)

    def stop(self):
        """Ends the jobs left, then the daemons by process id (SIGTERM, SIGKILL
        after STOP_SECONDS); fails if a daemon or a job process outlives it."""
        if "slurmctld" in self.processes and self.processes["slurmctld"].poll() is None:
            self.run("scancel", "--full", f"--user={os.getuid()}", check=False)
            deadline = time.monotonic() + STOP_SECONDS
            while self.run("squeue", "-h", check=False).stdout.strip():
                if time.monotonic() > deadline:
                    break
                time.sleep(0.2)
        for name in ("slurmd", "slurmctld", "munged"):
            process = self.processes.get(name)
            if process is None or process.poll() is not None:
                continue
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(STOP_SECONDS)
        left = self.leftovers()
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if left:
            raise AssertionError(f"local Slurm: processes left after the stop: {left}")

    def leftovers(self):
        """Processes still running with this cluster's SLURM_CONF (slurmstepd,
        job scripts) or its munge socket: ids."""
        marks = [f"\0SLURM_CONF={self.conf}\0".encode(), str(self.munge_folder).encode()]
        left = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit() or int(entry.name) == os.getpid():
                continue
            try:
                text = b"\0" + (entry / "environ").read_bytes() + (entry / "cmdline").read_bytes()
                state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if state != "Z" and any(m in text for m in marks):
                left.append(int(entry.name))
        return left


def skip_reason():
    missing = [p for p in PROGRAMS if shutil.which(p, path=PATH) is None]
    if missing:
        return f"Slurm not installed ({', '.join(missing)} missing; Debian: {PACKAGES})"
    if os.geteuid() != 0:
        return "a local Slurm needs root (slurmd starts jobs as their user)"
    return None


@contextmanager
def running_slurm(folder):
    """A LocalSlurm started in folder (empty), stopped on exit."""
    # munged wants every folder above its socket searchable by all; pytest's
    # scratch folders are private (0700), so the key and socket live apart.
    munge_folder = Path(tempfile.mkdtemp(prefix="pdsplit-munge-", dir="/tmp"))
    munge_folder.chmod(0o755)
    cluster = LocalSlurm(folder, munge_folder)
    try:
        _start(cluster)
        yield cluster
    finally:
        try:
            cluster.stop()
        finally:
            shutil.rmtree(munge_folder, ignore_errors=True)


def _start(cluster):
    folder, munge = cluster.folder, cluster.munge_folder
    for sub in ("state", "spool"):
        (folder / sub).mkdir()
    key, sock = munge / "munge.key", munge / "munge.socket"
    subprocess.run(["mungekey", "--create", f"--keyfile={key}"], env=cluster.env, check=True,
                   capture_output=True)
    cluster.start("munged", ["munged", "--foreground", f"--socket={sock}", f"--key-file={key}",
                             f"--pid-file={munge / 'munged.pid'}",
                             f"--seed-file={munge / 'munged.seed'}"], munge / "munged.log")
    cluster.wait_for("munged", lambda: subprocess.run(
        ["munge", "-n", "-S", str(sock)], env=cluster.env, capture_output=True).returncode == 0)
    ctld_port, slurmd_port = free_ports(2)
    user = pwd.getpwuid(os.getuid()).pw_name
    cluster.conf.write_text(CONF.format(ctld_port=ctld_port, slurmd_port=slurmd_port, user=user,
                                        munge_socket=sock, folder=folder, memory=memory_mb()))
    cluster.start("slurmctld", ["slurmctld", "-D", "-f", str(cluster.conf)],
                  folder / "slurmctld.out")
    cluster.start("slurmd", ["slurmd", "-D", "-N", "localhost", "-f", str(cluster.conf)],
                  folder / "slurmd.out")

    def idle():
        state = cluster.run("sinfo", "-h", "-n", "localhost", "-o", "%t", check=False)
        return state.stdout.strip() == "idle"

    cluster.wait_for("node localhost idle", idle)


@pytest.fixture(scope="session")
def local_slurm(tmp_path_factory):
    """A one-node Slurm for the whole run (skipped with the reason when
    Slurm's packages are not installed or the run is not root's)."""
    reason = skip_reason()
    if reason:
        pytest.skip(reason)
    with running_slurm(tmp_path_factory.mktemp("slurm")) as cluster:
        yield cluster
