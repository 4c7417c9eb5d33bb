#!/usr/bin/env python3
"""Copy benchmark between two engines in two network namespaces.

Prints figures only; not a test. Needs root. Uses the namespaces of
tests/e2e/netnslab.py (a veth pair between A and B, a sink for the
default route in each, no way out) and one velmdriver in each with --turn=0.
A invites, B accepts, A shares a folder with B, and B copies from it into a
directory of its own:

  1. one large file, fresh (MB/s);
  2. the same file again after a few small spots of it changed on A
     (seconds, and the bytes both veth ends counted, from `ip -s link`);
  3. many small files in one folder (files/s).

With --udp-only the copies run over UDP alone: once the link is up and both
UDP transports have come up, all TCP in both namespaces is stopped
(nftables), and a capture of TCP on both veth ends, which must stay empty,
runs through the copies.

Use a Release build of velmdriver:
  bench_copy_netns.py --driver build/h-bench/tests/e2e/velmdriver
Options set the sizes (--bytes, --spots, --spot-size, --files, --file-size).
"""

import argparse
import json
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netnslab as netns  # noqa: E402

COPY_LIMIT = 7200.0


def write_file(path, size, seed):
    rng = random.Random(seed)
    chunk = 1 << 20
    with open(path, "wb") as f:
        done = 0
        while done < size:
            part = min(chunk, size - done)
            f.write(rng.randbytes(part))
            done += part


