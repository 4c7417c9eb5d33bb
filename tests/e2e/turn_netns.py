#!/usr/bin/env python3
"""TURN relay transports against coturn, in two network namespaces.

Namespaces A and B are joined by a veth pair; besides their private
addresses the two ends carry 198.18.0.1 and 198.18.0.2 from the benchmarking
range (the transport refuses private and loopback peers). Nothing else leads
out of them: a "sink" takes each default route.

B runs coturn (Debian's turnserver) on 198.18.0.2: plain STUN on UDP 3478,
TLS on 443 with a self-signed certificate made here by openssl, long-term
credentials for the user "velm1", relayed addresses on 198.18.0.2, peers
only inside 198.18.0.0/15, allocation lifetimes of 30 s and nonces that go
stale after 5 s. A runs turnprobe (see turnprobe.cpp), which trusts the
certificate only because it is told to: allocation, channel binding,
ping/pong, sealed datagrams between a plain UDP socket and a transport and
between two transports, refreshes with stale nonces.

tcpdump watches A's veth end and both sinks: every packet on the veth must go
between the namespaces' addresses, and the sinks must see nothing.

Needs root; fails, never skips, where namespaces cannot be made or coturn is
missing.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from netnslab import (Capture, Failure, Network, check_veth_capture, log, remove_stale_namespaces, run, stop_process,
                      wait_for)

LOCAL = "198.18.0.1"
RELAY = "198.18.0.2"
PROBE_LIMIT = 330


def make_certificate(work):
    cert = os.path.join(work, "relay-cert.pem")
    key = os.path.join(work, "relay-key.pem")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-keyout", key, "-out", cert, "-subj", "/CN=" + RELAY,
         "-addext", "subjectAltName=IP:" + RELAY])
    return cert, key


def start_relay(network, work, cert, key, password):
    turnserver = shutil.which("turnserver")
    if not turnserver:
        raise Failure("turnserver (Debian package coturn) is not installed; scripts/install-deps.sh installs it")
    log_path = os.path.join(work, "turnserver.log")
    log_file = open(log_path, "w")
    args = ["ip", "netns", "exec", network.names["B"], turnserver, "-n",
            "--listening-ip=" + RELAY, "--relay-ip=" + RELAY,
            "--listening-port=3478", "--tls-listening-port=443",
            "--lt-cred-mech", "--user=velm1:" + password, "--realm=velm.test",
            "--cert=" + cert, "--pkey=" + key,
            "--no-dtls", "--no-tcp-relay", "--no-cli", "--no-multicast-peers",
            "--allowed-peer-ip=198.18.0.0-198.19.255.255",
            "--denied-peer-ip=0.0.0.0-198.17.255.255",
            "--denied-peer-ip=198.20.0.0-255.255.255.255",
            "--max-allocate-lifetime=30", "--stale-nonce=5",
            "--min-port=49152", "--max-port=49408",
            "--userdb=" + os.path.join(work, "turndb"),
            "--pidfile=" + os.path.join(work, "turnserver.pid"),
            "--log-file=stdout", "--simple-log", "-v"]
    process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log_file, stderr=subprocess.STDOUT)

    def listening():
        if process.poll() is not None:
            raise Failure("turnserver ended (exit %s); its log:\n%s" % (process.returncode, tail(log_path)))
        out = network.ns("B", "ss", "-ltnu").stdout
        return (RELAY + ":443") in out and (RELAY + ":3478") in out
    wait_for("turnserver to listen on %s" % RELAY, 30, listening)
    return process, log_file, log_path


def tail(path, lines=40):
    try:
        with open(path) as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def stop(process):
    stop_process(process, 20)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    options = parser.parse_args()

    remove_stale_namespaces()
    work = tempfile.mkdtemp(prefix="velm-turn-")
    network = Network(extra_addresses={"A": [LOCAL + "/24"], "B": [RELAY + "/24"]})
    relay = None
    log_file = None
    log_path = None
    captures = []
    ok = False
    try:
        network.create()
        cert, key = make_certificate(work)
        password = "relay-%06x" % random.randrange(1 << 24)
        captures = [Capture(network, "A", network.veth["A"], "A veth"),
                    Capture(network, "A", network.sink["A"], "A sink"),
                    Capture(network, "B", network.sink["B"], "B sink")]
        for c in captures:
            c.wait_listening()
        relay, log_file, log_path = start_relay(network, work, cert, key, password)

        started = time.monotonic()
        probe = subprocess.run(
            ["ip", "netns", "exec", network.names["A"], options.probe, "--server=" + RELAY,
             "--password=" + password, "--trusted=" + cert, "--local=" + LOCAL],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            timeout=PROBE_LIMIT)
        with open(os.path.join(work, "probe.stderr"), "w") as f:
            f.write(probe.stderr)
        sys.stdout.write(probe.stdout)
        log("timing: probe ran %.1f s" % (time.monotonic() - started))
        if probe.returncode != 0 or not probe.stdout.rstrip().endswith("PASS"):
            raise Failure("turnprobe failed (exit %d); its stderr:\n%s\nrelay log:\n%s"
                          % (probe.returncode, probe.stderr[-4000:], tail(log_path)))

        stop(relay)
        relay = None
        relay_log = tail(log_path, 100000)
        for wanted in ("error 401", "ALLOCATE processed, success", "CHANNEL_BIND processed, success",
                       "error 438", "REFRESH processed, success"):
            if wanted not in relay_log:
                raise Failure("the relay's log lacks %r" % wanted)
        dropped = [c.stop() for c in captures]
        allowed = {LOCAL, RELAY, network.address["A"], network.address["B"]}
        packets, tcp = check_veth_capture(captures[0], allowed)
        log("capture: %d packets on A's veth (%d TCP), kernel dropped %s" % (packets, tcp, dropped[0]))
        if tcp == 0:
            raise Failure("the capture saw no TLS traffic to the relay")
        for c in captures[1:]:
            lines = [line for line in c.lines if line.strip()]
            if lines:
                raise Failure("traffic reached the %s:\n  %s" % (c.label, "\n  ".join(lines[:20])))
        ok = True
        log("PASS")
    finally:
        stop(relay)
        if log_file:
            log_file.close()
        for c in captures:
            c.kill()
        network.destroy()
        if ok:
            shutil.rmtree(work, ignore_errors=True)
        else:
            log("kept %s for inspection" % work)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as e:
        log("FAIL: %s" % e)
        sys.exit(1)
