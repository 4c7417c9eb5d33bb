"""Copies between an engine that works one request after another and one that
keeps many requests out, in two network namespaces, both ways. A runs with
--kcp-pacing=0 (its sessions keep the settings every peer starts with) and
--copy-pipelining=0 (one digest batch, twelve reads and writes, one time or
rename, each file closed before the next); B runs with the defaults. B
copies from A's share, then A from B's: a large file, the same file again
after a few spots changed, and a folder of many small files. Every byte must
arrive, and the delta must move little. Needs root; fails, never skips,
where namespaces cannot be made.

How long things take is only printed.
"""

import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netnslab as netns  # noqa: E402

COPY_LIMIT = 300.0
BIG = 24 << 20
SMALL_FILES = 150
SPOTS = 6


def change_spots(path, seed):
    rng = random.Random(seed)
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        for _ in range(SPOTS):
            f.seek(rng.randrange(size - 4096))
            f.write(rng.randbytes(4096))


def same_tree(a, b):
    names = sorted(os.listdir(a))
    if names != sorted(n for n in os.listdir(b) if not n.startswith(".")):
        return False
    return all(netns.content(os.path.join(a, n)) == netns.content(os.path.join(b, n)) for n in names)


def copy(driver, peer, source, target, what):
    began = time.monotonic()
    answer = driver.ask("copy %s %s %s" % (peer, source, target), COPY_LIMIT)
    if not answer.get("ok"):
        raise netns.Failure("%s failed: %s" % (what, answer))
    return time.monotonic() - began


def one_way(copier, peer, shared, target, label, seed):
    """copier copies from peer's share: the big file, the big file again after
    a few spots changed in it, and the folder of small files."""
    big = os.path.join(shared, "big.bin")
    os.makedirs(target)
    took = copy(copier, peer, big, target, label + ": the big file")
    if netns.content(big) != netns.content(os.path.join(target, "big.bin")):
        raise netns.Failure("%s: the big file arrived other than it is" % label)
    change_spots(big, seed)
    took_delta = copy(copier, peer, big, target, label + ": the changed big file")
    if netns.content(big) != netns.content(os.path.join(target, "big.bin")):
        raise netns.Failure("%s: the changed big file arrived other than it is" % label)
    small = os.path.join(shared, "small")
    took_small = copy(copier, peer, small, target, label + ": the small files")
    if not same_tree(small, os.path.join(target, "small")):
        raise netns.Failure("%s: the small files arrived other than they are" % label)
    netns.log("%s: %d MiB in %.2f s, again after %d changed spots in %.2f s, %d small files in %.2f s"
              % (label, BIG >> 20, took, SPOTS, took_delta, SMALL_FILES, took_small))


def main():
    args = netns.test_arguments(__doc__)

    def body(lab):
        network, work, drivers = lab.network, lab.work, lab.drivers
        logs = os.path.join(work, "logs")
        os.makedirs(logs)
        shares = {}
        for side, seed in (("A", 1), ("B", 2)):
            shares[side] = os.path.join(work, "files-" + side, "shared")
            os.makedirs(os.path.join(shares[side], "small"))
            netns.write_file(os.path.join(shares[side], "big.bin"), BIG, seed)
            for i in range(SMALL_FILES):
                netns.write_file(os.path.join(shares[side], "small", "f%03d.bin" % i), 4096 + 13 * i,
                                 seed * 1000 + i)
        configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B")}
        a = netns.Driver(args.driver, network, "A", "A", configs["A"], logs, 1,
                         extra_args=("--turn=0", "--kcp-pacing=0", "--copy-pipelining=0"))
        drivers.append(a)
        b = netns.Driver(args.driver, network, "B", "B", configs["B"], logs, 1)
        drivers.append(b)
        a.wait_ready()
        b.wait_ready()
        password = "mix %04x" % random.randrange(0x10000)
        url = a.must("invite " + password)["url"]
        accepted = time.monotonic()
        b.must("accept %s %s" % (url, password))
        b_on_a, a_on_b = netns.wait_link_up(a, b, accepted, "pairing")
        a.must("share %s %s" % (b_on_a, shares["A"]))
        b.must("share %s %s" % (a_on_b, shares["B"]))
        netns.wait_for("B to list the folder A shared", netns.CONDITION_LIMIT,
                       lambda: b.ask("list %s %s" % (a_on_b, shares["A"])).get("ok"))
        netns.wait_for("A to list the folder B shared", netns.CONDITION_LIMIT,
                       lambda: a.ask("list %s %s" % (b_on_a, shares["B"])).get("ok"))
        one_way(b, a_on_b, shares["A"], os.path.join(work, "target-B"),
                "B (many requests out) from A (one after another)", 11)
        one_way(a, b_on_a, shares["B"], os.path.join(work, "target-A"),
                "A (one after another) from B (many requests out)", 12)
        for driver in drivers:
            driver.quit()
    return netns.run_test(args, "velm-copymix-netns-", body, ("ip",))


if __name__ == "__main__":
    sys.exit(main())