def same_content(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def veth_bytes(network):
    """Bytes sent by A's and by B's veth end, as `ip -s link` counts them."""
    sent = {}
    for side in ("A", "B"):
        out = network.ns(side, "ip", "-s", "-j", "link", "show", network.veth[side]).stdout
        sent[side] = json.loads(out)[0]["stats64"]["tx"]["bytes"]
    return sent


def copy(b, network, peer, source, destination):
    before = veth_bytes(network)
    started = time.monotonic()
    answer = b.ask("copy %s %s %s" % (peer, source, destination), COPY_LIMIT)
    wall = time.monotonic() - started
    after = veth_bytes(network)
    if not answer.get("ok"):
        raise netns.Failure("the copy of %s failed: %s" % (source, answer))
    # What one end sends the other receives: the two tx counters are the
    # wire, one direction each.
    wire = {side: after[side] - before[side] for side in ("A", "B")}
    return answer, wall, wire


def on_wire(wire):
    return "%.2f MB on the wire (A to B %.2f MB, B to A %.2f MB)" % (
        sum(wire.values()) / 1e6, wire["A"] / 1e6, wire["B"] / 1e6)


def benchmark(args, network, work, drivers):
    shared = os.path.join(work, "files", "shared")
    many = os.path.join(shared, "many")
    big = os.path.join(shared, "big.bin")
    target = os.path.join(work, "target")
    os.makedirs(many)
    os.makedirs(target)
    prepared = time.monotonic()
    write_file(big, args.bytes, 1)
    for i in range(args.files):
        write_file(os.path.join(many, "file-%05d.bin" % i), args.file_size, 100 + i)
    netns.log("set-up: %d bytes and %d files of %d bytes (%.1f s)"
              % (args.bytes, args.files, args.file_size, time.monotonic() - prepared))

    logs = os.path.join(work, "logs")
    os.makedirs(logs)
    configs = {side: os.path.join(work, "config-" + side) for side in ("A", "B")}
    a = netns.Driver(args.driver, network, "A", "A", configs["A"], logs, 1)
    drivers.append(a)
    b = netns.Driver(args.driver, network, "B", "B", configs["B"], logs, 1)
    drivers.append(b)
    a.wait_ready()
    b.wait_ready()
    password = "bench %04x" % random.randrange(0x10000)
    url = a.must("invite " + password)["url"]
    accepted = time.monotonic()
    b.must("accept %s %s" % (url, password))
    b_on_a, a_on_b = netns.wait_link_up(a, b, accepted, "pairing")
    a.must("share %s %s" % (b_on_a, shared))
    answers = []

    def share_listed():
        answers.append(b.ask("list %s %s" % (a_on_b, shared)))
        return answers[-1] if answers[-1].get("ok") else None
    netns.wait_for("B to list the folder A shared", netns.CONDITION_LIMIT, share_listed, last=answers)
    tcp_captures = []
    if args.udp_only:
        tcp_captures = udp_only(network, a, b, b_on_a, a_on_b)

    copied = os.path.join(target, "big.bin")
    answer, wall, wire = copy(b, network, a_on_b, big, target)
    ok = "ok" if same_content(big, copied) else "DIFFERS"
    netns.log("fresh copy of %d bytes: %s, %.2f s (driver), %.1f MB/s, %s, %d restarts"
              % (args.bytes, ok, answer["seconds"], args.bytes / 1e6 / answer["seconds"], on_wire(wire),
                 answer["retries"]))

    with open(big, "r+b") as f:
        rng = random.Random(9000)
        for i in range(args.spots):
            f.seek(int((args.bytes - args.spot_size) * (i + 0.5) / args.spots))
            f.write(rng.randbytes(args.spot_size))
    answer, wall, wire = copy(b, network, a_on_b, big, target)
    ok = "ok" if same_content(big, copied) else "DIFFERS"
    netns.log("again after %d changed spots of %d bytes: %s, %.2f s (driver), %s "
              "(%.3f%% of the file), %d restarts"
              % (args.spots, args.spot_size, ok, answer["seconds"], on_wire(wire),
                 100.0 * sum(wire.values()) / args.bytes, answer["retries"]))

    answer, wall, wire = copy(b, network, a_on_b, many, target)
    count = len(os.listdir(os.path.join(target, "many")))
    ok = "ok" if count == args.files else "%d of %d files" % (count, args.files)
    netns.log("%d small files: %s, %.2f s (driver), %.0f files/s, %s, %d restarts"
              % (args.files, ok, answer["seconds"], args.files / answer["seconds"], on_wire(wire),
                 answer["retries"]))
    for capture in tcp_captures:
        capture.stop()
        packets = [line for line in capture.lines if line.strip()]
        if packets:
            raise netns.Failure("%d TCP packets crossed %s:\n  %s"
                                % (len(packets), capture.label, "\n  ".join(packets[:10])))
        netns.log("traffic: %s: 0 TCP packets" % capture.label)
    a.quit()
    b.quit()


def udp_only(network, a, b, b_on_a, a_on_b):
    """Waits for both UDP transports, stops TCP, and returns running captures
    of TCP on both veth ends."""
    def udp_up():
        states = []
        for driver, peer in ((a, b_on_a), (b, a_on_b)):
            transports = driver.must("udp " + peer)["transports"]
            states.append(bool(transports) and transports[0]["state"] == 0)
        return all(states)
    netns.wait_for("both UDP transports to come up", 120, udp_up, interval=0.5)
    network.block_tcp()
    captures = []
    for side in ("A", "B"):
        capture = netns.Capture(network, side, network.veth[side], "veth of %s (TCP only)" % side, ("tcp",))
        capture.wait_listening()
        captures.append(capture)
    netns.log("TCP stopped in both namespaces; the copies run over UDP alone")
    return captures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", required=True, help="the velmdriver executable (a Release build)")
    parser.add_argument("--bytes", type=int, default=1 << 30, help="size of the large file")
    parser.add_argument("--spots", type=int, default=10, help="changed spots before the second copy")
    parser.add_argument("--spot-size", type=int, default=4096, help="bytes of each changed spot")
    parser.add_argument("--files", type=int, default=10000, help="number of small files")
    parser.add_argument("--file-size", type=int, default=4096, help="size of each small file")
    parser.add_argument("--udp-only", action="store_true",
                        help="stop all TCP once the UDP transports are up (needs nftables)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()

    network = None
    drivers = []
    work = tempfile.mkdtemp(prefix="velm-bench-netns-")
    try:
        if os.geteuid() != 0:
            raise netns.Failure("network namespaces need root")
        if not os.access(args.driver, os.X_OK):
            raise netns.Failure("no driver at %s" % args.driver)
        # The drivers keep their settings out of root's home.
        home = os.path.join(work, "home")
        os.makedirs(os.path.join(home, "run"), mode=0o700)
        os.environ.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                           "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
                           "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                           "XDG_RUNTIME_DIR": os.path.join(home, "run")})
        netns.remove_stale_namespaces()
        network = netns.Network()
        network.create()
        netns.log("namespaces %s (%s) and %s (%s)" % (network.names["A"], network.address["A"],
                                                      network.names["B"], network.address["B"]))
        benchmark(args, network, work, drivers)
        return 0
    except netns.Failure as failure:
        netns.log("FAIL: %s" % failure)
        for driver in drivers:
            tail = driver.log_tail()
            if tail.strip():
                netns.log("--- stderr of %s (%s) ---\n%s" % (driver.name, driver.log_path, tail))
        return 1
    finally:
        for driver in drivers:
            driver.kill()
        if network:
            network.destroy()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
