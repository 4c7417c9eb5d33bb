"""Copies between two engines in two network namespaces, as a user of two
machines meets them: a cut of a small tree while a file is written into it,
the receiver killed in the middle of a copy, the sender killed and started
again. Needs root; fails, never skips, where namespaces cannot be made.

What must hold is checked; how long things take is only printed.
"""

import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netnslab as netns  # noqa: E402

COPY_LIMIT = 600.0
RELIST_LIMIT = 150.0  # the first listing after the receiver is back; the client fails it long before
BIG = 32 << 20         # interrupted mid-way, so bigger than what a moment moves
TREE_BULK = 8 << 20    # the cut's tree: still copying when a file appears in it
RATE = "80mbit"        # A to B: a fast LAN, slow enough that copies take a while


def bytes_below(folder):
    total = 0
    for root, _, files in os.walk(folder):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return total


def start(driver, command):
    """Sends a command whose answer is read later with driver._next."""
    driver.process.stdin.write(command + "\n")
    driver.process.stdin.flush()


def pair(args, network, work, drivers):
    a, b = netns.start_drivers(args.driver, network, work, drivers)
    b_on_a, a_on_b = netns.pair_by_password(a, b, "copy %04x" % random.randrange(0x10000))
    return a, b, b_on_a, a_on_b


def cut_while_written(a, b, a_on_b, shared, target):
    """A cut of a small tree while a file is written into it, as a download
    would be: the file appears once the copy is under way and grows until
    the cut has answered. Nothing leaves A that B does not hold alike; the
    file being written survives with the folders on its path."""
    tree = os.path.join(shared, "tree")
    os.makedirs(os.path.join(tree, "sub", "deeper"))
    originals = {}
    for i in range(40):
        rel = os.path.join("sub" if i % 2 else "", "deeper" if i % 4 == 1 else "", "f%02d.bin" % i)
        path = os.path.join(tree, rel)
        netns.write_file(path, 20000 + 977 * i, i)
        originals[os.path.normpath(rel)] = netns.content(path)
    # Bytes enough that the copy is still running when the file appears.
    netns.write_file(os.path.join(tree, "sub", "bulk.bin"), TREE_BULK, 99)
    originals[os.path.join("sub", "bulk.bin")] = netns.content(os.path.join(tree, "sub", "bulk.bin"))
    total = sum(len(data) for data in originals.values())
    late = os.path.join(tree, "sub", "deeper", "late.txt")
    answered = threading.Event()
    written = []

    def writer():
        with open(late, "wb") as f:
            while not answered.is_set():
                chunk = (b"%06d " % len(written)) * 100
                f.write(chunk)
                f.flush()
                written.append(chunk)
                time.sleep(0.01)
    start(b, "cut %s %s %s" % (a_on_b, tree, target))
    wait_growth(target, 0, COPY_LIMIT, "the cut to start copying")
    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    began_at = bytes_below(target)
    try:
        answer = b._next(COPY_LIMIT, "the cut")
    finally:
        answered.set()
        thread.join()
    if began_at >= total:
        raise netns.Failure("the copy was done before late.txt was written (%d of %d bytes on B)"
                            % (began_at, total))
    if not answer.get("ok"):
        raise netns.Failure("the cut failed: %s" % answer)
    for rel, data in originals.items():
        src, dst = os.path.join(tree, rel), os.path.join(target, "tree", rel)
        if not os.path.exists(src) and (not os.path.exists(dst) or netns.content(dst) != data):
            raise netns.Failure("%s left A without arriving whole on B" % rel)
    if not os.path.exists(late) or netns.content(late) != b"".join(written):
        raise netns.Failure("the file written during the cut was deleted or cut short on A")
    copied_late = os.path.join(target, "tree", "sub", "deeper", "late.txt")
    if os.path.exists(copied_late) and not b"".join(written).startswith(netns.content(copied_late)):
        raise netns.Failure("B holds a late.txt that was never a version of A's")
    gone = sum(not os.path.exists(os.path.join(tree, r)) for r in originals)
    netns.log("cut while a file is written: %d of %d files gone from A (the copy was at %d of %d "
              "bytes when late.txt appeared, %d bytes written to it); late.txt on B: %s; "
              "failed: %s; kept: %s"
              % (gone, len(originals), began_at, total, len(b"".join(written)),
                 "%d bytes" % os.path.getsize(copied_late) if os.path.exists(copied_late) else "no",
                 ", ".join("%s (%s)" % (os.path.relpath(f["path"], shared), f["reason"])
                           for f in answer.get("failed", [])) or "nothing",
                 ", ".join("%s (%s)" % (os.path.relpath(k["path"], shared), k["reason"])
                           for k in answer.get("kept", [])) or "nothing"))


def wait_growth(folder, more_than, limit, what):
    netns.wait_for(what, limit, lambda: bytes_below(folder) > more_than, interval=0.02)


def check_final(path, source, label):
    """The finished copy: the source's bytes and its modification time, and
    no part file beside it."""
    if not os.path.exists(path) or netns.content(path) != netns.content(source):
        raise netns.Failure("%s: the final file differs from the source" % label)
    if int(os.stat(path).st_mtime) != int(os.stat(source).st_mtime):
        raise netns.Failure("%s: the final file does not carry the source's modification time" % label)
    leftovers = sorted(n for n in os.listdir(os.path.dirname(path)) if n != os.path.basename(path))
    if leftovers:
        raise netns.Failure("%s: left beside the final file: %s" % (label, leftovers))


