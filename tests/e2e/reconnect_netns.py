#!/usr/bin/env python3
"""The link between two engines comes back after the network between them was cut.

Namespaces A and B as in the pairing test; A invites, B accepts, A shares a
folder with B. Then, for each outage given (default 5, 60 and 150 seconds),
every packet between the namespaces is dropped for that long; the last outage
also closes the TCP connections (what is sent over TCP is answered at once
with a reset, as by a router that lost its state). Once the network is back,
the test prints how many seconds passed until B lists A's folder again and
until a TCP connection is up on both sides again: the accepting side must
take a redialled connection through the handshake that comes over it rather
than close it as a stranger's. The seconds are printed, not judged; the test
fails only when the link does not come back within RETURN_LIMIT.

Needs root and nftables, like the other namespace tests.
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

from netnslab import (fail_on_signals, preflight, report_failure, restore_signals,
                      CONDITION_LIMIT, Driver, Failure, Network, log, wait_for, wait_link_up)

RETURN_LIMIT = 120.0  # seconds after the network's return; far above what a working link needs


def cut(network, close_tcp):
    """Drops every packet on the veth of both sides; with close_tcp, local
    TCP is answered with a reset first, which ends the open connections."""
    for side in ("A", "B"):
        network.ns(side, "nft", "add", "table", "inet", "velmcut")
        for chain, hook in (("out", "output"), ("in", "input")):
            network.ns(side, "nft", "add", "chain", "inet", "velmcut", chain,
                       "{ type filter hook %s priority 0; policy accept; }" % hook)
        if close_tcp:
            network.ns(side, "nft", "add", "rule", "inet", "velmcut", "out",
                       'oifname "%s" tcp flags & rst == 0 reject with tcp reset' % network.veth[side])
        network.ns(side, "nft", "add", "rule", "inet", "velmcut", "out",
                   'oifname "%s" drop' % network.veth[side])
        network.ns(side, "nft", "add", "rule", "inet", "velmcut", "in",
                   'iifname "%s" drop' % network.veth[side])


def restore(network):
    for side in ("A", "B"):
        network.ns(side, "nft", "delete", "table", "inet", "velmcut")


def tcp_up(driver, peer):
    info = driver.ask("linkinfo " + peer)
    if not info.get("ok"):
        return False
    for endpoint in info.get("clients", []) + info.get("servers", []):
        for transport in endpoint.get("transports", []):
            if transport.startswith("tcp ") and " state 0" in transport and "unmounted" not in transport:
                return True
    return False


def scenario(binary, network, work, drivers, outages):
    configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B")}
    logs = os.path.join(work, "logs")
    shared = os.path.join(work, "shared")
    os.makedirs(logs)
    os.makedirs(shared)
    with open(os.path.join(shared, "alpha.txt"), "w") as f:
        f.write("alpha\n")

    a = Driver(binary, network, "A", "A", configs["A"], logs, 1)
    drivers.append(a)
    b = Driver(binary, network, "B", "B", configs["B"], logs, 1)
    drivers.append(b)
    a.wait_ready()
    b.wait_ready()
    password = "outage %04x" % random.randrange(0x10000)
    url = a.must("invite " + password)["url"]
    accepted = time.monotonic()
    b.must("accept %s %s" % (url, password))
    b_on_a, a_on_b = wait_link_up(a, b, accepted, "pairing")
    a.must("share %s %s" % (b_on_a, shared))

    def listed():
        answer = b.ask("list %s %s" % (a_on_b, shared))
        return answer if answer.get("ok") else None
    wait_for("B to list the folder A shared", CONDITION_LIMIT, listed)
    wait_for("TCP up on both sides", CONDITION_LIMIT, lambda: tcp_up(a, b_on_a) and tcp_up(b, a_on_b))

    results = []
    for i, outage in enumerate(outages):
        close_tcp = i == len(outages) - 1
        log("outage %d: %.0f s%s" % (i + 1, outage, ", TCP connections closed" if close_tcp else ""))
        cut(network, close_tcp)
        time.sleep(outage)
        restore(network)
        back = time.monotonic()
        wait_for("B to list A's folder after the %.0f s outage" % outage, RETURN_LIMIT, listed, interval=0.2)
        listing = time.monotonic() - back
        wait_for("TCP up on both sides after the %.0f s outage" % outage, RETURN_LIMIT,
                 lambda: tcp_up(a, b_on_a) and tcp_up(b, a_on_b), interval=0.2)
        tcp = time.monotonic() - back
        results.append((outage, close_tcp, listing, tcp))
        log("reconnect: outage %.0f s%s: listing again %.1f s after the network's return, "
            "TCP up on both sides after %.1f s" % (outage, " (TCP closed)" if close_tcp else "", listing, tcp))
    for outage, close_tcp, listing, tcp in results:
        log("timing: outage %5.0f s%-13s listing %5.1f s, TCP %5.1f s"
            % (outage, " (TCP closed)" if close_tcp else "", listing, tcp))
    a.quit()
    b.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="the velmdriver executable")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--outages", default="5,60,150",
                        help="outage lengths in seconds, comma-separated; the last also closes TCP")
    args = parser.parse_args()
    outages = [float(x) for x in args.outages.split(",") if x.strip()]
    fail_on_signals()
    network = None
    drivers = []
    work = tempfile.mkdtemp(prefix="velm-reconnect-")
    try:
        preflight(args.driver, tools=("ip", "nft"))
        network = Network()
        network.create()
        scenario(args.driver, network, work, drivers, outages)
        log("PASS: the link came back after every outage")
        return 0
    except Failure as failure:
        return report_failure(failure, drivers)
    finally:
        restore_signals()
        for driver in drivers:
            driver.kill()
        if network:
            network.destroy()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
