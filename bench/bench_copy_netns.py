#!/usr/bin/env python3
"""Copy benchmark: Velm beside scp and rsync over ssh between two namespaces.

Prints figures only; not a test. Needs root. Uses the namespaces of
tests/e2e/netnslab.py (a link between A and B, a sink for the default route
in each, no way out) and one velmdriver in each with --turn=0. A invites, B
accepts, A shares a folder with B, and B copies from it into a directory of
its own. In the same run, over the same link, B copies the same data with
scp and with rsync -e ssh from an sshd started in A (throwaway host and
client keys; both tools over one ssh connection kept open by ControlMaster).

Three links, each with namespaces, engines and pairing of its own:
  bare   a veth pair;
  20ms   20 ms each way (netdelay: two TAP devices joined by a program that
         holds every frame; this kernel has no netem and no NFQUEUE);
  loss   20 ms each way and 1 % of the frames lost, each direction.

Cases (sizes are options; --cases picks some, --repeat runs them again on
the same pairing):
  fresh  one large file into an empty directory (the first copy after pairing);
  delta  the same file again after a few small spots of it changed (rsync and Velm);
  small  many small files in one folder.

Figures per tool: time, rate, CPU seconds of each side, bytes on the wire
(both ends of the link, from `ip -s link`) per file byte; Velm's peak
resident memory per side. Each case prints Velm's ratios to scp and rsync;
the last lines say which goals are met and give all ratios on one line.

Use Release builds:
  bench_copy_netns.py --driver build/rel/tests/e2e/velmdriver --delayer build/rel/bench/netdelay
With --udp-only Velm's copies run over UDP alone (all TCP stopped once both
UDP transports are up, a capture of TCP that must stay empty); scp and rsync
need TCP and are left out then.
"""

import argparse
import json
import os
import pwd
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netnslab as netns  # noqa: E402

COPY_LIMIT = 7200.0
TICK = os.sysconf("SC_CLK_TCK")
SSH_PORT = 2222
MIB = 1 << 20


# --- Data ----------------------------------------------------------------------

def write_file(path, size):
    with open(path, "wb") as f:
        done = 0
        while done < size:
            part = min(MIB, size - done)
            f.write(os.urandom(part))
            done += part


def same_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(MIB), fb.read(MIB)
            if x != y:
                return False
            if not x:
                return True


def same_tree(a, b):
    names = sorted(os.listdir(a))
    if not os.path.isdir(b) or names != sorted(os.listdir(b)):
        return False
    return all(same_content(os.path.join(a, n), os.path.join(b, n)) for n in names)


def change_spots(path, size, spots, spot_size, seed):
    with open(path, "r+b") as f:
        rng = random.Random(seed)
        for i in range(spots):
            f.seek(int((size - spot_size) * (i + 0.5) / spots))
            f.write(rng.randbytes(spot_size))


# --- Process figures -----------------------------------------------------------

