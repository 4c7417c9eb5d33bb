#!/usr/bin/env python3
"""Two engines link up over an onion transport through a stand-in tor.

Both velmdrivers run in one network namespace that has no route out (its
default route goes to a "sink" that tcpdump watches and that must see
nothing), each with its own configuration directory, listening port and Tor
ports, and with the Tor service on. The stand-in tor (tests/support/fake_tor.py)
comes first on the path: it publishes each instance's onion service in a
registry the two share and connects "<id>.onion" through its SOCKS port to the
instance's listener on loopback.

The scenario: both publish an onion address; A invites with its onion
transport alone, B accepts; both report LinkUp; B's link to A runs over an
up "onion" transport, and the stand-in's SOCKS server was asked for A's
address. After quit no stand-in process is left. A started again publishes
the same address with its stored key.

Needs root (network namespaces, packet capture); fails, never skips, where
namespaces cannot be made.
"""

import os
import sys
import time

from netnslab import (check_sink_capture, log, run_test, stop_capture, test_arguments, wait_for, wait_link_up,
                      Capture, Driver, Failure)

ONION_LIMIT = 90.0
HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_TOR = os.path.join(HERE, "..", "support", "fake_tor.py")
TOR_PORTS = {"A": (9451, 9350), "B": (9452, 9351)}


def read_log(path, prefix):
    try:
        with open(path) as f:
            return [line[len(prefix):].rstrip("\n") for line in f if line.startswith(prefix)]
    except OSError:
        return []


def scenario(binary, network, work, drivers):
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    os.symlink(os.path.abspath(FAKE_TOR), os.path.join(bin_dir, "tor"))
    tor_log = os.path.join(work, "fake_tor.log")
    os.environ["PATH"] = bin_dir + os.pathsep + os.environ.get("PATH", "")
    os.environ["FAKE_TOR_LOG"] = tor_log
    os.environ["FAKE_TOR_REGISTRY"] = os.path.join(work, "onion-registry")

    started = {}
    for side in ("A", "B"):
        control, socks = TOR_PORTS[side]
        driver = Driver(binary, network, side, "A", os.path.join(work, "config-" + side), work, 1,
                        extra_args=("--turn=0", "--tor=1", "--tor-control-port=%d" % control,
                                    "--tor-socks-port=%d" % socks, "--invite-transports=onion"))
        drivers.append(driver)
    a, b = drivers
    for driver in drivers:
        driver.wait_ready()

    def onion(driver):
        address = driver.must("status").get("onion", "")
        return address if address.endswith(".onion") else None
    onions = {}
    for driver in drivers:
        onions[driver.name] = wait_for("the onion address of %s" % driver.name, ONION_LIMIT,
                                       lambda: onion(driver), interval=0.5)
        started[driver.name] = time.monotonic()
    log("onion addresses: A %s, B %s" % (onions["A"], onions["B"]))
    if onions["A"] == onions["B"]:
        raise Failure("both instances got the same onion address")

    invitation = a.must("invite tor-secret")
    accepted_at = time.monotonic()
    if b.must("accept %s tor-secret" % invitation["url"])["result"] != "new":
        raise Failure("B did not take the invitation as a new peer")
    uuid_of_b, uuid_of_a = wait_link_up(a, b, accepted_at, "pairing")

    info = b.must("linkinfo %s" % uuid_of_a)
    transports = [t for endpoint in info["clients"] + info["servers"] for t in endpoint["transports"]]
    wanted = "onion %s:%d state 0" % (onions["A"], 41001)
    if not any(t.startswith(wanted) for t in transports):
        raise Failure("B's link to A has no up onion transport %r: %s" % (wanted, transports))
    asked = read_log(tor_log, "socks: ")
    if "%s:%d" % (onions["A"], 41001) not in asked:
        raise Failure("the stand-in's SOCKS server was not asked for A's onion address: %s" % asked)
    log("B reached A through %s; SOCKS requests: %s" % (wanted, asked))

    for driver in drivers:
        driver.quit()
    wait_for("every stand-in tor to exit", 30,
             lambda: len(read_log(tor_log, "exit: ")) >= len(read_log(tor_log, "start: ")))
    log("stand-in processes: %d started, all exited" % len(read_log(tor_log, "start: ")))

    # A started again publishes the same address: its key was stored and is
    # sent back instead of asking for a new one.
    commands = len(read_log(tor_log, "control: "))
    control, socks = TOR_PORTS["A"]
    again = Driver(binary, network, "A", "A", os.path.join(work, "config-A"), work, 2,
                   extra_args=("--turn=0", "--tor=1", "--tor-control-port=%d" % control,
                               "--tor-socks-port=%d" % socks))
    drivers.append(again)
    again.wait_ready()
    address = wait_for("the onion address of A after its restart", ONION_LIMIT, lambda: onion(again), interval=0.5)
    if address != onions["A"]:
        raise Failure("A's onion address changed across a restart: %s, then %s" % (onions["A"], address))
    added = [c for c in read_log(tor_log, "control: ")[commands:] if c.startswith("ADD_ONION")]
    if not added or any(c.startswith("ADD_ONION NEW:") for c in added):
        raise Failure("A did not send its stored key after the restart: %s"
                      % [c.split(":")[0] for c in added])
    again.quit()
    log("A kept its onion address %s across a restart" % address)


def main():
    args = test_arguments(__doc__.splitlines()[0])

    def body(lab):
        network = lab.network
        log("namespace %s (%s)" % (network.names["A"], network.address["A"]))
        sink = Capture(network, "A", network.sink["A"], "sink of A")
        lab.captures.append(sink)
        sink.wait_listening()
        scenario(args.driver, network, lab.work, lab.drivers)
        stop_capture(sink)
        check_sink_capture(sink)
        log("PASS: onion link through the stand-in tor")
    return run_test(args, "velm-onion-", body, ("ip", "tcpdump", "python3"))


if __name__ == "__main__":
    sys.exit(main())