def receiver_killed(args, network, a_on_b, shared, work, drivers, configs, logs):
    """B (the receiver) killed in the middle of a copy, then started again:
    nothing under the final name until the copy is verified, the part file
    hidden and without the source's times, resumed after the restart."""
    big = os.path.join(shared, "big.bin")
    target = os.path.join(work, "target-kill-b")
    os.makedirs(target)
    b = drivers[1]
    start(b, "copy %s %s %s" % (a_on_b, big, target))
    wait_growth(target, BIG // 4, COPY_LIMIT, "B to write a part of big.bin")
    b.kill()
    names = sorted(os.listdir(target))
    held = bytes_below(target)
    netns.log("receiver killed with %d of %d bytes in %s" % (held, BIG, names))
    if held >= BIG:
        raise netns.Failure("receiver killed: the copy was done before the kill; nothing was interrupted")
    final = os.path.join(target, "big.bin")
    if os.path.exists(final):
        raise netns.Failure("receiver killed: a file lies under the final name before it was verified")
    for name in names:
        if not name.startswith("."):
            raise netns.Failure("receiver killed: %s is not hidden" % name)
        if int(os.stat(os.path.join(target, name)).st_mtime) == int(os.stat(big).st_mtime):
            raise netns.Failure("receiver killed: the partial %s carries the source's time" % name)
    b = netns.Driver(args.driver, network, "B", "B", configs["B"], logs, 2)
    drivers[1] = b
    b.wait_ready()
    restarted = time.monotonic()
    netns.wait_link_up(drivers[0], b, restarted, "restart of B")
    # The first request of the renewed link is answered, not failed by the
    # client's time-out (A, which stayed up, once sent its answers to B's
    # former UDP port only).
    linked = time.monotonic()
    listing = b.ask("list %s %s" % (a_on_b, os.path.dirname(big)), RELIST_LIMIT)
    if not listing.get("ok"):
        raise netns.Failure("receiver restarted: the first listing of A's folder failed: %s" % listing)
    netns.log("timing: restart of B: A's folder listed %.1f s after LinkUp" % (time.monotonic() - linked))
    answer = b.must("copy %s %s %s" % (a_on_b, big, target), COPY_LIMIT)
    check_final(final, big, "receiver restarted")
    netns.log("receiver restarted: copy finished in %.1f s, %d retries, final file equal with the "
              "source's time, the part file gone" % (answer["seconds"], answer["retries"]))


def sender_killed(args, network, a_on_b, shared, work, drivers, configs, logs):
    """A (the sender) killed in the middle of a copy and started again: the
    copy finishes; the seconds from its return to bytes moving are printed."""
    big = os.path.join(shared, "big.bin")
    target = os.path.join(work, "target-kill-a")
    os.makedirs(target)
    b = drivers[1]
    start(b, "copy %s %s %s" % (a_on_b, big, target))
    wait_growth(target, BIG // 4, COPY_LIMIT, "B to receive a part of big.bin")
    drivers[0].kill()
    killed = time.monotonic()
    if bytes_below(target) >= BIG:
        raise netns.Failure("sender killed: the copy was done before the kill; nothing was interrupted")
    time.sleep(8)  # the machine is away for a while; nothing waits on this
    before = bytes_below(target)
    a = netns.Driver(args.driver, network, "A", "A", configs["A"], logs, 2)
    drivers[0] = a
    a.wait_ready()
    back = time.monotonic()
    wait_growth(target, before, COPY_LIMIT, "bytes to move again after A's return")
    moving = time.monotonic()
    answer = b._next(COPY_LIMIT, "the copy across A's restart")
    if not answer.get("ok"):
        raise netns.Failure("the copy across A's restart failed: %s" % answer)
    check_final(os.path.join(target, "big.bin"), big, "sender restarted")
    netns.log("sender restarted: away %.1f s; bytes moved again %.1f s after its return; "
              "copy finished, %d retries, final file equal%s"
              % (back - killed, moving - back, answer["retries"],
                 ", last failure: " + answer["lastFailure"] if answer.get("lastFailure") else ""))


def main():
    args = netns.test_arguments(__doc__)

    def body(lab):
        network, work, drivers = lab.network, lab.work, lab.drivers
        network.ns("A", "tc", "qdisc", "add", "dev", network.veth["A"], "root", "tbf", "rate", RATE,
                   "burst", "64kb", "latency", "100ms")
        shared = os.path.join(work, "files", "shared")
        os.makedirs(shared)
        netns.write_file(os.path.join(shared, "big.bin"), BIG, 1)
        a, b, b_on_a, a_on_b = pair(args, network, work, drivers)
        # Where pair() put the drivers' settings and output, for their restarts.
        logs = os.path.join(work, "logs")
        configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B")}
        a.must("sharerw %s %s" % (b_on_a, shared))
        netns.wait_for("B to list the folder A shared", netns.CONDITION_LIMIT,
                       lambda: b.ask("list %s %s" % (a_on_b, shared)).get("ok"))
        if not b.must("caps")["copyGuards"]:
            raise netns.Failure("the copy job has no part files, change checks nor failure reasons")
        target = os.path.join(work, "target-cut")
        os.makedirs(target)
        cut_while_written(a, b, a_on_b, shared, target)
        receiver_killed(args, network, a_on_b, shared, work, drivers, configs, logs)
        sender_killed(args, network, a_on_b, shared, work, drivers, configs, logs)
        for driver in drivers:
            driver.quit()
    return netns.run_test(args, "velm-copy-netns-", body, ("ip", "tc"))


if __name__ == "__main__":
    sys.exit(main())
