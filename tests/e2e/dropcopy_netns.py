#!/usr/bin/env python3
"""A file of one machine dropped onto the other machine's folder is copied.

Two main windows (velmguidriver, offscreen) in two network namespaces joined
by a veth pair (see netnslab.py: nothing leads out of them) pair through
their dialogs; A shares a folder with B. On B the left pane shows A's shared
folder and the right pane a folder of B; a file is dragged from the left
pane onto the right one: the drag carries A's path in Velm's own format,
never as a file URL, the drop offers "Copy here" only, and choosing it
copies the file, byte for byte. The time from the drop to the copied file
is printed.

tcpdump watches the veth end and the sink of each namespace: on the veth
only the two namespace addresses may appear; the sinks must see nothing.

Needs root like the other namespace tests; fails, never skips, where
namespaces cannot be made.
"""

import os
import sys
import tempfile
import time

from netnslab import (assert_equal, capture_both_sides, check_sink_capture, check_veth_capture, clean_up,
                      content, fail_on_signals, log, pair_by_code, preflight, report_failure, start_drivers,
                      stop_capture, test_arguments, wait_for, write_file, CONDITION_LIMIT, Failure, Network)


def scenario(binary, network, work, drivers):
    shared = os.path.join(work, "files", "shared")
    os.makedirs(shared)
    write_file(os.path.join(shared, "photo.raw"), 3 * 1024 * 1024 + 17, 38)
    arrivals = os.path.join(work, "files", "arrivals")
    os.makedirs(arrivals)
    a, b = start_drivers(binary, network, work, drivers)
    b_on_a, a_on_b = pair_by_code(a, b)

    a.must("share %s %s" % (b_on_a, shared))
    def listing():
        answer = b.ask("list %s %s" % (a_on_b, shared))
        return answer.get("ok") and [entry["name"] for entry in answer.get("entries", [])] == ["photo.raw"]
    wait_for("B lists the folder A shared", CONDITION_LIMIT, listing, interval=0.2)

    dropped = time.monotonic()
    answer = b.must("dropcopy %s %s %s" % (a_on_b, "photo.raw", arrivals), limit=120)
    if not answer["copied"]:
        raise Failure("the dropped file did not arrive in B's folder")
    source = content(os.path.join(shared, "photo.raw"))
    wait_for("the copy is complete", CONDITION_LIMIT,
             lambda: content(os.path.join(arrivals, "photo.raw")) == source, interval=0.2)
    log("timing: copied %.1f s after the drop" % (time.monotonic() - dropped))
    assert_equal("what B's folder holds", sorted(os.listdir(arrivals)), ["photo.raw"])
    assert_equal("what A's folder holds", sorted(os.listdir(shared)), ["photo.raw"])

    for driver in (a, b):
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
        log("namespaces %s (%s) and %s (%s)" % (network.names["A"], network.address["A"],
                                                network.names["B"], network.address["B"]))
        capture_both_sides(network, captures)

        scenario(args.driver, network, work, drivers)

        allowed = {network.address["A"], network.address["B"]}
        for kind, capture in captures:
            stop_capture(capture)
            if kind == "sink":
                check_sink_capture(capture)
            else:
                packets, tcp = check_veth_capture(capture, allowed)
                log("traffic: %s: %d packets (%d TCP), all between the namespaces"
                    % (capture.label, packets, tcp))
        log("PASS: a file dropped from one machine's pane onto the other's folder is copied")
        return 0
    except Failure as failure:
        return report_failure(failure, drivers)
    finally:
        clean_up(args, work, network, drivers, captures)


if __name__ == "__main__":
    sys.exit(main())
