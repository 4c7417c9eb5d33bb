#!/usr/bin/env python3
"""Two engines in two network namespaces keep their link over UDP alone.

Namespaces as in pairing_netns.py (a veth pair between A and B, a sink for
the default route in each, no way out). A small STUN responder of our own
runs in A's namespace on two ports of A's address; both engines have exactly
those two servers in config.ini and --turn=0.

The scenario: A invites and B accepts (the invitation names A's TCP
listener, so the first handshake, which tells each side the other's UDP
candidates, travels over TCP). Both UDP transports must then come up by
ping and pong, and both must find NAT type 1 (cone: the two servers saw the
same address and port) with their own address and UDP port as the public
host. Then all TCP is stopped in both namespaces: every TCP packet an
instance sends is answered at once, inside its own namespace, with a reset,
so the open connections end and no new one gets out. After that B lists
A's shared folder and copies a file from it, and the link must stay LinkUp.

tcpdump watches the veth ends and the sinks throughout: the sinks see
nothing; on the veth every packet goes between the two namespace addresses,
and once TCP is stopped not one TCP packet crosses while the UDP packets
carry the listing and the copy.

This test needs root and nftables. Where namespaces cannot be made it fails
and says why; it never skips.
"""

import filecmp
import os
import random
import subprocess
import sys
import time

from netnslab import (check_captures, log, run_test, test_arguments, wait_for, wait_link_up, Capture,
                      CONDITION_LIMIT, Driver, Failure)

STUN_PORTS = (3478, 3479)
UDP_LIMIT = 90.0       # seconds for the UDP transports to come up: a ping every 15 s at most
COPY_BYTES = 3 << 20


def udp_of(driver, peer):
    transports = driver.must("udp " + peer)["transports"]
    if len(transports) != 1:
        raise Failure("%s: expected one UDP transport for the peer, got %s" % (driver.name, transports))
    return transports[0]


