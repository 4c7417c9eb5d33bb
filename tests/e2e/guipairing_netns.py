#!/usr/bin/env python3
"""Two main windows in two network namespaces pair through their dialogs.

One velmguidriver (the real main window and network side, offscreen) runs in
each of two namespaces joined by a veth pair (see netnslab.py: nothing leads
out of them). A opens Remote > Create invitation... and confirms it; B opens
Remote > Add by invitation..., types the text and the code and accepts. Both
reach LinkUp; B's machine list page shows A; A shares a folder with B and
B lists it. Then A creates a second invitation and a third window (C, in B's
namespace) types only its code: A's LAN announcement (at a multicast group
of this test, routed onto the pair) carries the text, and C pairs with A too.
The times to LinkUp and to the first listing are printed.

tcpdump watches the veth end and the sink of each namespace: on the veth
only the two namespace addresses, the test's group and IGMP reports may
appear; the sinks must see nothing.

Needs root like the other namespace tests; fails, never skips, where
namespaces cannot be made.
"""

import os
import random
import sys
import tempfile
import time

from netnslab import (capture_both_sides, check_sink_capture, clean_up, fail_on_signals, preflight,
                      report_failure, route_multicast, stop_capture, test_arguments,
                      LINK_UP_LIMIT, CONDITION_LIMIT, Driver, Failure, Network,
                      check_veth_capture, log, wait_for, wait_link_up)

GROUP = "239.255.78.%d" % random.randrange(1, 255)
GROUP_PORT = 41700 + random.randrange(100)
IGMP = {"224.0.0.22", "224.0.0.2", "224.0.0.1"}


def write_lan_config(directory):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "config.ini"), "w") as f:
        f.write("[lan]\nmulticastGroup=%s\nmulticastPort=%d\n" % (GROUP, GROUP_PORT))


def scenario(binary, network, work, drivers):
    shared = os.path.join(work, "files", "shared")
    os.makedirs(os.path.join(shared, "gamma"))
    with open(os.path.join(shared, "alpha.txt"), "w") as f:
        f.write("alpha\n")
    logs = os.path.join(work, "logs")
    os.makedirs(logs)
    configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B", "C")}
    for directory in configs.values():
        write_lan_config(directory)

    a = Driver(binary, network, "A", "A", configs["A"], logs, 1)
    drivers.append(a)
    b = Driver(binary, network, "B", "B", configs["B"], logs, 1)
    drivers.append(b)
    log("start-up: A ready in %.1f s, B ready in %.1f s" % (a.wait_ready(), b.wait_ready()))

    invitation = a.must("create")
    code = invitation["code"]
    if len(code) != 8 or invitation["id"].find(code) >= 0:
        raise Failure("the invitation code is not an 8-character code of its own: %r" % code)
    log("A created an invitation through its dialog (code %s)" % code)

    wrong = ("x" if code[0] != "x" else "y") + code[1:]
    if b.must("accept %s %s" % (invitation["url"], wrong))["valid"]:
        raise Failure("B took the invitation with a wrong code")
    if b.peers():
        raise Failure("B stored a peer from a wrong code: %s" % b.peers())

    accepted = time.monotonic()
    if not b.must("accept %s %s" % (invitation["url"], code))["valid"]:
        raise Failure("B's dialog did not take the invitation with its code")
    b_on_a, a_on_b = wait_link_up(a, b, accepted, "pairing")

    name_of_a = b.peers()[0]["name"]
    def a_listed():
        rows = b.must("machines")["rows"]
        return [row for row in rows if row["name"] == name_of_a and row["state"] == "connected"]
    wait_for("A (%s) connected in B's machine list" % name_of_a, CONDITION_LIMIT, a_listed, interval=0.2)
    log("B's machine list: %s" % b.must("machines")["rows"])

    a.must("share %s %s" % (b_on_a, shared))
    def listing():
        answer = b.ask("list %s %s" % (a_on_b, shared))
        names = sorted(entry["name"] for entry in answer.get("entries", []))
        return names if answer.get("ok") and names == ["alpha.txt", "gamma"] else None
    wait_for("B lists the folder A shared", CONDITION_LIMIT, listing, interval=0.2)
    log("timing: first listing %.1f s after the invitation was accepted" % (time.monotonic() - accepted))

    # Only the code: the text comes with A's announcement.
    c = Driver(binary, network, "C", "B", configs["C"], logs, 1)
    drivers.append(c)
    c.wait_ready()
    known_on_a = {peer["uuid"] for peer in a.peers()}
    second = a.must("create")
    if second["code"] == code:
        raise Failure("A made the same code twice: %s" % code)
    accepted = time.monotonic()
    if not c.must("accept - %s" % second["code"])["valid"]:
        raise Failure("C's dialog did not take the code alone")

    def paired():
        on_c = c.peers()
        new_on_a = [peer for peer in a.peers() if peer["uuid"] not in known_on_a]
        return (len(on_c) == 1 and on_c[0]["state"] == "LinkUp" and len(new_on_a) == 1
                and new_on_a[0]["state"] == "LinkUp")
    wait_for("C and A LinkUp through the announced invitation", LINK_UP_LIMIT, paired, interval=0.2)
    log("timing: code only: LinkUp %.1f s after C's user accepted" % (time.monotonic() - accepted))
    name_of_a_on_c = c.peers()[0]["name"]
    wait_for("A connected in C's machine list", CONDITION_LIMIT,
             lambda: [row for row in c.must("machines")["rows"]
                      if row["name"] == name_of_a_on_c and row["state"] == "connected"], interval=0.2)

    for driver in (a, b, c):
        driver.quit()
    drivers.clear()


def main():
    args = test_arguments(__doc__.splitlines()[0])
    fail_on_signals()
    network = None
    captures = []
    drivers = []
    work = tempfile.mkdtemp(prefix="velm-netns-")
    try:
        preflight(args.driver)
        network = Network()
        network.create()
        route_multicast(network)
        log("namespaces %s (%s) and %s (%s)" % (network.names["A"], network.address["A"],
                                                network.names["B"], network.address["B"]))
        capture_both_sides(network, captures)

        scenario(args.driver, network, work, drivers)

        allowed = {network.address["A"], network.address["B"], GROUP} | IGMP
        for kind, capture in captures:
            stop_capture(capture)
            if kind == "sink":
                check_sink_capture(capture)
            else:
                packets, tcp = check_veth_capture(capture, allowed)
                log("traffic: %s: %d packets (%d TCP), all between the namespaces and the group"
                    % (capture.label, packets, tcp))
        log("PASS: pairing through the dialogs in network namespaces")
        return 0
    except Failure as failure:
        return report_failure(failure, drivers)
    finally:
        clean_up(args, work, network, drivers, captures)


if __name__ == "__main__":
    sys.exit(main())
