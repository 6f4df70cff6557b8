#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Modbus over TLS peers for the end-to-end tests: Python's ssl module, certificates by openssl.
Commands: certs DIR | client PORT DIR NAME | operator PORT DIR SECONDS INTERVAL | stall PORT
silent|half | garbage PORT DIR | hostile PORT DIR KIND [SECONDS] | hello PORT SUITE... |
flood PORT DIR RATE SECONDS (see each function for what it does and prints)."""
import os
import socket
import ssl
import struct
import subprocess
import sys
import time

ROLE_OID = "1.3.6.1.4.1.50316.802.1"
DEADLINE = 30  # seconds; generous, only a broken gateway runs into it


def openssl(*args, cwd):
    subprocess.run(("openssl",) + args, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_ca(d, name, cn=None):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", name + ".key", "-out", name + ".pem", "-days", "30", "-subj",
            "/CN=" + (cn or name), cwd=d)


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
    # A push receiver at 127.0.0.3, and a client whose authority has the name of the real one.
    make_cert(d, "receiver", "ca", ["extendedKeyUsage=serverAuth", "subjectAltName=IP:127.0.0.3"])
    make_ca(d, "fakeca", "ca")
    make_cert(d, "impostor", "fakeca", role("operator"))
    # openssl writes a role extension once and only as given: these two are put together here.
    for name, roles in (("twice", [utf8("operator"), utf8("viewer")]),
                        ("padded", [utf8("operator") + b"\xde\xad"])):
        openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name, cwd=d)
        exts = [extension(OID["basicConstraints"], der(0x30, b"")),
                extension(OID["extKeyUsage"], der(0x30, OID["clientAuth"]))]
        exts += [extension(OID["role"], value) for value in roles]
        tbs = tbs_der(name, "ca", public_key(d, name + ".key"), OID["ecdsaSha256"], exts)
        sig = run(d, tbs, "dgst", "-sha256", "-sign", "ca.key")
        run(d, cert_der(tbs, OID["ecdsaSha256"], sig), "x509", "-inform", "DER", "-out",
            name + ".pem")
    print("ok")


def run(d, data, *args):
    return subprocess.run(("openssl",) + args, input=data, cwd=d, check=True,
                          capture_output=True).stdout


# DER, enough to write certificates that openssl will not make.
def der(tag, body):
    n = len(body)
    size = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + (bytes([n]) if n < 128 else bytes([0x80 | len(size)]) + size) + body


OID = {name: bytes.fromhex(text) for name, text in (
    ("role", "060B2B0601040183890C862201"), ("cn", "0603550403"),
    ("basicConstraints", "0603551D13"), ("extKeyUsage", "0603551D25"),
    ("clientAuth", "06082B06010505070302"), ("ecdsaSha256", "300A06082A8648CE3D040302"),
    ("rsaSha256", "300D06092A864886F70D01010B0500"), ("rsa", "300D06092A864886F70D0101010500"))}
EXPIRED = (b"190101000000Z", b"200101000000Z")


def integer(value):
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big"))


def utf8(text):
    return der(0x0C, text.encode())


def extension(ext_oid, value):
    return der(0x30, ext_oid + der(0x04, value))


def tbs_der(subject, issuer, spki, sig_alg, exts, dates=None):
    dates = dates or [time.strftime("%y%m%d%H%M%SZ", time.gmtime(time.time() + s)).encode()
                      for s in (-86400, 30 * 86400)]
    name = [der(0x30, der(0x31, der(0x30, OID["cn"] + utf8(cn)))) for cn in (issuer, subject)]
    return der(0x30, der(0xA0, integer(2)) + integer(int.from_bytes(os.urandom(8), "big")) +
               sig_alg + name[0] + der(0x30, b"".join(der(0x17, t) for t in dates)) + name[1] +
               spki + der(0xA3, der(0x30, b"".join(exts))))


def cert_der(tbs, sig_alg, signature):
    return der(0x30, tbs + sig_alg + der(0x03, b"\0" + signature))


def public_key(d, key_file):
    return run(d, None, "pkey", "-in", key_file, "-pubout", "-outform", "DER")


def hostile_chain(d, kind):
    """The certificates of a chain made to cost its receiver (none of them can be verified):
    heavy: a leaf and four self-named expired authorities with RSA-8192 keys and exponents of
    8190 bits; exponent: one authority, RSA-4096 with a 4000-bit exponent; long: six P-256
    certificates in a line; repeated: two authorities of the same name; curve: a P-521 leaf."""
    ec = public_key(d, "writer.key")
    ca_flag = [extension(OID["basicConstraints"], der(0x30, b"\x01\x01\xff"))]

    def signed(subject, issuer, spki, exts, n=None, dates=None):
        # A signature as long as the issuer's RSA modulus `n`, or an ECDSA one, of random values.
        alg = OID["rsaSha256"] if n else OID["ecdsaSha256"]
        size = n.bit_length() // 8 if n else 0
        sig = (int.from_bytes(os.urandom(size), "big") % n).to_bytes(size, "big") if n else \
            der(0x30, integer(1 << 250) * 2)
        return cert_der(tbs_der(subject, issuer, spki, alg, exts, dates), alg, sig)

    if kind in ("heavy", "exponent"):
        bits, e_bits, count = (8192, 8190, 4) if kind == "heavy" else (4096, 4000, 1)
        keys = []
        for _ in range(count):
            n = int.from_bytes(os.urandom(bits // 8), "big") | 1 << (bits - 1) | 1
            e = int.from_bytes(os.urandom(e_bits // 8), "big") | 1 << (e_bits - 1) | 1
            keys.append((n, der(0x30, OID["rsa"] + der(0x03, b"\0" + der(0x30, integer(n) +
                                                                           integer(e))))))
        return [signed("intruder", "authority", ec, [], keys[0][0])] + \
            [signed("authority", "authority", spki, ca_flag, n, EXPIRED) for n, spki in keys]
    if kind == "long":
        return [signed("link%d" % i, "link%d" % (i + 1), ec, ca_flag if i else [])
                for i in range(6)]
    if kind == "repeated":
        return [signed("intruder", "twin", ec, [])] + \
            [signed("twin", "twin", ec, ca_flag) for _ in range(2)]
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-521", "-out",
            "p521.key", cwd=d)
    return [signed("intruder", "ca", public_key(d, "p521.key"), [])]  # curve


# A TLS 1.2 client written out by hand, for what the ssl module does not send.
def record(kind, body):
    return struct.pack(">BHH", kind, 0x0303, len(body)) + body


def handshake_message(kind, body):
    return bytes([kind]) + len(body).to_bytes(3, "big") + body


def client_hello(suites):
    # Groups x25519 and secp256r1, uncompressed points, ECDSA and RSA signatures.
    ext = bytes.fromhex("000a00060004001d0017" "000b00020100" "000d000c000a04030503040105010804")
    body = b"\x03\x03" + os.urandom(32) + b"\0" + struct.pack(">H", 2 * len(suites))
    body += b"".join(struct.pack(">H", s) for s in suites) + b"\x01\x00"
    return record(22, handshake_message(1, body + struct.pack(">H", len(ext)) + ext))


def server_answer(sock):
    """Reads the server's records up to its ServerHelloDone: "hello", "alert N" or "closed"."""
    try:
        data = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return "closed"
            data += chunk
            while len(data) >= 5 and len(data) >= 5 + struct.unpack(">H", data[3:5])[0]:
                kind, body = data[0], data[5:5 + struct.unpack(">H", data[3:5])[0]]
                data = data[5 + len(body):]
                if kind == 21:
                    return "alert %d" % body[1]
                while kind == 22 and len(body) >= 4:  # its handshake messages
                    if body[0] == 14:
                        return "hello"
                    body = body[4 + int.from_bytes(body[1:4], "big"):]
    except (ConnectionError, socket.timeout):
        return "closed"