def cpu_of(pid, children=False):
    """CPU seconds of one process (and of its waited-for children)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    # After the name: state is field 3; utime 14, stime 15, cutime 16, cstime 17.
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / TICK


def namespace_cpu(network, side, skip):
    """CPU seconds of every process in a namespace but those in skip,
    children they reaped included."""
    pids = netns.run(["ip", "netns", "pids", network.names[side]], check=False).stdout.split()
    return sum(cpu_of(int(p), children=True) for p in pids if int(p) not in skip)


def peak_rss_mb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def link_bytes(network):
    """Bytes sent by A's and by B's end of the link, as `ip -s link` counts them."""
    sent = {}
    for side in ("A", "B"):
        out = network.ns(side, "ip", "-s", "-j", "link", "show", network.veth[side]).stdout
        sent[side] = json.loads(out)[0]["stats64"]["tx"]["bytes"]
    return sent


class Measure:
    """Wall time, link bytes and CPU seconds per side around one copy."""

    def __init__(self, network, cpu):
        self.network = network
        self.cpu = cpu  # () -> {"A": seconds, "B": seconds}

    def __enter__(self):
        self.bytes0 = link_bytes(self.network)
        self.cpu0 = self.cpu()
        self.children0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.t0 = time.monotonic()
        return self

    def __exit__(self, *exc):
        self.seconds = time.monotonic() - self.t0
        cpu1 = self.cpu()
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        bytes1 = link_bytes(self.network)
        self.wire = sum(bytes1[s] - self.bytes0[s] for s in ("A", "B"))
        self.cpu_sides = {s: cpu1[s] - self.cpu0[s] for s in ("A", "B")}
        # The tool itself runs as this script's child in B.
        self.cpu_sides["B"] += (children.ru_utime + children.ru_stime
                                - self.children0.ru_utime - self.children0.ru_stime)
        return False


# --- The link with delay -------------------------------------------------------

class DelayedNetwork(netns.Network):
    """Namespaces joined by two TAP devices and netdelay between them."""

    def __init__(self, delayer, delay_ms, loss_percent):
        super().__init__()
        short = self.veth["A"][3:]
        self.veth = {"A": "tpA" + short, "B": "tpB" + short}
        self.delayer = delayer
        self.delay_ms = delay_ms
        self.loss_percent = loss_percent
        self.process = None

    def make_link(self):
        for side in ("A", "B"):
            self.ns(side, "ip", "tuntap", "add", "dev", self.veth[side], "mode", "tap")

    def create(self):
        super().create()
        self.process = subprocess.Popen(
            [self.delayer, self.names["A"], self.veth["A"], self.names["B"], self.veth["B"],
             str(self.delay_ms), str(self.loss_percent), str(random.randrange(1 << 30))],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if line != "ready":
            raise netns.Failure("netdelay did not start: %s %s" % (line, self.process.stderr.read()))

    def destroy(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                out, _ = self.process.communicate(timeout=10)
                netns.log("netdelay: %s" % out.strip())
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        super().destroy()


# --- ssh -------------------------------------------------------------------------

class Ssh:
    """An sshd in A and one client connection from B, shared by scp and rsync."""

    def __init__(self, network, work):
        self.network = network
        self.dir = os.path.join(work, "ssh")
        os.makedirs(self.dir, mode=0o700)
        for key in ("host", "client"):
            netns.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(self.dir, key)])
        shutil.copy(os.path.join(self.dir, "client.pub"), os.path.join(self.dir, "authorized_keys"))
        server_config = os.path.join(self.dir, "sshd_config")
        with open(server_config, "w") as f:
            f.write("\n".join([
                "Port %d" % SSH_PORT, "ListenAddress %s" % network.address["A"],
                "HostKey %s" % os.path.join(self.dir, "host"),
                "AuthorizedKeysFile %s" % os.path.join(self.dir, "authorized_keys"),
                "PidFile none", "StrictModes no", "UsePAM no", "UseDNS no",
                "PermitRootLogin prohibit-password", "PasswordAuthentication no",
                "KbdInteractiveAuthentication no", "LogLevel ERROR",
                "Subsystem sftp /usr/lib/openssh/sftp-server", ""]))
        self.config = os.path.join(self.dir, "ssh_config")
        with open(self.config, "w") as f:
            f.write("\n".join([
                "Host velmbench", "  HostName %s" % network.address["A"], "  Port %d" % SSH_PORT,
                "  User root", "  IdentityFile %s" % os.path.join(self.dir, "client"),
                "  IdentitiesOnly yes", "  UserKnownHostsFile %s" % os.path.join(self.dir, "known_hosts"),
                "  StrictHostKeyChecking accept-new", "  BatchMode yes", "  Compression no",
                "  ControlMaster auto", "  ControlPath %s" % os.path.join(self.dir, "cm"),
                "  ControlPersist yes", ""]))
        os.makedirs("/run/sshd", exist_ok=True)  # sshd's privilege separation directory
        # The remote commands run in the user's shell, which reads the
        # startup files of the user's home: a slow one would count against
        # every copy. sshd gets a mount namespace of its own in which an
        # empty directory covers that home.
        home = pwd.getpwuid(os.geteuid()).pw_dir
        empty_home = os.path.join(self.dir, "home")
        os.makedirs(empty_home)
        self.server = subprocess.Popen(
            ["ip", "netns", "exec", network.names["A"], "unshare", "--mount", "--propagation", "private",
             "sh", "-c", 'mount --bind "$1" "$2" && exec /usr/sbin/sshd -D -e -f "$3"', "sshd",
             empty_home, home, server_config],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.dir, "sshd.log"), "w"))
        self.master = None

        def connected():
            if self.server.poll() is not None:
                raise netns.Failure("sshd ended: %s" % open(os.path.join(self.dir, "sshd.log")).read())
            if self.master is None or self.master.poll() is not None:
                self.master = subprocess.Popen(
                    self.in_b(["ssh", "-F", self.config, "-M", "-N", "velmbench"]),
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(0.3)
            return netns.run(self.in_b(["ssh", "-F", self.config, "-O", "check", "velmbench"]),
                             check=False).returncode == 0
        netns.wait_for("the ssh connection from B to A", 60, connected, interval=0.3)

    def in_b(self, args):
        return ["ip", "netns", "exec", self.network.names["B"]] + args

    def cpu(self, skip):
        return {"A": namespace_cpu(self.network, "A", skip),
                "B": cpu_of(self.master.pid, children=True)}

    def scp(self, source, destination, tree=False):
        netns.run(self.in_b(["scp", "-F", self.config, "-q"] + (["-r"] if tree else [])
                            + ["velmbench:" + source, destination]))

    def rsync(self, source, destination):
        netns.run(self.in_b(["rsync", "-rt", "-e", "ssh -F " + self.config, "velmbench:" + source, destination]))

    def stop(self):
        for process in (self.master, self.server):
            netns.stop_process(process)


# --- One link --------------------------------------------------------------------

class Link:
    """Engines paired over one network, an ssh connection beside them."""

    def __init__(self, args, network, work, drivers):
        self.args = args
        self.network = network
        self.work = work
        logs = os.path.join(work, "logs")
        os.makedirs(logs)
        configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B")}
        self.a = netns.Driver(args.driver, network, "A", "A", configs["A"], logs, 1)
        drivers.append(self.a)
        self.b = netns.Driver(args.driver, network, "B", "B", configs["B"], logs, 1)
        drivers.append(self.b)
        self.a.wait_ready()
        self.b.wait_ready()
        self.ssh = None if args.udp_only else Ssh(network, work)

    def pair(self, shared):
        password = "bench %04x" % random.randrange(0x10000)
        url = self.a.must("invite " + password)["url"]
        accepted = time.monotonic()
        self.b.must("accept %s %s" % (url, password))
        b_on_a, self.a_on_b = netns.wait_link_up(self.a, self.b, accepted, "pairing")
        self.a.must("share %s %s" % (b_on_a, shared))
        answers = []

        def share_listed():
            answers.append(self.b.ask("list %s %s" % (self.a_on_b, shared)))
            return answers[-1] if answers[-1].get("ok") else None
        netns.wait_for("B to list the folder A shared", netns.CONDITION_LIMIT, share_listed, last=answers)
        if self.args.udp_only:
            return udp_only(self.network, self.a, self.b, b_on_a, self.a_on_b)
        return []

    def driver_pids(self):
        return {self.a.process.pid, self.b.process.pid}

    def velm_cpu(self):
        return {"A": cpu_of(self.a.process.pid), "B": cpu_of(self.b.process.pid)}

    def velm(self, source, target):
        # The driver's CPU is read from /proc; the children's rusage of this
        # script stays as it is.
        with Measure(self.network, self.velm_cpu) as m:
            answer = self.b.ask("copy %s %s %s" % (self.a_on_b, source, target), COPY_LIMIT)
        if not answer.get("ok") or answer.get("result") != "finished":
            raise netns.Failure("Velm's copy of %s failed: %s" % (source, answer))
        m.seconds = answer["seconds"]
        m.retries = answer["retries"]
        return m

    def tool(self, name, source, target, tree=False):
        skip = self.driver_pids()
        with Measure(self.network, lambda: self.ssh.cpu(skip)) as m:
            if name == "scp":
                self.ssh.scp(source, target, tree)
            else:
                self.ssh.rsync(source, target)
        return m

    def peak_rss(self):
        return {"A": peak_rss_mb(self.a.process.pid), "B": peak_rss_mb(self.b.process.pid)}

    def close(self):
        if self.ssh:
            self.ssh.stop()
        self.a.quit()
        self.b.quit()


def udp_only(network, a, b, b_on_a, a_on_b):
    """Waits for both UDP transports, stops TCP, and returns running captures
    of TCP on both ends of the link."""
    def udp_up():
        states = []
        for driver, peer in ((a, b_on_a), (b, a_on_b)):
            transports = driver.must("udp " + peer)["transports"]
            states.append(bool(transports) and transports[0]["state"] == 0)
        return all(states)
    netns.wait_for("both UDP transports to come up", 120, udp_up, interval=0.5)
    network.block_tcp()
    captures = []
    for side in ("A", "B"):
        capture = netns.Capture(network, side, network.veth[side], "link end of %s (TCP only)" % side, ("tcp",))
        capture.wait_listening()
        captures.append(capture)
    netns.log("TCP stopped in both namespaces; Velm's copies run over UDP alone")
    return captures


# --- Cases -----------------------------------------------------------------------

def describe(name, m, size, extra=""):
    return "%s %.2f s, %.1f MB/s, CPU A %.2f s B %.2f s, wire %.3f per file byte%s" % (
        name, m.seconds, size / 1e6 / m.seconds, m.cpu_sides["A"], m.cpu_sides["B"], m.wire / size, extra)


class Results:
    def __init__(self):
        self.ratios = []   # (label, value)
        self.goals = []    # (text, met)
        self.peak = {"A": 0.0, "B": 0.0}

    def ratio(self, label, value):
        self.ratios.append((label, value))
        return value

    def goal(self, text, met):
        self.goals.append((text, met))


def fresh_case(link, label, source, size, target, results, goal_scp=None):
    velm_dir, scp_dir, rsync_dir = (os.path.join(target, t) for t in ("velm", "scp", "rsync"))
    for d in (velm_dir, scp_dir, rsync_dir):
        os.makedirs(d)
    name = os.path.basename(source)
    v = link.velm(source, velm_dir)
    ok = "ok" if same_content(source, os.path.join(velm_dir, name)) else "DIFFERS"
    netns.log("%s fresh %d MiB: %s" % (label, size // MIB, describe("velm", v, size, ", %s, %d restarts"
                                                                   % (ok, v.retries))))
    wire_goal = "%s: wire bytes per file byte of the first copy after pairing %.3f <= 1.05" % (label, v.wire / size)
    if not link.ssh:
        results.goal(wire_goal, v.wire / size <= 1.05)
        return v, None
    s = link.tool("scp", source, scp_dir)
    r = link.tool("rsync", source, rsync_dir + "/")
    # Where every frame's headers count (the TAP devices of the delayed
    # links), scp's own figure says how much of it is headers.
    results.goal("%s (scp on this link: %.3f)" % (wire_goal, s.wire / size), v.wire / size <= 1.05)
    netns.log("%s fresh %d MiB: %s" % (label, size // MIB, describe("scp", s, size)))
    netns.log("%s fresh %d MiB: %s" % (label, size // MIB, describe("rsync", r, size)))
    to_scp = results.ratio("%s.fresh.scp" % label, s.seconds / v.seconds)
    to_rsync = results.ratio("%s.fresh.rsync" % label, r.seconds / v.seconds)
    cpu = {side: v.cpu_sides[side] / max(s.cpu_sides[side], 1e-3) for side in ("A", "B")}
    netns.log("%s fresh %d MiB: ratio %.2f of scp, %.2f of rsync; CPU %.1fx scp's in A, %.1fx in B"
              % (label, size // MIB, to_scp, to_rsync, cpu["A"], cpu["B"]))
    if goal_scp is not None:
        results.goal("%s fresh: %.2f of scp >= %.1f" % (label, to_scp, goal_scp), to_scp >= goal_scp)
    if label == "bare":
        results.goal("bare fresh: CPU %.1fx / %.1fx scp's <= 2" % (cpu["A"], cpu["B"]), max(cpu.values()) <= 2.0)
    return v, r


def delta_case(link, label, args, source, target, results, goal_time):
    change_spots(source, args.bytes, args.spots, args.spot_size, random.randrange(1 << 30))
    velm_dir, rsync_dir = (os.path.join(target, t) for t in ("velm", "rsync"))
    name = os.path.basename(source)
    v = link.velm(source, velm_dir)
    ok = "ok" if same_content(source, os.path.join(velm_dir, name)) else "DIFFERS"
    what = "%s delta (%d spots of %d bytes)" % (label, args.spots, args.spot_size)
    netns.log("%s: velm %.2f s, wire %.2f MB, CPU A %.2f s B %.2f s, %s, %d restarts"
              % (what, v.seconds, v.wire / 1e6, v.cpu_sides["A"], v.cpu_sides["B"], ok, v.retries))
    if not link.ssh:
        return
    r = link.tool("rsync", source, rsync_dir + "/")
    ok = "ok" if same_content(source, os.path.join(rsync_dir, name)) else "DIFFERS"
    netns.log("%s: rsync %.2f s, wire %.2f MB, CPU A %.2f s B %.2f s, %s"
              % (what, r.seconds, r.wire / 1e6, r.cpu_sides["A"], r.cpu_sides["B"], ok))
    time_ratio = results.ratio("%s.delta.rsync" % label, r.seconds / v.seconds)
    wire_ratio = v.wire / max(r.wire, 1)
    netns.log("%s: ratio %.2f of rsync (time %.2fx rsync's), wire %.2fx rsync's"
              % (what, time_ratio, v.seconds / r.seconds, wire_ratio))
    results.goal("%s delta: time %.2fx rsync's <= %.1f" % (label, v.seconds / r.seconds, goal_time),
                 v.seconds / r.seconds <= goal_time)
    results.goal("%s delta: wire %.2fx rsync's <= 1.5" % (label, wire_ratio), wire_ratio <= 1.5)


def small_case(link, label, source, count, size, target, results, goal_rsync):
    velm_dir, scp_dir, rsync_dir = (os.path.join(target, t) for t in ("velm", "scp", "rsync"))
    for d in (velm_dir, scp_dir, rsync_dir):
        os.makedirs(d, exist_ok=True)
    name = os.path.basename(source)
    v = link.velm(source, velm_dir)
    ok = "ok" if same_tree(source, os.path.join(velm_dir, name)) else "DIFFERS"
    what = "%s %d files of %d bytes" % (label, count, size)
    netns.log("%s: velm %.2f s, %.0f files/s, wire %.2f MB, CPU A %.2f s B %.2f s, %s, %d restarts"
              % (what, v.seconds, count / v.seconds, v.wire / 1e6, v.cpu_sides["A"], v.cpu_sides["B"], ok,
                 v.retries))
    if not link.ssh:
        return
    figures = {}
    for tool, dest in (("scp", scp_dir), ("rsync", rsync_dir + "/")):
        m = link.tool(tool, source, dest, tree=True)
        figures[tool] = m
        netns.log("%s: %s %.2f s, %.0f files/s, wire %.2f MB, CPU A %.2f s B %.2f s"
                  % (what, tool, m.seconds, count / m.seconds, m.wire / 1e6, m.cpu_sides["A"], m.cpu_sides["B"]))
    to_scp = results.ratio("%s.small.scp" % label, figures["scp"].seconds / v.seconds)
    to_rsync = results.ratio("%s.small.rsync" % label, figures["rsync"].seconds / v.seconds)
    netns.log("%s: ratio %.2f of scp, %.2f of rsync" % (what, to_scp, to_rsync))
    results.goal("%s small files: %.2f of rsync >= %.1f" % (label, to_rsync, goal_rsync), to_rsync >= goal_rsync)


def prepare(args, shared):
    """The files every link copies from A's share."""
    prepared = time.monotonic()
    os.makedirs(shared)
    write_file(os.path.join(shared, "big.bin"), args.bytes)
    write_file(os.path.join(shared, "lossy.bin"), args.loss_bytes)
    for folder, count in (("many", args.files), ("few", args.delay_files)):
        os.makedirs(os.path.join(shared, folder))
        for i in range(count):
            write_file(os.path.join(shared, folder, "file-%05d.bin" % i), args.file_size)
    netns.log("set-up: %d + %d bytes, %d + %d files of %d bytes (%.1f s)"
              % (args.bytes, args.loss_bytes, args.files, args.delay_files, args.file_size,
                 time.monotonic() - prepared))


