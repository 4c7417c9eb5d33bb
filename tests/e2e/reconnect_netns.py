#!/usr/bin/env python3
"""The link between two engines comes back after the network between them was cut.

Namespaces A and B as in the pairing test; A invites, B accepts, A shares a
folder with B. Both drivers take a link down after 30 s of silence
(config.ini, Network/linkSilenceLimitSecs) instead of the usual 120 s, so
that the outages can be short. Then, for each outage given (default 5, 20 and
40 seconds), every packet between the namespaces is dropped for that long:
the first two leave the link up, with the session waiting out the silence;
the last one outlasts the silence limit, so both sides take the link down,
and also closes the TCP connections (what is sent over TCP, a connection
request included, is answered at once with a reset, as by a router that lost
its state): the dialling sides must dial again. Once the network is back,
the test prints how many seconds passed until both sides show LinkUp,
until a TCP connection is up on both sides and until B lists A's folder
again (asked for once the link is up: a listing asked for while the link
comes back waits for the client's own time-out): the accepting side must
take a redialled connection through the handshake that comes over it rather
than close it as a stranger's. The seconds are printed, not judged; the test
fails only when the link does not come back within RETURN_LIMIT.

Needs root and nftables, like the other namespace tests.
"""

import argparse
import os
import random
import sys
import time

from netnslab import (log, run_test, wait_for, wait_link_up, CONDITION_LIMIT, Driver)

RETURN_LIMIT = 120.0  # seconds after the network's return; far above what a working link needs
LINK_SILENCE_LIMIT = 30  # seconds; the last default outage is longer, the others shorter


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


def link_up(driver):
    peers = driver.peers()
    return len(peers) == 1 and peers[0]["state"] == "LinkUp"


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

    settings = (("linkSilenceLimitSecs", LINK_SILENCE_LIMIT),)
    a = Driver(binary, network, "A", "A", configs["A"], logs, 1, network_settings=settings)
    drivers.append(a)
    b = Driver(binary, network, "B", "B", configs["B"], logs, 1, network_settings=settings)
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
        # Both watched at once, each time taken when it is first seen.
        seen = {}

        def watch():
            now = time.monotonic() - back
            if "link" not in seen and link_up(a) and link_up(b):
                seen["link"] = now
            if "tcp" not in seen and tcp_up(a, b_on_a) and tcp_up(b, a_on_b):
                seen["tcp"] = now
            # A listing asked for before the link is back waits for the
            # client's own time-out and would hide the two above.
            if "listing" not in seen and "link" in seen and listed():
                seen["listing"] = time.monotonic() - back
            return len(seen) == 3
        wait_for("LinkUp, TCP up on both sides and B listing A's folder after the %.0f s outage" % outage,
                 RETURN_LIMIT, watch, interval=0.2)
        link, listing, tcp = seen["link"], seen["listing"], seen["tcp"]
        results.append((outage, close_tcp, link, tcp, listing))
        log("reconnect: outage %.0f s%s: after the network's return LinkUp on both sides after %.1f s, "
            "TCP up on both sides after %.1f s, listing again after %.1f s"
            % (outage, " (TCP closed)" if close_tcp else "", link, tcp, listing))
    for outage, close_tcp, link, tcp, listing in results:
        log("timing: outage %5.0f s%-13s LinkUp %5.1f s, TCP %5.1f s, listing %5.1f s"
            % (outage, " (TCP closed)" if close_tcp else "", link, tcp, listing))
    a.quit()
    b.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="the velmdriver executable")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--outages", default="5,20,40",
                        help="outage lengths in seconds, comma-separated; the last also closes TCP "
                             "(the link's silence limit is %d s)" % LINK_SILENCE_LIMIT)
    args = parser.parse_args()
    outages = [float(x) for x in args.outages.split(",") if x.strip()]

    def body(lab):
        scenario(args.driver, lab.network, lab.work, lab.drivers, outages)
        log("PASS: the link came back after every outage")
    return run_test(args, "velm-reconnect-", body, ("ip", "nft"))


if __name__ == "__main__":
    sys.exit(main())
