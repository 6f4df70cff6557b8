#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Modbus over TLS peers for the end-to-end tests: Python's ssl module, certificates by openssl.
Commands: certs DIR | client PORT DIR NAME | stall PORT silent|half | garbage PORT DIR (see each
function for what it does and prints)."""
import os
import socket
import ssl
import struct
import subprocess
import sys

ROLE_OID = "1.3.6.1.4.1.50316.802.1"
DEADLINE = 30  # seconds; generous, only a broken gateway runs into it


def openssl(*args, cwd):
    subprocess.run(("openssl",) + args, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_ca(d, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", name + ".key", "-out", name + ".pem", "-days", "30", "-subj",
            "/CN=" + name, cwd=d)


def make_cert(d, name, ca, ext_lines, dates=None):
    with open(os.path.join(d, name + ".ext"), "w") as f:
        f.write("\n".join(["basicConstraints=CA:FALSE"] + ext_lines) + "\n")
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
            name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name, cwd=d)
    if dates is None:
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-days", "30", "-extfile", name + ".ext", "-out",
                name + ".pem", cwd=d)
        return
    # Dates in the past need "openssl ca" and its small database.
    for f, text in (("index.txt", ""), ("serial", "1000\n")):
        with open(os.path.join(d, f), "w") as out:
            out.write(text)
    with open(os.path.join(d, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=own\n[own]\ndatabase=index.txt\nserial=serial\n"
                "new_certs_dir=.\ndefault_md=sha256\npolicy=any\n[any]\ncommonName=supplied\n")
    openssl("ca", "-batch", "-config", "ca.cnf", "-cert", ca + ".pem", "-keyfile", ca + ".key",
            "-in", name + ".csr", "-out", name + ".pem", "-startdate", dates[0], "-enddate",
            dates[1], "-extfile", name + ".ext", "-notext", cwd=d)


def certs(d):
    """A certificate authority (ca.pem), the gateway's certificate (server and client
    authentication) and client certificates: writer (role operator), reader (role viewer),
    norole, foreign (signed by another authority), expired (in 2020)."""
    make_ca(d, "ca")
    make_ca(d, "otherca")
    make_cert(d, "gateway", "ca", ["extendedKeyUsage=serverAuth,clientAuth",
                                   "subjectAltName=IP:127.0.0.1,DNS:localhost"])
    def role(name):
        return ["extendedKeyUsage=clientAuth", ROLE_OID + "=ASN1:UTF8String:" + name]

    make_cert(d, "writer", "ca", role("operator"))
    make_cert(d, "reader", "ca", role("viewer"))
    make_cert(d, "norole", "ca", ["extendedKeyUsage=clientAuth"])
    make_cert(d, "foreign", "otherca", ["extendedKeyUsage=serverAuth,clientAuth",
                                        "subjectAltName=DNS:localhost",
                                        ROLE_OID + "=ASN1:UTF8String:operator"])
    make_cert(d, "expired", "ca", role("operator"), ("20200101000000Z", "20200102000000Z"))
    print("ok")


def context(d, name, server=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER if server else ssl.PROTOCOL_TLS_CLIENT)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    ctx.load_verify_locations(os.path.join(d, "ca.pem"))
    if server:
        ctx.verify_mode = ssl.CERT_REQUIRED
    if name != "none":
        ctx.load_cert_chain(os.path.join(d, name + ".pem"), os.path.join(d, name + ".key"))
    return ctx


def read_frame(sock):
    data = b""
    while len(data) < 6 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
        chunk = sock.recv(260)
        if not chunk:
            raise EOFError("connection closed")
        data += chunk
    return data


def exchange(sock, tid, pdu):
    sock.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, 1) + pdu)
    answer = read_frame(sock)
    assert struct.unpack(">H", answer[0:2])[0] == tid, answer
    return answer[7:]


def client(port, d, name):
    """Reads registers 1025-1026 and writes 7 to 1027 as NAME ("none": no certificate); prints
    "read V1 V2 write ok|exception N" or "handshake failed"."""
    ctx = context(d, name)
    raw = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    try:
        sock = ctx.wrap_socket(raw, server_hostname="127.0.0.1")
        # Under TLS 1.2 the server's Finished comes only after it accepted the client's
        # certificate; the first read shows a refusal that arrives later.
        answer = exchange(sock, 1, struct.pack(">BHH", 3, 0x400, 2))
    except (ssl.SSLError, ConnectionError, EOFError):
        print("handshake failed")
        return 0
    out = "read %d %d" % struct.unpack(">HH", answer[2:6]) if answer[0] == 3 else \
        "read exception %d" % answer[1]
    answer = exchange(sock, 2, struct.pack(">BHHBH", 16, 0x402, 1, 2, 7))
    out += " write " + ("ok" if answer[0] == 16 else "exception %d" % answer[1])
    sock.close()
    print(out)
    return 0


def wait_closed(sock):
    sock.settimeout(DEADLINE)
    try:
        while sock.recv(4096):
            pass
    except ConnectionError:
        pass
    print("closed")
    sys.stdout.flush()


def stall(port, mode):
    sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    if mode == "half":
        # The first bytes of a ClientHello record: its header and a little of its body.
        sock.sendall(bytes([0x16, 0x03, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0xFC, 0x03, 0x03]))
    print("connected")
    sys.stdout.flush()
    wait_closed(sock)


def handshaken(port, d):
    """A raw socket, a TLS session over it whose handshake is done (as the writer), and the memory
    buffer that takes the session's records."""
    ctx = context(d, "writer")
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1")
    sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            sock.sendall(outgoing.read())
            incoming.write(sock.recv(16384))
    sock.sendall(outgoing.read())
    return sock, tls, outgoing


def garbage(port, d):
    cut_hello = bytes([0x16, 0x03, 0x03, 0x00, 0x05, 1, 0, 0, 1, 0])
    cases = [
        b"GET / HTTP/1.0\r\n\r\n",  # not TLS at all
        bytes(range(256)) * 4,  # noise
        cut_hello,  # a ClientHello cut short, then the end
        bytes([0x16, 0x03, 0x03, 0xFF, 0xFF]) + b"\0" * 64,  # a record longer than allowed
    ]
    for data in cases:
        sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        sock.sendall(data)
        if data is cut_hello:
            sock.shutdown(socket.SHUT_WR)
        wait_closed(sock)
    # After a complete handshake: a record that fails its check, and a request's record cut
    # short by the end of the connection.
    sock, tls, outgoing = handshaken(port, d)
    sock.sendall(bytes([0x17, 0x03, 0x03, 0x00, 0x30]) + os.urandom(0x30))
    wait_closed(sock)
    sock, tls, outgoing = handshaken(port, d)
    tls.write(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 0x400, 1))
    record = outgoing.read()
    sock.sendall(record[: len(record) // 2])
    sock.shutdown(socket.SHUT_WR)
    wait_closed(sock)
    return 0


def main(argv):
    cmd = argv[1]
    if cmd == "certs":
        return certs(argv[2]) or 0
    if cmd == "client":
        return client(int(argv[2]), argv[3], argv[4])
    if cmd == "stall":
        return stall(int(argv[2]), argv[3]) or 0
    if cmd == "garbage":
        return garbage(int(argv[2]), argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
