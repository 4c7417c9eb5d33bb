#!/usr/bin/env python3
"""Two engines in two network namespaces pair by invitation.

Namespaces A and B are joined by a veth pair with private addresses; nothing
else leads out of them: each has its loopback, its end of the pair, and a
"sink" (a veth pair of its own, both ends inside) that takes the default
route, so that a packet for any other address is captured there and dropped. One velmdriver runs in
each namespace with a configuration directory of its own and --turn=0.

The scenario: A invites, B accepts with a wrong password (nothing is stored)
and then with the right one; both report LinkUp within 90 s; A's invitation is
used up; B lists A's drives and a folder A shared with it, and is refused a
folder A did not share; a third instance (in B's namespace) accepts the same
text and never comes up, while A stores no peer for it; both are restarted
and the link comes back without the invitation. Time from start to LinkUp
and to the first listing are printed.

tcpdump watches the veth end and the sink of each namespace throughout: every
packet on a veth must go between the two namespace addresses, and the sinks
must see nothing.

This test needs root (network namespaces, packet capture). Where namespaces
cannot be made it fails and says why; it never skips.
"""

import argparse
import json
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

LINK_UP_LIMIT = 90.0     # seconds from accepting the invitation to LinkUp on both sides
START_LIMIT = 90.0       # a sanitizer build on a busy machine starts slowly
ANSWER_LIMIT = 60.0      # one command; a listing may wait for the client's own timeout
CONDITION_LIMIT = 60.0   # a share reaching the server, a drive list being read
UNANSWERED_ATTEMPTS = 2  # handshakes of the third instance that must go unanswered
PREFIX = "velme2e"
# A and B listen on ports of their own, so a link whose one connection the
# other side dialled must still carry the replies. C shares B's namespace and
# needs a port of its own; it never comes up anyway.
PORTS = {"A": 41001, "B": 41002, "C": 41003}
NOT_PERMITTED = 4


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

    def __init__(self):
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
        run(["ip", "link", "add", self.veth["A"], "netns", self.names["A"], "type", "veth",
             "peer", "name", self.veth["B"], "netns", self.names["B"]])
        for side in ("A", "B"):
            # IPv4 only: no link-local IPv6 chatter on the pair.
            self.ns(side, "sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1")
            self.ns(side, "sysctl", "-q", "-w", "net.ipv6.conf.default.disable_ipv6=1")
            self.ns(side, "ip", "link", "set", "lo", "up")
            self.ns(side, "ip", "addr", "add", self.address[side] + "/24", "dev", self.veth[side])
            self.ns(side, "ip", "link", "set", self.veth[side], "up")
            # The sink: a veth pair of its own whose far end, without an
            # address, takes in what the default route sends and drops it.
            self.ns(side, "ip", "link", "add", self.sink[side], "type", "veth", "peer", "name", self.sink_end[side])
            self.ns(side, "ip", "link", "set", self.sink[side], "arp", "off")
            self.ns(side, "ip", "link", "set", self.sink_end[side], "up")
            self.ns(side, "ip", "link", "set", self.sink[side], "up")
            self.ns(side, "ip", "route", "add", "default", "dev", self.sink[side])

    def destroy(self):
        for name in self.created:
            remove_namespace(name)
        self.created = []


# --- Packet capture ----------------------------------------------------------

class Capture:
    """tcpdump on one interface of one namespace, lines kept in memory."""

    def __init__(self, network, side, interface, label):
        self.label = label
        self.lines = []
        self.stderr = []
        self.listening = threading.Event()
        self.out_done = threading.Event()
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", network.names[side], "tcpdump", "-i", interface, "-n", "-l",
             "-tt", "-Z", "root"],
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

class Driver:
    """One velmdriver in a namespace; one JSON line answers each command."""

    def __init__(self, binary, network, side, namespace_side, config_dir, log_dir, generation):
        self.name = side
        self.lines = queue.Queue()
        self.log_path = os.path.join(log_dir, "%s-%d.stderr" % (side, generation))
        self.log_file = open(self.log_path, "w")
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            ["ip", "netns", "exec", network.names[namespace_side], binary,
             "--config-dir=" + config_dir, "--com-listen-port=%d" % PORTS[side], "--turn=0"],
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


# --- Scenario ----------------------------------------------------------------

