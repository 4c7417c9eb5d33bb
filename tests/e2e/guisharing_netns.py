#!/usr/bin/env python3
"""A folder shared through the Filer and the share window reaches the other machine.

Two main windows (velmguidriver, offscreen) in two network namespaces joined
by a veth pair (see netnslab.py: nothing leads out of them) pair through
their dialogs. A's Filer shows a folder of A with "holiday" selected; its
context menu's Share with > B opens the share window, "Can edit" is clicked
and then Share. B's peer page lists the share and B's Filer opens it (the
names its proxy lists); B makes a folder in it through New folder. A opens
the share again from the peer page's "Your shared items", clicks "Can view"
and Save: B's next new-folder request is refused (the status bar says so,
A's disk stays as it was). A removes the share from the same list: B's peer
page no longer lists it and a listing of the folder is refused. The time
from A's click on Share to B's page listing the share is printed.

tcpdump watches the veth end and the sink of each namespace: on the veth
only the two namespace addresses may appear; the sinks must see nothing.

Needs root like the other namespace tests; fails, never skips, where
namespaces cannot be made.
"""

import os
import sys
import time

from netnslab import (assert_equal, check_captures, log, pair_by_code, run_test, start_drivers, test_arguments,
                      wait_for, CONDITION_LIMIT, Failure)

# Flags of a stored share: read, write, directory.
READ, WRITE, DIRECTORY = 1, 2, 4


def shares_on_page(driver, peer):
    return driver.must("peershares %s" % peer)["shares"]


def scenario(binary, network, work, drivers):
    home = os.path.join(work, "files", "home")
    shared = os.path.join(home, "holiday")
    os.makedirs(os.path.join(shared, "pics"))
    with open(os.path.join(shared, "notes.txt"), "w") as f:
        f.write("notes\n")
    os.makedirs(os.path.join(home, "private"))
    a, b = start_drivers(binary, network, work, drivers)
    b_on_a, a_on_b = pair_by_code(a, b)
    assert_equal("what B's peer page lists before A shares", shares_on_page(b, a_on_b), [])

    # A: Share with > B on the selected folder, "Can edit", Share.
    a.must("pane left own %s" % home, limit=90)
    a.must("select holiday", limit=90)
    made = a.must("sharewith %s edit" % b_on_a, limit=90)
    if not made["new"]:
        raise Failure("the share window did not open on a new share: %s" % made)
    assert_equal("the stored share's flags", made["flags"], READ | WRITE | DIRECTORY)
    share = made["share"]

    # B: the peer page lists it, the Filer opens it.
    seen = []
    def listed():
        rows = shares_on_page(b, a_on_b)
        seen.append(rows)
        return [row for row in rows if row["name"] == "holiday"]
    wait_for("B's peer page lists the share", CONDITION_LIMIT, listed, interval=0.1, last=seen)
    seconds = time.time() - made["at"] / 1000.0
    log("timing: B's peer page lists the share %.2f s after A's click on Share" % seconds)
    if len(seen[-1]) != 1:
        raise Failure("B's peer page lists more than the one share: %s" % seen[-1])
    answers = []
    def opened():
        answer = b.ask("filer %s holiday" % a_on_b, limit=90)
        answers.append(answer)
        return answer.get("ok") and answer.get("complete") and answer.get("names") == ["pics", "notes.txt"]
    wait_for("B's Filer shows the shared folder (the folder first)", CONDITION_LIMIT, opened, interval=0.2,
             last=answers)

    # B may edit: New folder works.
    answer = b.must("mkdir by-b", limit=90)
    if not answer["made"]:
        raise Failure("B could not make a folder in a share it may edit: %s" % answer)
    if not os.path.isdir(os.path.join(shared, "by-b")):
        raise Failure("B's new folder is not on A's disk")

    # A: "Your shared items" > edit, "Can view", Save.
    edited = a.must("editshare %s %s view" % (b_on_a, share), limit=90)
    assert_equal("the share's flags after Can view", edited["flags"], READ | DIRECTORY)
    before = sorted(os.listdir(shared))
    attempts = []
    def refused():
        name = "refused-%d" % len(attempts)
        answer = b.must("mkdir %s" % name, limit=90)
        attempts.append((name, answer))
        return not answer["made"] and answer["status"]
    status = wait_for("B's new folder refused once A turned Can edit off", CONDITION_LIMIT, refused, interval=0.2,
                      last=attempts)
    if "not permitted" not in status:
        raise Failure("the status bar does not say the request was refused: %r" % status)
    # A request that reached A before the change may have been granted; B
    # must have been told the truth about each one.
    made_meanwhile = [name for name, answer in attempts if answer["made"]]
    log("B's new folder refused (%d request(s), %d made before A's change reached the server, the Filer had "
        "New folder %s): %s" % (len(attempts), len(made_meanwhile),
                                "enabled" if attempts[-1][1]["enabled"] else "disabled", status))
    after = sorted(before + made_meanwhile)
    assert_equal("A's shared folder after the refusal", sorted(os.listdir(shared)), after)

    # A: "Your shared items" > edit, Remove share.
    removed = a.must("editshare %s %s remove" % (b_on_a, share), limit=90)
    assert_equal("the share's flags after Remove share (none: gone)", removed["flags"], 0)
    wait_for("B's peer page no longer lists the share", CONDITION_LIMIT,
             lambda: shares_on_page(b, a_on_b) == [], interval=0.2)
    wait_for("B's listing of the folder refused", CONDITION_LIMIT,
             lambda: not b.ask("list %s %s" % (a_on_b, shared)).get("ok"), interval=0.2)
    assert_equal("A's shared folder at the end", sorted(os.listdir(shared)), after)

    for driver in (a, b):
        driver.quit()
    drivers.clear()


def main():
    args = test_arguments(__doc__.splitlines()[0])

    def body(lab):
        network = lab.network
        scenario(args.driver, network, lab.work, lab.drivers)
        allowed = {network.address["A"], network.address["B"]}
        for _, capture, packets, tcp in check_captures(lab.captures, allowed):
            log("traffic: %s: %d packets (%d TCP), all between the namespaces" % (capture.label, packets, tcp))
        log("PASS: a folder shared, restricted and removed through the Filer and the share window")
    return run_test(args, "velm-netns-", body, capture=True)


if __name__ == "__main__":
    sys.exit(main())
