#!/usr/bin/env python3
"""Copy, paste and Move to between two main windows in two network namespaces.

One velmguidriver (the real main window and network side, offscreen) runs in
each of two namespaces joined by a veth pair (see netnslab.py: nothing leads
out of them). They pair through their invitation dialogs; A shares a folder
with B. B's left pane goes to A's folder, selects a 10 MB file and a small
tree, copies (the copy action, as Ctrl+C), its right pane goes to a folder
of B and pastes (as Ctrl+V); the job window must say "done" and every byte
must be in place. The same file is pasted again: the job window asks, and is
answered with Replace all. Then A shares a folder B may edit, and B moves a
file out of it with Move to: A's file may be gone only once its copy on B is
whole. The copy speeds are printed.

Needs root like the other namespace tests; fails, never skips, where
namespaces cannot be made.
"""

import os
import sys
import tempfile
import time

from netnslab import (clean_up, content, fail_on_signals, pair_by_code, preflight, report_failure, start_drivers,
                      test_arguments, write_file, assert_equal, CONDITION_LIMIT, Failure, Network, log, wait_for)

COPY_LIMIT = 180
BIG = 10 * 1000 * 1000


def job_windows(driver):
    return driver.must("jobs")["jobs"]


def wait_job(driver, index, what, states=(6,)):
    """Waits until job window index shows a final state; returns it."""
    def ended():
        jobs = job_windows(driver)
        if len(jobs) <= index:
            return None
        job = jobs[index]
        return job if job["state"] in states or job["state"] == 7 else None
    job = wait_for(what, COPY_LIMIT, ended, interval=0.2)
    if job["state"] not in states:
        raise Failure("%s: the job window shows %s" % (what, job))
    return job


def tree_bytes(root):
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = content(path)
    return files


def scenario(binary, network, work, drivers):
    shared = os.path.join(work, "files", "shared")
    tree = os.path.join(shared, "tree")
    os.makedirs(os.path.join(tree, "inner"))
    write_file(os.path.join(shared, "big.bin"), BIG, 7)
    for index, name in enumerate(("one.txt", "two.txt", "inner/three.txt", "inner/four.bin")):
        write_file(os.path.join(tree, name), 1000 * (index + 1), index)
    editable = os.path.join(work, "files", "editable")
    os.makedirs(editable)
    write_file(os.path.join(editable, "moved.bin"), 3 * 1000 * 1000, 11)
    moved_bytes = content(os.path.join(editable, "moved.bin"))
    received = os.path.join(work, "files", "received")
    os.makedirs(received)
    a, b = start_drivers(binary, network, work, drivers)
    b_on_a, a_on_b = pair_by_code(a, b)
    share = "%%shares/%s" % a.must("share %s %s" % (b_on_a, shared))["share"]
    wait_for("B lists A's share", CONDITION_LIMIT,
             lambda: b.ask("list %s %s" % (a_on_b, shared)).get("ok"), interval=0.2)

    # Ctrl+C in A's folder, Ctrl+V in B's.
    b.must("pane right own %s" % received, limit=90)
    b.must("pane left %s %s" % (a_on_b, share), limit=90)
    b.must("select big.bin tree", limit=90)
    assert_equal("entries copied", b.must("copy")["entries"], 2)
    b.must("pane right own %s" % received, limit=90)
    started = time.monotonic()
    b.must("paste")
    job = wait_job(b, 0, "the first copy")
    seconds = time.monotonic() - started
    assert_equal("the first job window's title", job["title"], "done")
    if content(os.path.join(received, "big.bin")) != content(os.path.join(shared, "big.bin")):
        raise Failure("big.bin arrived with other bytes")
    assert_equal("the tree on B", tree_bytes(os.path.join(received, "tree")), tree_bytes(tree))
    total = BIG + sum(len(v) for v in tree_bytes(tree).values())
    log("copy: %.1f MB in %.1f s, %.2f MB/s (10 MB file and a tree of 4 files)"
        % (total / 1e6, seconds, total / 1e6 / seconds))

    # The same file again: the window asks, Replace all answers.
    write_file(os.path.join(received, "big.bin"), BIG, 8)
    b.must("pane left %s %s" % (a_on_b, share), limit=90)
    b.must("select big.bin", limit=90)
    b.must("copy")
    b.must("pane right own %s" % received, limit=90)
    started = time.monotonic()
    b.must("paste")
    wait_job(b, 1, "the question of the second copy", states=(5,))
    question = job_windows(b)[1]
    if not question["prompt"]:
        raise Failure("the question shows no text: %s" % question)
    log("the second copy asks: %s" % question["prompt"])
    b.must("answer 1 replaceall")
    job = wait_job(b, 1, "the second copy")
    seconds = time.monotonic() - started
    assert_equal("the second job window's title", job["title"], "done")
    if content(os.path.join(received, "big.bin")) != content(os.path.join(shared, "big.bin")):
        raise Failure("big.bin was not replaced with A's bytes")
    log("copy again with Replace all: %.2f MB/s" % (BIG / 1e6 / seconds))

    # Move to from a share B may edit: A's file goes only after it is whole
    # on B.
    edit_share = "%%shares/%s" % a.must("share-edit %s %s" % (b_on_a, editable))["share"]
    wait_for("B lists the editable share", CONDITION_LIMIT,
             lambda: b.ask("list %s %s" % (a_on_b, editable)).get("ok"), interval=0.2)
    b.must("pane right own %s" % received, limit=90)
    b.must("pane left %s %s" % (a_on_b, edit_share), limit=90)
    b.must("select moved.bin", limit=90)
    target = os.path.join(received, "moved.bin")
    source = os.path.join(editable, "moved.bin")
    started = time.monotonic()
    b.must("moveto %s" % received)
    order = []
    def moved():
        whole = os.path.exists(target) and os.path.getsize(target) == len(moved_bytes) \
            and content(target) == moved_bytes
        gone = not os.path.exists(source)
        if gone and not whole:
            raise Failure("A's moved.bin is gone before its copy on B is whole")
        if whole and not order:
            order.append(time.monotonic())
        return whole and gone
    wait_for("moved.bin moved from A to B", COPY_LIMIT, moved, interval=0.05)
    seconds = order[0] - started
    log("Move to: %.1f MB in %.1f s, %.2f MB/s; A's file gone after its arrival"
        % (len(moved_bytes) / 1e6, seconds, len(moved_bytes) / 1e6 / seconds))
    windows = job_windows(b)
    if len(windows) < 3:
        raise Failure("the move from another machine opened no job window: %s" % windows)
    wait_job(b, 2, "the move's copy")

    for driver in (a, b):
        driver.quit()
    drivers.clear()


def main():
    args = test_arguments(__doc__.splitlines()[0])
    fail_on_signals()
    network = None
    drivers = []
    work = tempfile.mkdtemp(prefix="velm-netns-")
    try:
        preflight(args.driver, tools=("ip",))
        network = Network()
        network.create()
        log("namespaces %s (%s) and %s (%s)" % (network.names["A"], network.address["A"],
                                                network.names["B"], network.address["B"]))
        scenario(args.driver, network, work, drivers)
        log("PASS: copy, paste and Move to through the windows in network namespaces")
        return 0
    except Failure as failure:
        return report_failure(failure, drivers)
    finally:
        clean_up(args, work, network, drivers)


if __name__ == "__main__":
    sys.exit(main())