def make_fixtures(root):
    shared = os.path.join(root, "shared")
    private = os.path.join(root, "private")
    os.makedirs(os.path.join(shared, "gamma"))
    os.makedirs(private)
    for name, text in (("alpha.txt", "alpha\n"), ("beta.txt", "beta\n")):
        with open(os.path.join(shared, name), "w") as f:
            f.write(text)
    with open(os.path.join(private, "secret.txt"), "w") as f:
        f.write("not for B\n")
    return shared, private


def scenario(binary, network, work, drivers):
    shared, private = make_fixtures(os.path.join(work, "files"))
    configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B", "C")}
    logs = os.path.join(work, "logs")
    os.makedirs(logs)

    def start(side, namespace_side, generation):
        driver = Driver(binary, network, side, namespace_side, configs[side], logs, generation)
        drivers.append(driver)
        return driver

    a = start("A", "A", 1)
    b = start("B", "B", 1)
    log("start-up: A ready in %.1f s, B ready in %.1f s" % (a.wait_ready(), b.wait_ready()))
    status = a.must("status")
    if network.address["A"] not in status["addresses"] or not status["listening"]:
        raise Failure("A does not listen under %s: %s" % (network.address["A"], status))

    password = "correct horse %04x" % random.randrange(0x10000)
    url = a.must("invite " + password)["url"]
    assert_equal("A's stored invitations", a.must("invitations")["count"], 1)
    log("A invited: %s" % url)

    # A wrong password opens nothing and stores nothing.
    wrong = b.ask("accept %s %s" % (url, "wrong " + password))
    if wrong.get("ok") or wrong.get("error") != "invalid":
        raise Failure("B accepted under a wrong password: %s" % wrong)
    assert_equal("B's stored peers after a wrong password", b.must("storedpeers")["count"], 0)
    assert_equal("B's peers after a wrong password", len(b.peers()), 0)

    accepted = time.monotonic()
    assert_equal("B's accept", b.must("accept %s %s" % (url, password))["result"], "new")
    b_uuid_on_a, a_uuid_on_b = wait_link_up(a, b, accepted, "pairing")
    assert_equal("A's stored invitations once B is up", a.must("invitations")["count"], 0)

    # Shares: a folder for B; B sees it, not the folder beside it, and no drive.
    a.must("share %s %s" % (b_uuid_on_a, shared))
    drives = b.must("drives " + a_uuid_on_b)
    first_listing = time.monotonic()
    log("timing: first listing (A's drives, %d listed) %.1f s after B started"
        % (len(drives["drives"]), first_listing - b.started))
    if drives["drives"]:
        raise Failure("B sees drives of A that were never shared: %s" % drives["drives"])

    answers = []

    def listing_of_share():
        answers.append(b.ask("list %s %s" % (a_uuid_on_b, shared)))
        return answers[-1] if answers[-1].get("ok") else None
    listing = wait_for("B to list the folder A shared", CONDITION_LIMIT, listing_of_share, last=answers)
    names = sorted(entry["name"] for entry in listing["entries"])
    assert_equal("the shared folder as B lists it", names, ["alpha.txt", "beta.txt", "gamma"])
    log("timing: first folder listing %.1f s after B started; entries %s"
        % (time.monotonic() - b.started, names))
    refused = b.ask("list %s %s" % (a_uuid_on_b, private))
    if refused.get("ok") or refused.get("status") != NOT_PERMITTED:
        raise Failure("B listed a folder A never shared: %s" % refused)

    # A drive share: the drive appears in B's list of A's drives.
    local = wait_for("A's watcher to report a drive", CONDITION_LIMIT,
                     lambda: a.must("localdrives")["drives"])
    drive = local[0]["path"]
    a.must("sharedrive %s %s" % (b_uuid_on_a, drive))

    def drive_listed():
        listed = b.must("drives " + a_uuid_on_b)["drives"]
        return listed if any(d["path"] == drive for d in listed) else None
    listed = wait_for("B to see the drive A shared", CONDITION_LIMIT, drive_listed)
    log("B lists A's drives: %s" % [d["path"] for d in listed])

    # A third instance with the same text: its handshakes go unanswered.
    c = start("C", "B", 1)
    c.wait_ready()
    wrong = c.ask("accept %s %s" % (url, password + " wrong"))
    if wrong.get("ok"):
        raise Failure("C accepted under a wrong password: %s" % wrong)
    assert_equal("C's stored peers after a wrong password", c.must("storedpeers")["count"], 0)
    pki_before = a.must("counters")["pkiReceived"]
    assert_equal("C's accept", c.must("accept %s %s" % (url, password))["result"], "new")

    def c_gave_up():
        peer = only_peer(c)
        if peer and peer["everUp"]:
            raise Failure("C came up with a used invitation: %s" % peer)
        done = peer and peer["attempts"] >= UNANSWERED_ATTEMPTS and peer["state"] == "LinkDown"
        return peer if done else None
    c_peer = wait_for("%d unanswered handshakes of C" % UNANSWERED_ATTEMPTS,
                      LINK_UP_LIMIT, c_gave_up, interval=0.5)
    pki_after = a.must("counters")["pkiReceived"]
    if pki_after <= pki_before:
        raise Failure("C's handshakes never reached A (public-key messages %d, then %d)"
                      % (pki_before, pki_after))
    assert_equal("A's stored peers after C tried", a.must("storedpeers")["count"], 1)
    assert_equal("A's peers after C tried", [p["uuid"] for p in a.peers()], [b_uuid_on_a])
    log("C: %d handshakes unanswered, state %s; A received %d public-key messages meanwhile"
        % (c_peer["attempts"], c_peer["state"], pki_after - pki_before))
    c.quit()

    # Restart: the stored keys bring the link back; the invitation stays gone.
    a.quit()
    b.quit()
    a = start("A", "A", 2)
    b = start("B", "B", 2)
    a.wait_ready()
    b.wait_ready()
    restarted = min(a.started, b.started)
    again = wait_link_up(a, b, restarted, "restart")
    assert_equal("the peers after the restart", again, (b_uuid_on_a, a_uuid_on_b))
    assert_equal("A's stored invitations after the restart", a.must("invitations")["count"], 0)
    wait_for("B to list the shared folder after the restart", CONDITION_LIMIT, listing_of_share, last=answers)
    log("timing: after the restart, first folder listing %.1f s after B started" % (time.monotonic() - b.started))
    a.quit()
    b.quit()


