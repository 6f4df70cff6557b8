#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Clients that measure a gateway: load PORT DIR NAME|plain CLIENTS READS (see load). Over TLS
with the certificates of tls_peer.py certs DIR."""
import statistics
import struct
import sys
import time

from tls_peer import connect, exchange, tls


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def load(port, d, name, clients, reads):
    """CLIENTS clients (as NAME over TLS, or "plain" Modbus) connect, then read registers
    1025-1026 READS times each, one read at a time; prints the median handshake and the median and
    longest read round trip, then keeps the connections until standard input ends."""
    socks, handshakes, trips = [], [], []
    for _ in range(clients):
        began = time.monotonic()
        sock = connect(port) if name == "plain" else tls(port, d, name)
        handshakes.append(time.monotonic() - began)
        socks.append(sock)
    for n in range(reads):
        for sock in socks:
            began = time.monotonic()
            answer = exchange(sock, n + 1, struct.pack(">BHH", 3, 0x400, 2))
            trips.append(time.monotonic() - began)
            if answer[0] != 3:
                print("read exception %d" % answer[1])
                return 1
    handshake = "" if name == "plain" else "handshake %s median, " % ms(statistics.median(handshakes))
    print("%d clients: %s%d reads, round trip %s median, %s longest" % (
        clients, handshake, len(trips), ms(statistics.median(trips)), ms(max(trips))))
    sys.stdout.flush()
    sys.stdin.read()
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 7 or sys.argv[1] != "load":
        print(__doc__)
        sys.exit(2)
    sys.exit(load(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6])))