def hostile(port, d, kind, seconds=None):
    """Presents a hostile chain (see hostile_chain), or ("alerts") sends 30 KB of warning alerts
    after its ClientHello; prints how the gateway ended it ("alert N" or "closed"). With SECONDS,
    does so again and again for that long and prints how often."""
    if kind == "alerts":
        flight = record(21, b"\x01\x5a") * 4300
    else:
        chain = b"".join(len(c).to_bytes(3, "big") + c for c in hostile_chain(d, kind))
        flight = record(22, handshake_message(11, len(chain).to_bytes(3, "big") + chain))
    end, count = time.monotonic() + float(seconds or 0), 0
    while count == 0 or time.monotonic() < end:
        sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        try:
            sock.sendall(client_hello([0xC02B, 0xC02F]))
            server_answer(sock)
            sock.sendall(flight)
            answer = server_answer(sock)
        except ConnectionError:
            answer = "closed"
        sock.close()
        count += 1
    print(answer if seconds is None else "%d handshakes" % count)
    return 0


def hello(port, suites):
    """Sends a ClientHello offering only SUITES (hex numbers); prints "hello" when the gateway
    went on with one of them, "alert N" when it refused."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
    sock.sendall(client_hello([int(s, 16) for s in suites]))
    print(server_answer(sock))
    return 0


def flood(port, d, rate, seconds):
    """Handshakes at RATE a second for SECONDS with a certificate of an impostor authority (the
    real one's name, another key); prints how many the gateway refused."""
    ctx = context(d, "impostor")
    refused, start, i = 0, time.monotonic(), 0
    while time.monotonic() < start + seconds:
        time.sleep(max(0.0, start + i / rate - time.monotonic()))
        i += 1
        try:
            with ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=DEADLINE),
                                 server_hostname="127.0.0.1") as sock:
                sock.recv(1)
        except (ssl.SSLError, ConnectionError, socket.timeout):
            refused += 1
    print("%d of %d handshakes refused" % (refused, i))
    return 0


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