def assert_equal(what, actual, expected):
    if actual != expected:
        raise Failure("%s: expected %r, got %r" % (what, expected, actual))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="the velmdriver executable")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()

    # ctest ends a test that runs too long with a signal: clean up then too.
    def stop(signum, frame):
        raise Failure("stopped by signal %d" % signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    network = None
    captures = []
    drivers = []
    work = tempfile.mkdtemp(prefix="velm-netns-")
    try:
        if os.geteuid() != 0:
            raise Failure("network namespaces need root; this test runs as uid %d" % os.geteuid())
        for tool in ("ip", "tcpdump"):
            if not shutil.which(tool):
                raise Failure("%s is missing (scripts/install-deps.sh installs it)" % tool)
        if not os.access(args.driver, os.X_OK):
            raise Failure("no driver at %s" % args.driver)
        remove_stale_namespaces()

        network = Network()
        network.create()
        log("namespaces %s (%s) and %s (%s)" % (network.names["A"], network.address["A"],
                                                network.names["B"], network.address["B"]))
        for side in ("A", "B"):
            captures.append(("veth", Capture(network, side, network.veth[side], "veth of " + side)))
            captures.append(("sink", Capture(network, side, network.sink[side], "sink of " + side)))
        for _, capture in captures:
            capture.wait_listening()

        scenario(args.driver, network, work, drivers)

        allowed = {network.address["A"], network.address["B"]}
        for kind, capture in captures:
            dropped = capture.stop()
            if dropped is None or dropped != 0:
                raise Failure("the capture on %s is incomplete (dropped: %s): %s"
                              % (capture.label, dropped, " ".join(capture.stderr)))
            if kind == "sink":
                packets = [line for line in capture.lines if line.strip()]
                if packets:
                    raise Failure("traffic for an address outside the namespaces (%s):\n  %s"
                                  % (capture.label, "\n  ".join(packets[:20])))
                log("traffic: %s: 0 packets" % capture.label)
            else:
                packets, tcp = check_veth_capture(capture, allowed)
                if tcp == 0:
                    raise Failure("no TCP traffic was captured on %s" % capture.label)
                log("traffic: %s: %d packets (%d TCP), all between %s and %s"
                    % (capture.label, packets, tcp, network.address["A"], network.address["B"]))
        log("PASS: pairing in network namespaces")
        return 0
    except Failure as failure:
        log("FAIL: %s" % failure)
        for driver in drivers:
            tail = driver.log_tail()
            if tail.strip():
                log("--- stderr of %s (%s) ---\n%s" % (driver.name, driver.log_path, tail))
        return 1
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        for driver in drivers:
            driver.kill()
        for _, capture in captures:
            capture.kill()
        if network:
            network.destroy()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
