#!/usr/bin/env python3
"""A small STUN responder for tests: answers every Binding request with the
sender's own address and port in an XOR-MAPPED-ADDRESS, from each port it is
given, on one address. Anything else is ignored. It prints "listening" once
all sockets are bound and runs until it is stopped; a count of the requests
answered goes to stderr at the end.

Run it inside the test's namespaces only: it answers whoever asks.
"""

import argparse
import selectors
import signal
import socket
import struct
import sys

MAGIC = 0x2112A442


def answer(request, address, port):
    if len(request) < 20:
        return None
    kind, length, cookie = struct.unpack("!HHI", request[:8])
    if kind != 0x0001 or cookie != MAGIC:
        return None
    transaction = request[8:20]
    packed = socket.inet_aton(address)
    xaddr = struct.unpack("!I", packed)[0] ^ MAGIC
    value = struct.pack("!BBHI", 0, 1, port ^ (MAGIC >> 16), xaddr)
    attribute = struct.pack("!HH", 0x0020, len(value)) + value
    return struct.pack("!HHI", 0x0101, len(attribute), MAGIC) + transaction + attribute


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, action="append", required=True)
    args = parser.parse_args()

    def stop(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop)

    selector = selectors.DefaultSelector()
    for port in args.port:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((args.address, port))
        selector.register(s, selectors.EVENT_READ)
    print("listening", flush=True)
    answered = 0
    try:
        while True:
            for key, _ in selector.select():
                data, (host, port) = key.fileobj.recvfrom(2048)
                reply = answer(data, host, port)
                if reply:
                    key.fileobj.sendto(reply, (host, port))
                    answered += 1
    except KeyboardInterrupt:
        pass
    print("answered %d" % answered, file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
