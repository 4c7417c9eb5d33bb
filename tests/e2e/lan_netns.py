#!/usr/bin/env python3
"""Two machines on one LAN pair with only the password.

Namespaces A and B are joined by a veth pair; each has a multicast route
onto the pair and a "sink" default route that swallows anything else. A
velmdriver runs in A, two in B (B and C), all with the LAN announcer pointed
at a multicast group and port of this test. B's user types the password
before A announces its invitation; C's user types the password of A's second
invitation only after C has heard it. Both pair with A and come up.

tcpdump watches the veth end and the sink of each namespace throughout: on
the veth only the two namespace addresses, the test's group and the IGMP
reports of joining it may appear; the sinks must see nothing.

Needs root (network namespaces, packet capture); fails, never skips.
"""

import os
import random
import sys
import time

from netnslab import (assert_equal, check_captures, log, run_test, test_arguments, wait_for, CONDITION_LIMIT,
                      Driver, Failure, LINK_UP_LIMIT)

GROUP = "239.255.77.%d" % random.randrange(1, 255)
GROUP_PORT = 41600 + random.randrange(100)
JOIN_LIMIT = 60.0  # the announcer binds on its first 5 s tick and joins on the next
IGMP = {"224.0.0.22", "224.0.0.2", "224.0.0.1"}


def write_config(directory):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "config.ini"), "w") as f:
        f.write("[lan]\nmulticastGroup=%s\nmulticastPort=%d\n" % (GROUP, GROUP_PORT))


def peer_up(driver, uuid):
    for peer in driver.peers():
        if peer["uuid"] == uuid and peer["state"] == "LinkUp":
            return peer
    return None


def only_new_peer(driver, known):
    peers = [p for p in driver.peers() if p["uuid"] not in known]
    return peers[0] if len(peers) == 1 else None


def wait_paired(inviter, guest, known_on_inviter, since, label):
    """Waits until guest lists one peer and both see each other LinkUp;
    known_on_inviter are the inviter's peers from before the invitation (the
    guest may be admitted before this is called)."""
    inviter_on_guest = wait_for("%s to store the inviter" % label, LINK_UP_LIMIT,
                                lambda: only_new_peer(guest, set()))
    stored = time.monotonic()
    log("timing: %s: the inviter is stored %.1f s after the password and the announcement met"
        % (label, stored - since))

    def up():
        guest_peer = peer_up(guest, inviter_on_guest["uuid"])
        inviter_peer = only_new_peer(inviter, known_on_inviter)
        if guest_peer and inviter_peer and inviter_peer["state"] == "LinkUp":
            return inviter_peer
        return None
    guest_on_inviter = wait_for("LinkUp of %s" % label, LINK_UP_LIMIT, up, interval=0.2)
    log("timing: %s: LinkUp %.1f s after the inviter was stored" % (label, time.monotonic() - stored))
    return guest_on_inviter["uuid"], inviter_on_guest["uuid"]


def scenario(binary, network, work, drivers):
    configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B", "C")}
    for directory in configs.values():
        write_config(directory)
    logs = os.path.join(work, "logs")
    os.makedirs(logs)

    def start(side, namespace_side):
        driver = Driver(binary, network, side, namespace_side, configs[side], logs, 1)
        drivers.append(driver)
        return driver

    a = start("A", "A")
    b = start("B", "B")
    c = start("C", "B")
    for driver in (a, b, c):
        driver.wait_ready()
    for driver in (a, b, c):
        state = wait_for("%s to join %s" % (driver.name, GROUP), JOIN_LIMIT,
                         lambda: (lambda s: s if s["joined"] else None)(driver.must("lan")))
        assert_equal("%s's group" % driver.name, (state["group"], state["port"]), (GROUP, GROUP_PORT))
        assert_equal("%s's interval once joined" % driver.name, state["interval"], 30000)

    # B: the password first, then A's invitation is announced about a second later.
    first = "lan first %04x" % random.randrange(0x10000)
    b.must("invpw " + first)
    known_on_a = {p["uuid"] for p in a.peers()}
    announced_before = a.must("lan")["announcements"]
    invite_time = time.monotonic()
    invited = a.must("invite " + first)
    rows = a.must("invitationmodel")["rows"]
    assert_equal("A's invitation model", [r["uuid"] for r in rows], [invited["id"]])

    # B may hear the text and be accepted before the next look at A, which
    # then has dropped the invitation from its cache again: an announcement
    # since the invitation was stored counts as well.
    def announced(state):
        if invited["id"] in state["txCache"] or state["announcements"] > announced_before:
            return state
        return None
    state = wait_for("A to announce the new invitation", CONDITION_LIMIT,
                     lambda: announced(a.must("lan")))
    if state["interval"] != 30000:
        raise Failure("A's announcer did not go back to 30 s after the new invitation: %s" % state)
    log("A announced its invitation %.1f s after storing it" % (time.monotonic() - invite_time))
    b_on_a, _ = wait_paired(a, b, known_on_a, time.monotonic(), "B (password before)")
    assert_equal("A's stored invitations once B is up", a.must("invitations")["count"], 0)
    wait_for("A's invitation model to drop the used invitation", CONDITION_LIMIT,
             lambda: a.must("invitationmodel")["rows"] == [])
    assert_equal("B's matches", b.must("lan")["matches"], 1)

    # C heard A's first text without a password; A invites again, C hears it,
    # and only then its user types the password.
    second = "lan second %04x" % random.randrange(0x10000)
    known_on_a = {p["uuid"] for p in a.peers()}
    invited = a.must("invite " + second)
    wait_for("C to hear A's second text", CONDITION_LIMIT, lambda: c.must("lan")["received"] >= 2)
    assert_equal("C's stored peers before its password", c.must("storedpeers")["count"], 0)
    typed = time.monotonic()
    c.must("invpw " + second)
    c_on_a, _ = wait_paired(a, c, known_on_a, typed, "C (password after)")
    assert_equal("C's matches", c.must("lan")["matches"], 1)
    assert_equal("A's peers", sorted(p["uuid"] for p in a.peers()), sorted([b_on_a, c_on_a]))
    assert_equal("B's stored peers at the end", b.must("storedpeers")["count"], 1)
    for driver in (c, b, a):
        driver.quit()


def main():
    args = test_arguments(__doc__.splitlines()[0])

    def body(lab):
        network = lab.network
        log("group %s port %d" % (GROUP, GROUP_PORT))
        scenario(args.driver, network, lab.work, lab.drivers)
        allowed = {network.address["A"], network.address["B"], GROUP} | IGMP
        for _, capture, packets, tcp in check_captures(lab.captures, allowed):
            announced = sum(1 for line in capture.lines if (" > %s." % GROUP) in line)
            if announced == 0:
                raise Failure("no announcement to %s was captured on %s" % (GROUP, capture.label))
            log("traffic: %s: %d packets (%d TCP, %d to the group), all inside the namespaces"
                % (capture.label, packets, tcp, announced))
        log("PASS: LAN pairing in network namespaces")
    return run_test(args, "velm-lan-", body, multicast=True, capture=True)


if __name__ == "__main__":
    sys.exit(main())