def scenario(binary, network, work, drivers, captures):
    shared = os.path.join(work, "files", "shared")
    os.makedirs(shared)
    with open(os.path.join(shared, "note.txt"), "w") as f:
        f.write("over udp\n")
    with open(os.path.join(shared, "data.bin"), "wb") as f:
        f.write(random.Random(5).randbytes(COPY_BYTES))
    target = os.path.join(work, "target")
    os.makedirs(target)
    logs = os.path.join(work, "logs")
    os.makedirs(logs)
    stun = ["%s:%d" % (network.address["A"], port) for port in STUN_PORTS]

    a = Driver(binary, network, "A", "A", os.path.join(work, "config-A"), logs, 1, stun_servers=stun)
    drivers.append(a)
    b = Driver(binary, network, "B", "B", os.path.join(work, "config-B"), logs, 1, stun_servers=stun)
    drivers.append(b)
    a.wait_ready()
    b.wait_ready()

    password = "udp %04x" % random.randrange(0x10000)
    url = a.must("invite " + password)["url"]
    accepted = time.monotonic()
    b.must("accept %s %s" % (url, password))
    b_on_a, a_on_b = wait_link_up(a, b, accepted, "pairing")

    # Both UDP transports up, each with the other's address as its best
    # candidate, and the NAT vote of our STUN servers: cone, own address.
    seen = []

    def udp_up():
        ua, ub = udp_of(a, b_on_a), udp_of(b, a_on_b)
        seen.append({"A": ua, "B": ub})
        return (ua, ub) if ua["state"] == 0 and ub["state"] == 0 else None
    ua, ub = wait_for("both UDP transports to come up", UDP_LIMIT, udp_up, interval=0.5, last=seen)
    log("timing: UDP up on both sides %.1f s after the invitation was accepted" % (time.monotonic() - accepted))
    for side, info, other in (("A", ua, ub), ("B", ub, ua)):
        expected_peer = "%s:%d" % (network.address["B" if side == "A" else "A"], other["localPort"])
        if info["peers"][0] != expected_peer:
            raise Failure("%s: best UDP candidate %s, expected %s" % (side, info["peers"], expected_peer))

    def nat_known():
        ua, ub = udp_of(a, b_on_a), udp_of(b, a_on_b)
        return (ua, ub) if ua["natType"] and ub["natType"] else None
    ua, ub = wait_for("the NAT vote on both sides", UDP_LIMIT, nat_known, interval=0.5)
    for side, info in (("A", ua), ("B", ub)):
        own = "%s:%d" % (network.address[side], info["localPort"])
        if info["natType"] != 1 or info["publicHosts"] != [own]:
            raise Failure("%s: expected NAT type 1 with public host %s, got %s" % (side, own, info))
    log("NAT type 1 on both sides; public hosts %s and %s" % (ua["publicHosts"][0], ub["publicHosts"][0]))

    a.must("share %s %s" % (b_on_a, shared))

    # From here on TCP is stopped; fresh captures show what crossed since.
    network.block_tcp()
    after = []
    for side in ("A", "B"):
        capture = Capture(network, side, network.veth[side], "veth of %s, TCP stopped" % side)
        captures.append(("after", capture))
        after.append(capture)
    for capture in after:
        capture.wait_listening()
    blocked_at = time.monotonic()

    answers = []

    def listed():
        answers.append(b.ask("list %s %s" % (a_on_b, shared)))
        return answers[-1] if answers[-1].get("ok") else None
    listing = wait_for("B to list the folder A shared, TCP stopped", CONDITION_LIMIT, listed, last=answers)
    names = sorted(entry["name"] for entry in listing["entries"])
    if names != ["data.bin", "note.txt"]:
        raise Failure("the shared folder as B lists it over UDP: %s" % names)
    answer = b.must("copy %s %s %s" % (a_on_b, os.path.join(shared, "data.bin"), target), 600)
    if answer["result"] != "finished" or not filecmp.cmp(os.path.join(shared, "data.bin"),
                                                         os.path.join(target, "data.bin"), shallow=False):
        raise Failure("the copy over UDP did not arrive whole: %s" % answer)
    log("over UDP: listing and a copy of %d bytes in %.2f s, %.1f s after TCP was stopped"
        % (COPY_BYTES, answer["seconds"], time.monotonic() - blocked_at))
    for driver, peer in ((a, b_on_a), (b, a_on_b)):
        state = [p for p in driver.peers() if p["uuid"] == peer][0]["state"]
        if state != "LinkUp":
            raise Failure("%s: link %s after the copy over UDP" % (driver.name, state))
    blocked = network.blocked_tcp()
    log("TCP packets stopped inside the namespaces meanwhile: A %d, B %d" % (blocked["A"], blocked["B"]))
    a.quit()
    b.quit()


def main():
    args = test_arguments(__doc__.splitlines()[0])

    def body(lab):
        network = lab.network
        fixture = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stunfixture.py")
        stun = subprocess.Popen(["ip", "netns", "exec", network.names["A"], sys.executable, fixture,
                                 "--address", network.address["A"]]
                                + ["--port=%d" % p for p in STUN_PORTS],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        lab.processes.append(stun)
        if stun.stdout.readline().strip() != "listening":
            raise Failure("the STUN responder did not start: %s" % stun.stderr.read())

        scenario(args.driver, network, lab.work, lab.drivers, lab.captures)

        allowed = {network.address["A"], network.address["B"]}
        for kind, capture, packets, tcp in check_captures(lab.captures, allowed):
            udp = sum(1 for line in capture.lines if " UDP, length" in line)
            if kind == "after":
                if tcp:
                    raise Failure("%d TCP packets crossed %s" % (tcp, capture.label))
                if udp == 0:
                    raise Failure("no UDP traffic on %s" % capture.label)
            log("traffic: %s: %d packets (%d TCP, %d UDP), all between %s and %s"
                % (capture.label, packets, tcp, udp, network.address["A"], network.address["B"]))
        log("PASS: a link over UDP alone in network namespaces")
    return run_test(args, "velm-udp-netns-", body, ("ip", "tcpdump", "nft"), capture=True)


if __name__ == "__main__":
    sys.exit(main())
