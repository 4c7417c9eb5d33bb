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

import os
import random
import sys
import time

from netnslab import (assert_equal, check_captures, log, only_peer, run_test, test_arguments, wait_for,
                      wait_link_up, CONDITION_LIMIT, Driver, Failure, LINK_UP_LIMIT)

UNANSWERED_ATTEMPTS = 2  # handshakes of the third instance that must go unanswered
NOT_PERMITTED = 4


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


def main():
    args = test_arguments(__doc__.splitlines()[0])

    def body(lab):
        network = lab.network
        scenario(args.driver, network, lab.work, lab.drivers)
        allowed = {network.address["A"], network.address["B"]}
        for _, capture, packets, tcp in check_captures(lab.captures, allowed):
            if tcp == 0:
                raise Failure("no TCP traffic was captured on %s" % capture.label)
            log("traffic: %s: %d packets (%d TCP), all between %s and %s"
                % (capture.label, packets, tcp, network.address["A"], network.address["B"]))
        log("PASS: pairing in network namespaces")
    return run_test(args, "velm-netns-", body, capture=True)


if __name__ == "__main__":
    sys.exit(main())
