"""Network namespaces for end-to-end tests of velmdriver.

Network makes namespaces A and B joined by a veth pair with private
addresses; each also has its loopback and a "sink" (a veth pair of its own,
both ends inside) that takes the default route, so that a packet for any other
address is captured there and dropped. Nothing leads out of them. Capture runs
tcpdump on one interface; Driver runs one velmdriver in a namespace and speaks
its JSON line protocol.
"""

import argparse
import json
import os
import shutil
import queue
import random
import re
import signal
import subprocess
import tempfile
import threading
import time

LINK_UP_LIMIT = 90.0     # seconds from accepting the invitation to LinkUp on both sides
START_LIMIT = 90.0       # a sanitizer build on a busy machine starts slowly
ANSWER_LIMIT = 60.0      # one command; a listing may wait for the client's own timeout
CONDITION_LIMIT = 60.0   # a share reaching the server, a drive list being read
PREFIX = "velme2e"
# Each instance listens on a port of its own, so a link whose one connection
# the other side dialled must still carry the replies.
PORTS = {"A": 41001, "B": 41002, "C": 41003}

class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


def run(args, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and result.returncode != 0:
        raise Failure("%s failed (exit %d): %s" % (" ".join(args), result.returncode,
                                                   (result.stderr or result.stdout).strip()))
    return result


def wait_for(what, limit, probe, interval=0.2, last=None):
    """Calls probe until it returns something true; fails after limit seconds.
    last, when given, is a list whose final element the failure shows."""
    deadline = time.monotonic() + limit
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() >= deadline:
            seen = " (last seen: %s)" % (last[-1],) if last else ""
            raise Failure("timed out after %.0f s waiting for %s%s" % (limit, what, seen))
        time.sleep(interval)


def stop_process(process, limit=10):
    """Asks a child process to end, kills it after limit seconds."""
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# --- Namespaces --------------------------------------------------------------

def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def remove_namespace(name):
    """Ends what still runs in a namespace of this test and deletes it."""
    pids = run(["ip", "netns", "pids", name], check=False).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    run(["ip", "netns", "delete", name], check=False)


def remove_stale_namespaces():
    """Namespaces left by an earlier run of this test that was killed."""
    listing = run(["ip", "netns", "list"], check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        match = re.match(r"^%s-[A-C]-(\d+)-[0-9a-f]+$" % PREFIX, name)
        if match and not pid_alive(int(match.group(1))):
            log("removing namespace %s of an earlier run" % name)
            remove_namespace(name)


class Network:
    """Namespaces A and B, a veth pair between them, a sink in each."""

    def __init__(self, extra_addresses=None):
        """extra_addresses: side -> list of further "address/prefix" texts that
        the side's end of the pair carries beside its private address."""
        tag = "%d-%04x" % (os.getpid(), random.randrange(0x10000))
        subnet = random.randrange(1, 255)
        self.names = {"A": "%s-A-%s" % (PREFIX, tag), "B": "%s-B-%s" % (PREFIX, tag)}
        self.address = {"A": "10.213.%d.1" % subnet, "B": "10.213.%d.2" % subnet}
        short = "%04x" % random.randrange(0x10000)
        # Interface names: at most 15 characters, none that the engine takes
        # for a virtual machine's interface.
        self.veth = {"A": "veA" + short, "B": "veB" + short}
        self.sink = {"A": "skA" + short, "B": "skB" + short}
        self.sink_end = {"A": "spA" + short, "B": "spB" + short}
        self.extra_addresses = {side: list((extra_addresses or {}).get(side, ())) for side in ("A", "B")}
        self.created = []

    def ns(self, side, *args):
        return run(["ip", "netns", "exec", self.names[side]] + list(args))

    def create(self):
        for side in ("A", "B"):
            result = run(["ip", "netns", "add", self.names[side]], check=False)
            if result.returncode != 0:
                raise Failure("this machine refuses to create network namespaces "
                              "(ip netns add %s: %s); the test needs root with CAP_SYS_ADMIN and "
                              "CAP_NET_ADMIN" % (self.names[side], result.stderr.strip()))
            self.created.append(self.names[side])
        self.make_link()
        for side in ("A", "B"):
            # IPv4 only: no link-local IPv6 chatter on the pair.
            self.ns(side, "sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1")
            self.ns(side, "sysctl", "-q", "-w", "net.ipv6.conf.default.disable_ipv6=1")
            self.ns(side, "ip", "link", "set", "lo", "up")
            self.ns(side, "ip", "addr", "add", self.address[side] + "/24", "dev", self.veth[side])
            for extra in self.extra_addresses[side]:
                self.ns(side, "ip", "addr", "add", extra, "dev", self.veth[side])
            self.ns(side, "ip", "link", "set", self.veth[side], "up")
            # The sink: a veth pair of its own whose far end, without an
            # address, takes in what the default route sends and drops it.
            self.ns(side, "ip", "link", "add", self.sink[side], "type", "veth", "peer", "name", self.sink_end[side])
            self.ns(side, "ip", "link", "set", self.sink[side], "arp", "off")
            self.ns(side, "ip", "link", "set", self.sink_end[side], "up")
            self.ns(side, "ip", "link", "set", self.sink[side], "up")
            self.ns(side, "ip", "route", "add", "default", "dev", self.sink[side])

    def make_link(self):
        """The pair of interfaces, self.veth["A"] in A and self.veth["B"] in B,
        that joins the namespaces; a subclass may put another link there."""
        run(["ip", "link", "add", self.veth["A"], "netns", self.names["A"], "type", "veth",
             "peer", "name", self.veth["B"], "netns", self.names["B"]])

    def block_tcp(self):
        """Stops all TCP in both namespaces (nftables): what the instances send
        is answered at once with a reset, so open connections end and new ones
        fail without a packet leaving; what might still come in is dropped.
        Counters record both."""
        for side in ("A", "B"):
            self.ns(side, "nft", "add", "table", "inet", "velmtest")
            self.ns(side, "nft", "add", "chain", "inet", "velmtest", "out",
                    "{ type filter hook output priority 0; policy accept; }")
            self.ns(side, "nft", "add", "chain", "inet", "velmtest", "in",
                    "{ type filter hook input priority 0; policy accept; }")
            # The reset the rule makes goes to the local socket through the
            # loopback; it must pass both chains.
            self.ns(side, "nft", "add", "rule", "inet", "velmtest", "out",
                    "tcp flags & rst == 0 counter reject with tcp reset")
            self.ns(side, "nft", "add", "rule", "inet", "velmtest", "in",
                    'meta l4proto tcp iifname != "lo" counter drop')

    def blocked_tcp(self):
        """TCP packets the rules of block_tcp stopped, per side."""
        counts = {}
        for side in ("A", "B"):
            out = self.ns(side, "nft", "list", "table", "inet", "velmtest").stdout
            counts[side] = sum(int(n) for n in re.findall(r"counter packets (\d+)", out))
        return counts

    def destroy(self):
        for name in self.created:
            remove_namespace(name)
        self.created = []


# --- Packet capture ----------------------------------------------------------

class Capture:
    """tcpdump on one interface of one namespace, lines kept in memory."""

    def __init__(self, network, side, interface, label, expression=()):
        """expression, when given, is a tcpdump filter (such as ("tcp",))."""
        self.label = label
        self.lines = []
        self.stderr = []
        self.listening = threading.Event()
        self.out_done = threading.Event()
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", network.names[side], "tcpdump", "-i", interface, "-n", "-l",
             "-tt", "-Z", "root"] + list(expression),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._read_out, daemon=True).start()
        self.err_thread = threading.Thread(target=self._read_err, daemon=True)
        self.err_thread.start()

    def _read_out(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
        self.out_done.set()

    def _read_err(self):
        for line in self.process.stderr:
            self.stderr.append(line.rstrip("\n"))
            if "listening on" in line:
                self.listening.set()

    def wait_listening(self):
        wait_for("tcpdump (%s) to listen" % self.label, 30,
                 lambda: self.listening.is_set() or self.process.poll() is not None)
        if not self.listening.is_set():
            raise Failure("tcpdump on %s did not start: %s" % (self.label, " ".join(self.stderr)))

    def stop(self):
        """Stops the capture; returns the number of packets the kernel dropped."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.out_done.wait(10)
        self.err_thread.join(10)
        dropped = None
        for line in self.stderr:
            match = re.match(r"^(\d+) packets? dropped by kernel", line)
            if match:
                dropped = int(match.group(1))
        return dropped

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


IP_LINE = re.compile(r"^\d+\.\d+ IP (\d+\.\d+\.\d+\.\d+)(?:\.\d+)? > (\d+\.\d+\.\d+\.\d+)(?:\.\d+)?: (.*)$")
ARP_LINE = re.compile(r"^\d+\.\d+ ARP, (?:Request who-has ([\d.]+) tell ([\d.]+)|Reply ([\d.]+) is-at )")


def check_veth_capture(capture, allowed):
    """Every packet between the allowed addresses; returns (packets, tcp packets)."""
    bad = []
    tcp = 0
    lines = [line for line in capture.lines if line.strip()]
    for line in lines:
        match = IP_LINE.match(line)
        if match:
            addresses = [match.group(1), match.group(2)]
            if match.group(3).startswith("Flags"):
                tcp += 1
        else:
            arp = ARP_LINE.match(line)
            if not arp:
                bad.append(line)
                continue
            addresses = [a for a in arp.groups() if a]
        if any(a not in allowed for a in addresses):
            bad.append(line)
    if bad:
        raise Failure("traffic on %s left the test's namespaces:\n  %s" % (capture.label, "\n  ".join(bad[:20])))
    return len(lines), tcp


# --- Driver processes --------------------------------------------------------

def write_network_settings(config_dir, stun_servers=(), network_settings=()):
    """Points the outside addresses of config.ini at the test's own fixtures:
    the STUN servers given ("host:port"), none by default; network_settings
    are further (key, value) pairs of the [Network] group. Other settings in
    the file stay."""
    os.makedirs(config_dir, exist_ok=True)
    path = os.path.join(config_dir, "config.ini")
    lines = []
    if os.path.exists(path):
        with open(path) as f:
            lines = f.read().splitlines()
    kept = []
    section = None
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("[") and stripped.endswith("]"):
            section = stripped
        if section == "[Network]":
            continue
        kept.append(line)
    kept += ["[Network]", "stunServers=" + ", ".join(stun_servers)]
    kept += ["%s=%s" % (key, value) for key, value in network_settings]
    kept.append("")
    with open(path, "w") as f:
        f.write("\n".join(kept))


class Driver:
    """One velmdriver in a namespace; one JSON line answers each command.
    Its config.ini names no outside address but the STUN servers given."""

    def __init__(self, binary, network, side, namespace_side, config_dir, log_dir, generation,
                 extra_args=("--turn=0",), stun_servers=(), network_settings=()):
        self.name = side
        write_network_settings(config_dir, stun_servers, network_settings)
        self.lines = queue.Queue()
        self.log_path = os.path.join(log_dir, "%s-%d.stderr" % (side, generation))
        self.log_file = open(self.log_path, "w")
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", network.names[namespace_side], binary,
             "--config-dir=" + config_dir, "--com-listen-port=%d" % PORTS[side]] + list(extra_args),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log_file, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def _next(self, limit, what):
        try:
            line = self.lines.get(timeout=limit)
        except queue.Empty:
            raise Failure("%s: no answer within %.0f s to %s" % (self.name, limit, what))
        if line is None:
            raise Failure("%s: the driver ended (exit %s) while waiting for %s; its log:\n%s"
                          % (self.name, self.process.wait(), what, self.log_tail()))
        try:
            return json.loads(line)
        except ValueError:
            raise Failure("%s: not an answer: %r" % (self.name, line))

    def wait_ready(self):
        answer = self._next(START_LIMIT, "start-up")
        if answer.get("event") != "ready":
            raise Failure("%s: expected the ready event, got %s" % (self.name, answer))
        return time.monotonic() - self.started

    def ask(self, command, limit=ANSWER_LIMIT):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return self._next(limit, repr(command))

    def must(self, command, limit=ANSWER_LIMIT):
        answer = self.ask(command, limit)
        if not answer.get("ok"):
            raise Failure("%s: %r failed: %s" % (self.name, command, answer))
        return answer

    def peers(self):
        return self.must("peers")["peers"]

    def quit(self):
        self.must("quit")
        try:
            code = self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            raise Failure("%s: did not exit within 60 s after quit" % self.name)
        self.log_file.close()
        if code != 0:
            raise Failure("%s: exit code %d after quit; its log:\n%s" % (self.name, code, self.log_tail()))

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if not self.log_file.closed:
            self.log_file.close()

    def log_tail(self, lines=60):
        try:
            with open(self.log_path) as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""


def only_peer(driver):
    peers = driver.peers()
    return peers[0] if len(peers) == 1 else None


def wait_link_up(a, b, since, label):
    """Waits until A and B each list exactly one peer, LinkUp; returns their uuids."""
    def up(driver):
        peer = only_peer(driver)
        return peer if peer and peer["state"] == "LinkUp" else None
    remaining = LINK_UP_LIMIT - (time.monotonic() - since)
    wait_for("LinkUp on both sides (%s)" % label, max(remaining, 0),
             lambda: up(a) and up(b), interval=0.1)
    now = time.monotonic()
    log("timing: %s: LinkUp %.1f s after A started, %.1f s after B started, %.1f s after %s"
        % (label, now - a.started, now - b.started, now - since,
           "the invitation was accepted" if label == "pairing" else "the restart"))
    return only_peer(a)["uuid"], only_peer(b)["uuid"]


def start_drivers(binary, network, work, drivers, sides=("A", "B")):
    """Starts one driver in each side's namespace, its settings in
    work/config-<side> and its output in work/logs; returns them once each
    is ready, and logs how long that took."""
    logs = os.path.join(work, "logs")
    os.makedirs(logs, exist_ok=True)
    started = []
    for side in sides:
        driver = Driver(binary, network, side, side, os.path.join(work, "config-" + side), logs, 1)
        drivers.append(driver)
        started.append(driver)
    log("start-up: " + ", ".join("%s ready in %.1f s" % (d.name, d.wait_ready()) for d in started))
    return started


def pair_by_code(a, b):
    """A's window makes an invitation and B's dialog takes it with its code;
    returns B's uuid on A and A's on B once both are LinkUp."""
    invitation = a.must("create")
    accepted = time.monotonic()
    if not b.must("accept %s %s" % (invitation["url"], invitation["code"]))["valid"]:
        raise Failure("B's dialog did not take the invitation")
    return wait_link_up(a, b, accepted, "pairing")


def pair_by_password(a, b, password):
    """A invites with a password and B accepts; returns B's uuid on A and
    A's on B once both are LinkUp."""
    url = a.must("invite " + password)["url"]
    accepted = time.monotonic()
    b.must("accept %s %s" % (url, password))
    return wait_link_up(a, b, accepted, "pairing")


# --- A test's frame ----------------------------------------------------------

def test_arguments(description):
    """The arguments every namespace test takes: its driver, and --keep."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--driver", required=True, help="the velmdriver executable")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    return parser.parse_args()


def fail_on_signals():
    """ctest ends a test that runs too long with a signal: the test's own
    clean-up runs then too. restore_signals() undoes it."""
    def stop(signum, frame):
        raise Failure("stopped by signal %d" % signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)


def restore_signals():
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def preflight(driver, tools=("ip", "tcpdump")):
    """Fails with the reason when the test cannot run here; removes what an
    earlier, killed run left behind."""
    if os.geteuid() != 0:
        raise Failure("network namespaces need root; this test runs as uid %d" % os.geteuid())
    for tool in tools:
        if not shutil.which(tool):
            raise Failure("%s is missing (scripts/install-deps.sh installs it)" % tool)
    if not os.access(driver, os.X_OK):
        raise Failure("no driver at %s" % driver)
    remove_stale_namespaces()


def report_failure(failure, drivers):
    """Prints the failure and the end of each driver's log; returns the exit
    code of a failed test."""
    log("FAIL: %s" % failure)
    for driver in drivers:
        tail = driver.log_tail()
        if tail.strip():
            log("--- stderr of %s (%s) ---\n%s" % (driver.name, driver.log_path, tail))
    return 1


def route_multicast(network):
    """Multicast leaves by the pair, never by the sink."""
    for side in ("A", "B"):
        network.ns(side, "ip", "link", "set", "lo", "multicast", "on")
        network.ns(side, "ip", "route", "add", "224.0.0.0/4", "dev", network.veth[side])


def capture_both_sides(network, captures):
    """Starts a capture on each side's pair end ("veth") and sink ("sink"),
    appends them to captures as (kind, capture) and waits until each listens."""
    for side in ("A", "B"):
        captures.append(("veth", Capture(network, side, network.veth[side], "veth of " + side)))
        captures.append(("sink", Capture(network, side, network.sink[side], "sink of " + side)))
    for _, capture in captures:
        capture.wait_listening()


def stop_capture(capture):
    """Stops a capture; fails when the kernel dropped packets of it."""
    dropped = capture.stop()
    if dropped is None or dropped != 0:
        raise Failure("the capture on %s is incomplete (dropped: %s): %s"
                      % (capture.label, dropped, " ".join(capture.stderr)))


def check_sink_capture(capture):
    """Fails when a stopped capture on a sink saw any packet."""
    packets = [line for line in capture.lines if line.strip()]
    if packets:
        raise Failure("traffic for an address outside the namespaces (%s):\n  %s"
                      % (capture.label, "\n  ".join(packets[:20])))
    log("traffic: %s: 0 packets" % capture.label)


def clean_up(args, work, network, drivers, captures=(), processes=()):
    """A test's finally: drivers, helper processes and captures killed, the
    namespaces removed, the work directory too unless --keep."""
    restore_signals()
    for driver in drivers:
        driver.kill()
    for process in processes:
        stop_process(process)
    for capture in captures:
        (capture[1] if isinstance(capture, tuple) else capture).kill()
    if network:
        network.destroy()
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)


class Lab:
    """What one namespace test holds while it runs; run_test() cleans it up."""

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.network = None
        self.drivers = []
        self.captures = []
        self.processes = []


def run_test(args, prefix, body, tools=("ip", "tcpdump"), multicast=False, capture=False):
    """A namespace test's main(): a signal ends it as a failure, the work
    directory (prefix, kept with --keep) and the namespaces are made (with
    multicast routed onto the pair, and with capture_both_sides() into
    lab.captures), then body(lab) runs. Returns the exit code once everything
    is cleaned up."""
    fail_on_signals()
    lab = Lab(args, tempfile.mkdtemp(prefix=prefix))
    try:
        preflight(args.driver, tools)
        lab.network = Network()
        lab.network.create()
        if multicast:
            route_multicast(lab.network)
        if capture:
            log("namespaces %s (%s) and %s (%s)" % (lab.network.names["A"], lab.network.address["A"],
                                                    lab.network.names["B"], lab.network.address["B"]))
            capture_both_sides(lab.network, lab.captures)
        body(lab)
        return 0
    except Failure as failure:
        return report_failure(failure, lab.drivers)
    finally:
        clean_up(args, lab.work, lab.network, lab.drivers, lab.captures, lab.processes)


def check_captures(captures, allowed):
    """Stops the (kind, capture) pairs of capture_both_sides: the sinks must
    have seen nothing, the others only addresses in allowed. Returns (kind,
    capture, packets, tcp) for each of the others."""
    checked = []
    for kind, capture in captures:
        stop_capture(capture)
        if kind == "sink":
            check_sink_capture(capture)
        else:
            packets, tcp = check_veth_capture(capture, allowed)
            checked.append((kind, capture, packets, tcp))
    return checked


def write_file(path, size, seed):
    """Writes size bytes drawn from seed: the same seed, the same bytes."""
    rng = random.Random(seed)
    with open(path, "wb") as f:
        done = 0
        while done < size:
            part = min(1 << 20, size - done)
            f.write(rng.randbytes(part))
            done += part


def content(path):
    with open(path, "rb") as f:
        return f.read()


def assert_equal(what, actual, expected):
    if actual != expected:
        raise Failure("%s: expected %r, got %r" % (what, expected, actual))
