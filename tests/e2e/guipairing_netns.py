#!/usr/bin/env python3
"""Two main windows in two network namespaces pair through their dialogs.

One velmguidriver (the real main window and network side, offscreen) runs in
each of two namespaces joined by a veth pair (see netnslab.py: nothing leads
out of them). A opens Remote > Create invitation... and confirms it; B opens
Remote > Add by invitation..., types the text and the code and accepts. Both
reach LinkUp; B's machine list page shows A; A shares a folder with B and
B's Filer shows it (the names read from the Filer's proxy model). Then A
creates a second invitation and a third window (C, in B's namespace) types
only its code: A's LAN announcement (at a multicast group of this test,
routed onto the pair) carries the text, and C pairs with A too.
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
import time

from netnslab import (check_captures, log, run_test, test_arguments, wait_for, wait_link_up, CONDITION_LIMIT,
                      Driver, Failure, LINK_UP_LIMIT)

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
    answers = []
    def listing():
        answer = b.ask("filer %s %s" % (a_on_b, os.path.basename(shared)))
        answers.append(answer)
        return answer.get("ok") and answer.get("names") == ["gamma", "alpha.txt"]
    wait_for("B's Filer shows the folder A shared (the folder first)", CONDITION_LIMIT, listing, interval=0.2,
             last=answers)
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

    def body(lab):
        network = lab.network
        scenario(args.driver, network, lab.work, lab.drivers)
        allowed = {network.address["A"], network.address["B"], GROUP} | IGMP
        for _, capture, packets, tcp in check_captures(lab.captures, allowed):
            log("traffic: %s: %d packets (%d TCP), all between the namespaces and the group"
                % (capture.label, packets, tcp))
        log("PASS: pairing through the dialogs in network namespaces")
    return run_test(args, "velm-netns-", body, multicast=True, capture=True)


if __name__ == "__main__":
    sys.exit(main())
