"""Two engines in two network namespaces, one of them killed and started
again, several times, each side in turn. After each restart the link comes
back, and the first listing of A's folder that B asks for is answered: the
machine that stayed up must not send the first datagrams of the new session
only to where the former process of the other one was heard (its UDP port,
gone with it), which lost them until they had been resent many times, after
the client's own time-out. Needs root; fails, never skips, where namespaces
cannot be made.

What must hold is checked; how long things take is only printed.
"""

import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netnslab as netns  # noqa: E402

LIST_LIMIT = 120.0  # one listing; a lost request is failed by the client long before
ROUNDS = ("B", "A", "B", "A", "B", "B")


def first_listing(b, a_on_b, folder, label):
    """The first listing after LinkUp must be answered, not failed by the
    client's time-out."""
    asked = time.monotonic()
    answer = b.ask("list %s %s" % (a_on_b, folder), LIST_LIMIT)
    if not answer.get("ok"):
        raise netns.Failure("%s: the first listing after LinkUp was not answered: %s" % (label, answer))
    names = sorted(entry["name"] for entry in answer.get("entries", []))
    if names != ["x.txt"]:
        raise netns.Failure("%s: listed %s instead of x.txt" % (label, names))
    netns.log("timing: %s: first listing answered %.1f s after LinkUp" % (label, time.monotonic() - asked))


def main():
    args = netns.test_arguments(__doc__)

    def body(lab):
        network, work, drivers = lab.network, lab.work, lab.drivers
        shared = os.path.join(work, "files", "shared")
        os.makedirs(shared)
        with open(os.path.join(shared, "x.txt"), "w") as f:
            f.write("x\n")
        a, b = netns.start_drivers(args.driver, network, work, drivers)
        b_on_a, a_on_b = netns.pair_by_password(a, b, "relink %04x" % random.randrange(0x10000))
        # Where the drivers keep their settings and output, for their restarts.
        logs = os.path.join(work, "logs")
        configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B")}
        a.must("sharerw %s %s" % (b_on_a, shared))
        netns.wait_for("B to list the folder A shared", netns.CONDITION_LIMIT,
                       lambda: b.ask("list %s %s" % (a_on_b, shared)).get("ok"))
        generation = {"A": 1, "B": 1}
        for number, side in enumerate(ROUNDS, 1):
            index = 0 if side == "A" else 1
            drivers[index].kill()
            generation[side] += 1
            restarted = netns.Driver(args.driver, network, side, side, configs[side], logs, generation[side])
            drivers[index] = restarted
            restarted.wait_ready()
            label = "restart %d of %s" % (number, side)
            since = time.monotonic()
            # The side that stayed up may still show the old link as up:
            # wait until the restarted one is up as well.
            netns.wait_for("LinkUp on %s after its restart" % side, netns.LINK_UP_LIMIT,
                           lambda: (netns.only_peer(restarted) or {}).get("state") == "LinkUp", interval=0.1)
            netns.wait_link_up(drivers[0], drivers[1], since, label)
            first_listing(drivers[1], a_on_b, shared, label)
        for driver in drivers:
            driver.quit()

    return netns.run_test(args, "velm-relink-netns-", body, ("ip",))


if __name__ == "__main__":
    sys.exit(main())