def operator(port, d, seconds, interval):
    """Reads registers 1025-1026 as the writer every INTERVAL seconds for SECONDS, connecting again
    after a failure. Prints "connected" after its first handshake, then "reads N failed M worst W"
    (W: the longest read answered, in seconds), then "closed" once the gateway closes the
    connection."""
    ctx = context(d, "writer")
    def connect():
        raw = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        return ctx.wrap_socket(raw, server_hostname="127.0.0.1")

    sock, reads, failed, worst, end = connect(), 0, 0, 0.0, time.monotonic() + seconds
    print("connected", flush=True)
    while time.monotonic() < end:
        t0, reads = time.monotonic(), reads + 1
        try:
            sock = sock or connect()
            exchange(sock, reads, struct.pack(">BHH", 3, 0x400, 2))
            worst = max(worst, time.monotonic() - t0)
        except (OSError, EOFError, AssertionError):
            failed, sock = failed + 1, None
        time.sleep(max(0.0, interval - (time.monotonic() - t0)))
    print("reads %d failed %d worst %.3f" % (reads, failed, worst), flush=True)
    return wait_closed(sock) if sock else 0


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
    if cmd == "operator":
        return operator(int(argv[2]), argv[3], float(argv[4]), float(argv[5]))
    if cmd == "stall":
        return stall(int(argv[2]), argv[3]) or 0
    if cmd == "garbage":
        return garbage(int(argv[2]), argv[3])
    if cmd == "hostile":
        return hostile(int(argv[2]), argv[3], argv[4], *argv[5:])
    if cmd == "hello":
        return hello(int(argv[2]), argv[3:])
    if cmd == "flood":
        return flood(int(argv[2]), argv[3], float(argv[4]), float(argv[5]))
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