def run_link(args, label, network, shared, work, drivers, results):
    netns.log("--- link %s: namespaces %s (%s) and %s (%s)" % (label, network.names["A"], network.address["A"],
                                                             network.names["B"], network.address["B"]))
    target = os.path.join(work, "target")
    os.makedirs(target)
    big = os.path.join(shared, "lossy.bin" if label == "loss" else "big.bin")
    size = args.loss_bytes if label == "loss" else args.bytes
    files = {"bare": args.files, "20ms": args.delay_files}.get(label, 0)
    many = os.path.join(shared, "many" if label == "bare" else "few")
    link = Link(args, network, work, drivers)
    captures = link.pair(shared)
    goal_scp = {"20ms": 0.9, "loss": 0.8, "bare": 0.7}[label]
    cases = args.cases.split(",")
    for run in range(args.repeat):
        fresh_target = os.path.join(target, "fresh%d" % run)
        if "fresh" in cases:
            fresh_case(link, label, big, size, fresh_target, results, goal_scp)
        elif "delta" in cases and label != "loss":
            # The delta starts from the file as both tools left it: a local copy.
            for tool in ("velm", "rsync"):
                os.makedirs(os.path.join(fresh_target, tool))
                copy = os.path.join(fresh_target, tool, os.path.basename(big))
                shutil.copy(big, copy)
                # Older than the change to come, whatever the clock's grain.
                stamp = time.time() - 3600
                os.utime(copy, (stamp, stamp))
        if "delta" in cases and label != "loss":
            delta_case(link, label, args, big, fresh_target, results, 1.5 if label == "bare" else 2.0)
        if files and "small" in cases:
            small_case(link, label, many, files, args.file_size, os.path.join(target, "small%d" % run), results,
                       0.5 if label == "bare" else 0.3)
    for capture in captures:
        capture.stop()
        packets = [line for line in capture.lines if line.strip()]
        if packets:
            raise netns.Failure("%d TCP packets crossed %s:\n  %s"
                                % (len(packets), capture.label, "\n  ".join(packets[:10])))
        netns.log("traffic: %s: 0 TCP packets" % capture.label)
    rss = link.peak_rss()
    netns.log("%s: Velm's peak resident memory: A %.1f MB, B %.1f MB" % (label, rss["A"], rss["B"]))
    for side in ("A", "B"):
        results.peak[side] = max(results.peak[side], rss[side])
    link.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="the velmdriver executable (a Release build)")
    parser.add_argument("--delayer", help="the netdelay executable (default: beside the driver's build)")
    parser.add_argument("--links", default="bare,20ms,loss", help="which links, comma-separated")
    parser.add_argument("--bytes", type=int, default=512 * MIB, help="size of the large file")
    parser.add_argument("--loss-bytes", type=int, default=64 * MIB, help="size of the file on the lossy link")
    parser.add_argument("--spots", type=int, default=10, help="changed spots before the delta copy")
    parser.add_argument("--spot-size", type=int, default=4096, help="bytes of each changed spot")
    parser.add_argument("--files", type=int, default=2000, help="number of small files on the bare link")
    parser.add_argument("--delay-files", type=int, default=200, help="number of small files with delay")
    parser.add_argument("--file-size", type=int, default=4096, help="size of each small file")
    parser.add_argument("--delay-ms", type=float, default=20.0, help="delay each way")
    parser.add_argument("--loss", type=float, default=1.0, help="percent of frames lost on the lossy link")
    parser.add_argument("--udp-only", action="store_true",
                        help="stop all TCP once the UDP transports are up (needs nftables; no scp or rsync)")
    parser.add_argument("--cases", default="fresh,delta,small",
                        help="which cases, comma-separated (a delta without fresh starts from a local copy)")
    parser.add_argument("--repeat", type=int, default=1, help="run the cases this many times on each link")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()
    delayer = args.delayer or os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(args.driver)))), "bench", "netdelay")

    drivers = []
    work = tempfile.mkdtemp(prefix="velm-bench-netns-")
    results = Results()
    started = time.monotonic()
    network = None
    try:
        if os.geteuid() != 0:
            raise netns.Failure("network namespaces need root")
        if not os.access(args.driver, os.X_OK):
            raise netns.Failure("no driver at %s" % args.driver)
        links = args.links.split(",")
        if any(link != "bare" for link in links) and not os.access(delayer, os.X_OK):
            raise netns.Failure("no netdelay at %s (--delayer)" % delayer)
        for tool in ("ssh", "scp", "rsync", "ssh-keygen", "/usr/sbin/sshd"):
            if not args.udp_only and not shutil.which(tool):
                raise netns.Failure("%s is missing (scripts/install-deps.sh installs it)" % tool)
        # The drivers keep their settings out of root's home.
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, "run"), mode=0o700)
        os.environ.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                           "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
                           "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                           "XDG_RUNTIME_DIR": os.path.join(home, "run")})
        netns.remove_stale_namespaces()
        shared = os.path.join(work, "shared")
        prepare(args, shared)
        for label in links:
            if label == "bare":
                network = netns.Network()
            elif label == "20ms":
                network = DelayedNetwork(delayer, args.delay_ms, 0)
            elif label == "loss":
                network = DelayedNetwork(delayer, args.delay_ms, args.loss)
            else:
                raise netns.Failure("unknown link %s" % label)
            network.create()
            link_work = os.path.join(work, label)
            os.makedirs(link_work)
            run_link(args, label, network, shared, link_work, drivers, results)
            for driver in drivers:
                driver.kill()
            drivers.clear()
            network.destroy()
            network = None
            if not args.keep:
                shutil.rmtree(link_work, ignore_errors=True)
        netns.log("Velm's peak resident memory over all links: A %.1f MB, B %.1f MB (goal < 64)"
                  % (results.peak["A"], results.peak["B"]))
        results.goal("memory: peak %.1f MB < 64" % max(results.peak.values()), max(results.peak.values()) < 64)
        for text, met in results.goals:
            netns.log("goal %s: %s" % ("met" if met else "NOT met", text))
        netns.log("total %.0f s" % (time.monotonic() - started))
        netns.log("ratios (Velm's speed over the other tool's): "
                  + " ".join("%s=%.2f" % (label, value) for label, value in results.ratios))
        return 0
    except netns.Failure as failure:
        netns.log("FAIL: %s" % failure)
        for driver in drivers:
            tail = driver.log_tail()
            if tail.strip():
                netns.log("--- stderr of %s (%s) ---\n%s" % (driver.name, driver.log_path, tail))
        return 1
    finally:
        for driver in drivers:
            driver.kill()
        if network:
            network.destroy()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
