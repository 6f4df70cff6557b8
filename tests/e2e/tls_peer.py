#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Modbus over TLS peers for the end-to-end tests: Python's ssl module, certificates by openssl.
Commands: certs DIR | lasting DIR | client PORT DIR NAME [VERSION] | resume PORT DIR NAME
VERSION | operator PORT DIR SECONDS INTERVAL | garbage PORT DIR VERSION | hostile PORT DIR KIND
VERSION [SECONDS] | hello PORT SUITE... | flood PORT DIR RATE SECONDS (see each function for what
it does and prints). VERSION is 1.2 or 1.3, the only TLS version the peer offers."""
import os
import socket
import ssl
import struct
import subprocess
import sys
import time

ROLE_OID = "1.3.6.1.4.1.50316.802.1"
DEADLINE = 30  # seconds; generous, only a broken gateway runs into it
OID = {name: bytes.fromhex(text) for name, text in (
    ("role", "060B2B0601040183890C862201"), ("cn", "0603550403"),
    ("basicConstraints", "0603551D13"), ("extKeyUsage", "0603551D25"),
    ("clientAuth", "06082B06010505070302"), ("serverAuth", "06082B06010505070301"),
    ("ecdsaSha256", "300A06082A8648CE3D040302"),
    ("rsaSha256", "300D06092A864886F70D01010B0500"), ("rsa", "300D06092A864886F70D0101010500"))}
EXPIRED = (b"200101000000Z", b"200102000000Z")


def openssl(d, *args, data=None):
    return subprocess.run(("openssl",) + args, input=data, cwd=d, check=True,
                          capture_output=True).stdout


def make(d, name, ca=None, ext=(), cn=None):
    """NAME.key (EC P-256) and NAME.pem: an authority named CN (or NAME) when CA is None, else a
    certificate signed by CA with the extension lines EXT."""
    new = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
           name + ".key", "-subj", "/CN=" + (cn or name))
    if ca is None:
        return openssl(d, "req", "-x509", *new, "-days", "30", "-out", name + ".pem")
    with open(os.path.join(d, name + ".ext"), "w") as f:
        f.write("\n".join(["basicConstraints=CA:FALSE"] + ext) + "\n")
    openssl(d, "req", *new, "-out", name + ".csr")
    return openssl(d, "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey",
                   ca + ".key", "-CAcreateserial", "-days", "30", "-extfile", name + ".ext",
                   "-out", name + ".pem")


def certs(d):
    """Makes the authorities and certificates the tests use in D (see the comments); prints "ok"."""
    for ca, cn in (("ca", None), ("otherca", None), ("fakeca", "ca")):  # fakeca has ca's name
        make(d, ca, cn=cn)
    # Signed by ca unless said otherwise: name, authority, extended key usage, SAN, role.
    for name, ca, usage, san, role in (
            ("gateway", "ca", "serverAuth,clientAuth", "IP:127.0.0.1,DNS:localhost", None),
            ("writer", "ca", "clientAuth", None, "operator"),
            ("reader", "ca", "clientAuth", None, "viewer"),
            ("norole", "ca", "clientAuth", None, None),
            ("foreign", "otherca", "serverAuth,clientAuth", "DNS:localhost", "operator"),
            ("receiver", "ca", "serverAuth", "IP:127.0.0.3", None),  # a push receiver
            # The system test's MQTT broker, which the guest reaches at 10.0.2.100.
            ("broker", "ca", "serverAuth", "IP:10.0.2.100,IP:127.0.0.1", None),
            ("impostor", "fakeca", "clientAuth", None, "operator"),
            # Each with the other extended key usage than it needs.
            ("serverclient", "ca", "serverAuth", None, "operator"),
            ("clientgateway", "ca", "clientAuth", "IP:127.0.0.1", None),
            ("servergateway", "ca", "serverAuth", "IP:127.0.0.1", None)):
        ext = ("extendedKeyUsage=" + usage, san and "subjectAltName=" + san,
               role and ROLE_OID + "=ASN1:UTF8String:" + role)
        make(d, name, ca, [line for line in ext if line])
    # The gateway's key under a password.
    openssl(d, "pkey", "-in", "gateway.key", "-aes128", "-passout", "pass:secret", "-out",
            "encrypted.key")
    # What openssl does not write: a role extension twice (the writer's first) or with bytes after
    # its text (it keeps one extension of a kind), and dates in the past (they need a database of
    # its own; the expired certificate serves as a client's and as a gateway's).
    for name, roles, dates, usage in (
            ("twice", [utf8("operator"), utf8("viewer")], None, OID["clientAuth"]),
            ("padded", [utf8("operator") + b"\xde\xad"], None, OID["clientAuth"]),
            ("expired", [utf8("operator")], EXPIRED, OID["serverAuth"] + OID["clientAuth"])):
        exts = [extension(OID["basicConstraints"], der(0x30, b"")),
                extension(OID["extKeyUsage"], der(0x30, usage))]
        exts += [extension(OID["role"], value) for value in roles]
        cert = certificate(name, "ca", ec_key(d, name), exts, dates, os.path.join(d, "ca.key"))
        with open(os.path.join(d, name + ".pem"), "w") as f:
            f.write(ssl.DER_cert_to_PEM_cert(cert))
    print("ok")


def lasting(d):
    """Makes in D certificates for a gateway whose clock is past 2038: an authority, "gateway"
    (IP 127.0.0.1), "receiver" (a push receiver, IP 127.0.0.2) and "writer" (role operator), valid
    from 2026 to 2045, and "lapsed", a writer whose certificate expired in 2038. Prints "ok"."""
    # openssl ca sets both dates (req and x509 start at the present); it keeps a database.
    with open(os.path.join(d, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca = site\n[site]\ndatabase = index.txt\nnew_certs_dir = .\n"
                "serial = serial\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                "[any]\ncommonName = supplied\n")
    open(os.path.join(d, "index.txt"), "w").close()
    with open(os.path.join(d, "serial"), "w") as f:
        f.write("1000\n")
    for name, usage, san, role, end in (
            ("ca", None, None, None, "450101000000Z"),
            ("gateway", "serverAuth,clientAuth", "IP:127.0.0.1", None, "450101000000Z"),
            ("receiver", "serverAuth", "IP:127.0.0.2", None, "450101000000Z"),
            ("writer", "clientAuth", None, "operator", "450101000000Z"),
            ("lapsed", "clientAuth", None, "operator", "380601000000Z")):
        ext = ["basicConstraints=critical,CA:TRUE", "keyUsage=keyCertSign,cRLSign"] if not usage \
            else ["basicConstraints=CA:FALSE", "extendedKeyUsage=" + usage,
                  "authorityKeyIdentifier=keyid"]
        ext += [line for line in ("subjectKeyIdentifier=hash", san and "subjectAltName=" + san,
                                  role and ROLE_OID + "=ASN1:UTF8String:" + role) if line]
        with open(os.path.join(d, name + ".ext"), "w") as f:
            f.write("\n".join(ext) + "\n")
        openssl(d, "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", name + ".key", "-subj", "/CN=" + name, "-out", name + ".csr")
        signer = ("-selfsign",) if not usage else ("-cert", "ca.pem")
        openssl(d, "ca", "-batch", "-config", "ca.cnf", *signer, "-keyfile", "ca.key", "-in",
                name + ".csr", "-startdate", "260101000000Z", "-enddate", end, "-extfile",
                name + ".ext", "-notext", "-out", name + ".pem")
    print("ok")


def ec_key(d, name, curve="P-256"):
    """A new EC key NAME.key; its public key in DER."""
    openssl(d, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve, "-out",
            name + ".key")
    return openssl(d, "pkey", "-in", name + ".key", "-pubout", "-outform", "DER")


# DER, enough to write certificates that openssl will not make.
def der(tag, body):
    n = len(body)
    size = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + (bytes([n]) if n < 128 else bytes([0x80 | len(size)]) + size) + body


def integer(value):
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big"))


def utf8(text):
    return der(0x0C, text.encode())


def extension(ext_oid, value):
    return der(0x30, ext_oid + der(0x04, value))


def certificate(subject, issuer, spki, exts, dates=None, key=None, n=None):
    """A certificate in DER signed with the EC key file KEY; without one (made to cost its
    checker), a random RSA signature as long as the modulus N, or a random ECDSA one."""
    alg = OID["rsaSha256"] if n else OID["ecdsaSha256"]
    dates = dates or [time.strftime("%y%m%d%H%M%SZ", time.gmtime(time.time() + s)).encode()
                      for s in (-86400, 30 * 86400)]
    name = [der(0x30, der(0x31, der(0x30, OID["cn"] + utf8(cn)))) for cn in (issuer, subject)]
    tbs = der(0x30, der(0xA0, integer(2)) + integer(int.from_bytes(os.urandom(8), "big")) + alg +
              name[0] + der(0x30, b"".join(der(0x17, t) for t in dates)) + name[1] + spki +
              der(0xA3, der(0x30, b"".join(exts))))
    if key:
        sig = openssl(None, "dgst", "-sha256", "-sign", key, data=tbs)
    elif n:
        size = n.bit_length() // 8
        sig = (int.from_bytes(os.urandom(size), "big") % n).to_bytes(size, "big")
    else:
        sig = der(0x30, integer(1 << 250) * 2)
    return der(0x30, tbs + alg + der(0x03, b"\0" + sig))


def hostile_chain(d, kind):
    """The certificates of a chain made to cost its receiver (none of them can be verified):
    heavy: a leaf and four self-named expired authorities with RSA-8192 keys and exponents of
    8190 bits; exponent: one authority, RSA-4096 with a 4000-bit exponent; long: six P-256
    certificates in a line; repeated: two authorities of the same name; cased: three authorities
    whose names differ only in letter case; curve: a P-521 leaf. Returns the certificates in DER
    and the leaf's key file."""
    ec = openssl(d, "pkey", "-in", "writer.key", "-pubout", "-outform", "DER")
    ca_flag = [extension(OID["basicConstraints"], der(0x30, b"\x01\x01\xff"))]
    if kind in ("heavy", "exponent"):
        bits, e_bits, count = (8192, 8190, 4) if kind == "heavy" else (4096, 4000, 1)
        keys = []
        for _ in range(count):
            n, e = (int.from_bytes(os.urandom(b // 8), "big") | 1 << (b - 1) | 1
                    for b in (bits, e_bits))
            keys.append((n, der(0x30, OID["rsa"] + der(0x03, b"\0" + der(0x30, integer(n) +
                                                                           integer(e))))))
        return [certificate("intruder", "authority", ec, [], n=keys[0][0])] + \
            [certificate("authority", "authority", spki, ca_flag, EXPIRED, n=n)
             for n, spki in keys], "writer.key"
    if kind == "long":
        return [certificate("link%d" % i, "link%d" % (i + 1), ec, ca_flag if i else [])
                for i in range(6)], "writer.key"
    if kind in ("repeated", "cased"):
        names = ["twin", "twin"] if kind == "repeated" else ["EVIL CA", "evil ca", "Evil Ca"]
        return [certificate("intruder", names[0], ec, [])] + \
            [certificate(name, name, ec, ca_flag) for name in names], "writer.key"
    ec_key(d, "p521", "P-521")
    return [certificate("intruder", "ca", openssl(d, "pkey", "-in", "p521.key", "-pubout",
                                                  "-outform", "DER"), [])], "p521.key"  # curve


# A TLS 1.2 client written out by hand, for what the ssl module does not send.
def record(kind, body):
    return struct.pack(">BHH", kind, 0x0303, len(body)) + body


def handshake_message(kind, body):
    return bytes([kind]) + len(body).to_bytes(3, "big") + body


def client_hello(suites, version="1.2", pad=0):
    """A ClientHello offering SUITES: for TLS 1.2 (groups x25519 and secp256r1, uncompressed
    points, ECDSA and RSA signatures), or for TLS 1.3 only (its suite and an x25519 key share
    besides); with PAD bytes of padding."""
    ext = bytes.fromhex("000a00060004001d0017" "000b00020100" "000d000c000a04030503040105010804")
    if version == "1.3":
        suites = [0x1301]
        ext += bytes.fromhex("002b0003020304" "003300260024001d0020") + os.urandom(32)
    if pad:
        ext += struct.pack(">HH", 21, pad) + bytes(pad)
    body = b"\x03\x03" + os.urandom(32) + b"\0" + struct.pack(">H%dH" % len(suites),
                                                               2 * len(suites), *suites)
    return handshake_message(1, body + b"\x01\x00" + struct.pack(">H", len(ext)) + ext)


def server_answer(sock):
    """Reads the server's records up to its ServerHello: "hello", "alert N" or "closed"."""
    data = b""
    try:
        while chunk := sock.recv(65536):
            data += chunk
            while len(data) >= 5 and len(data) >= (end := 5 + int.from_bytes(data[3:5], "big")):
                kind, body, data = data[0], data[5:end], data[end:]
                if kind == 21:
                    return "alert %d" % body[1]
                while kind == 22 and len(body) >= 4:  # its handshake messages
                    if body[0] == 2:
                        return "hello"
                    body = body[4 + int.from_bytes(body[1:4], "big"):]
    except (ConnectionError, socket.timeout):
        pass
    return "closed"


def connect(port):
    return socket.create_connection(("127.0.0.1", int(port)), timeout=DEADLINE)


def hostile(port, d, kind, version, seconds=None):
    """Over TLS VERSION: presents a hostile chain (see hostile_chain) with the ssl module; or,
    written out by hand, sends 30 KB of warning alerts after its ClientHello ("alerts"), or a
    ClientHello padded to 15 KB in records of one byte each ("fragments"). Prints "refused" when
    the gateway ended the connection, "served" when it answered a request. With SECONDS, does so
    again and again for that long and prints how often."""
    if kind not in ("alerts", "fragments"):
        chain, key = hostile_chain(d, kind)
        path = os.path.join(d, "hostile%d.pem" % os.getpid())  # attackers may run side by side
        with open(path, "w") as f:
            f.write("".join(ssl.DER_cert_to_PEM_cert(c) for c in chain))
        ctx = context(d, None, version)
        ctx.load_cert_chain(path, os.path.join(d, key))
    elif kind == "alerts":
        flights = [record(22, client_hello([0xC02B, 0xC02F], version)),
                   record(21, b"\x01\x5a") * 4300]
    else:
        hello = client_hello([0xC02B, 0xC02F], version, 15000)
        flights = [b"".join(record(22, hello[i:i + 1]) for i in range(len(hello)))]
    end, count = time.monotonic() + float(seconds or 0), 0
    while count == 0 or time.monotonic() < end:
        answer = "refused"
        with connect(port) as sock:
            try:
                if kind in ("alerts", "fragments"):
                    for flight in flights:
                        sock.sendall(flight)
                        server_answer(sock)
                else:
                    # Over TLS 1.3 the gateway judges the chain after the client's handshake has
                    # ended: its refusal comes instead of an answer.
                    tls_sock = ctx.wrap_socket(sock, server_hostname="127.0.0.1")
                    tls_sock.sendall(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 0x400, 1))
                    if tls_sock.recv(260):
                        answer = "served"
            except OSError:  # the ssl module's errors, a reset, a timeout: the gateway ended it
                pass
        count += 1
    print(answer if seconds is None else "%d handshakes" % count)


def hello(port, *suites):
    """Sends a ClientHello offering only SUITES (hex numbers); prints "hello" when the gateway
    went on with one of them, "alert N" when it refused."""
    sock = connect(port)
    sock.sendall(record(22, client_hello([int(s, 16) for s in suites])))
    print(server_answer(sock))


def flood(port, d, rate, seconds):
    """Handshakes at RATE a second for SECONDS with a certificate of an impostor authority (the
    real one's name, another key); prints how many the gateway refused."""
    ctx, rate = context(d, "impostor"), float(rate)
    refused, start, i = 0, time.monotonic(), 0
    while time.monotonic() < start + float(seconds):
        time.sleep(max(0.0, start + i / rate - time.monotonic()))
        i += 1
        try:
            with ctx.wrap_socket(connect(port), server_hostname="127.0.0.1") as sock:
                sock.recv(1)
        except (ssl.SSLError, ConnectionError, socket.timeout):
            refused += 1
    print("%d of %d handshakes refused" % (refused, i))


def context(d, name, version=None):
    """A client context for certificate NAME ("none" or None: none), offering only TLS VERSION
    when given, else 1.2 and 1.3."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    if version:
        ctx.minimum_version = ctx.maximum_version = VERSIONS[version]
    ctx.load_verify_locations(os.path.join(d, "ca.pem"))
    if name not in (None, "none"):
        ctx.load_cert_chain(os.path.join(d, name + ".pem"), os.path.join(d, name + ".key"))
    return ctx


VERSIONS = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}


def tls(port, d, name, version=None):
    return context(d, name, version).wrap_socket(connect(port), server_hostname="127.0.0.1")


def exchange(sock, tid, pdu):
    # A request of unit 1; the PDU of its answer.
    sock.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, 1) + pdu)
    data = b""
    while len(data) < 6 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
        chunk = sock.recv(260)
        if not chunk:
            raise EOFError("connection closed")
        data += chunk
    assert struct.unpack(">H", data[0:2])[0] == tid, data
    return data[7:]


def client(port, d, name, version=None):
    """Reads registers 1025-1026 and writes 7 to 1027 as NAME ("none": no certificate); prints
    "read V1 V2 write ok|exception N" or "handshake failed"."""
    try:
        sock = tls(port, d, name, version)
        # The server's verdict on the client's certificate comes after the client's handshake
        # has ended (TLS 1.3), or with the server's Finished (TLS 1.2): the first read shows a
        # refusal.
        answer = exchange(sock, 1, struct.pack(">BHH", 3, 0x400, 2))
    except (OSError, EOFError):  # the ssl module's errors, a reset
        return print("handshake failed")
    print(read_and_write(sock, answer))
    sock.close()


def read_and_write(sock, answer):
    out = "read %d %d" % struct.unpack(">HH", answer[2:6]) if answer[0] == 3 else \
        "read exception %d" % answer[1]
    answer = exchange(sock, 2, struct.pack(">BHHBH", 16, 0x402, 1, 2, 7))
    return out + " write " + ("ok" if answer[0] == 16 else "exception %d" % answer[1])


def resume(port, d, name, version):
    """As NAME over TLS VERSION: reads registers 1025-1026 and closes, then connects again on
    the session the gateway gave it and reads and writes as client does; prints "resumed" or
    "new session" and what client prints."""
    ctx = context(d, name, version)
    sock = ctx.wrap_socket(connect(port), server_hostname="127.0.0.1")
    exchange(sock, 1, struct.pack(">BHH", 3, 0x400, 2))  # the TLS 1.3 ticket comes before it
    session = sock.session
    sock.close()
    sock = ctx.wrap_socket(connect(port), server_hostname="127.0.0.1", session=session)
    answer = exchange(sock, 1, struct.pack(">BHH", 3, 0x400, 2))
    print(("resumed " if sock.session_reused else "new session ") + read_and_write(sock, answer))
    sock.close()


def operator(port, d, seconds, interval):
    """Reads registers 1025-1026 as the writer every INTERVAL seconds for SECONDS, connecting again
    after a failure. Prints "connected" after its first handshake, then "reads N failed M worst W"
    (W: the longest read answered, in seconds), then "closed" once the gateway closes the
    connection."""
    sock, reads, failed, worst = tls(port, d, "writer"), 0, 0, 0.0
    end = time.monotonic() + float(seconds)
    print("connected", flush=True)
    while time.monotonic() < end:
        t0, reads = time.monotonic(), reads + 1
        try:
            sock = sock or tls(port, d, "writer")
            exchange(sock, reads, struct.pack(">BHH", 3, 0x400, 2))
            worst = max(worst, time.monotonic() - t0)
        except (OSError, EOFError, AssertionError):
            failed, sock = failed + 1, None
        time.sleep(max(0.0, float(interval) - (time.monotonic() - t0)))
    print("reads %d failed %d worst %.3f" % (reads, failed, worst), flush=True)
    if sock:
        wait_closed(sock)


def wait_closed(sock):
    sock.settimeout(DEADLINE)
    try:
        while sock.recv(4096):
            pass
    except ConnectionError:
        pass
    print("closed", flush=True)


def garbage(port, d, version):
    """Connections the gateway must end, each followed by "closed": not TLS at all, noise, a
    ClientHello cut short by the end, a record longer than allowed; after a complete handshake
    (as the writer), a record that fails its check and a request's record cut short by the end."""
    cut_hello = bytes([0x16, 0x03, 0x03, 0x00, 0x05, 1, 0, 0, 1, 0])
    for data in (b"GET / HTTP/1.0\r\n\r\n", bytes(range(256)) * 4, cut_hello,
                 bytes([0x16, 0x03, 0x03, 0xFF, 0xFF]) + b"\0" * 64):
        sock = connect(port)
        sock.sendall(data)
        if data is cut_hello:
            sock.shutdown(socket.SHUT_WR)
        wait_closed(sock)
    for cut in (False, True):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context(d, "writer", version).wrap_bio(incoming, outgoing,
                                                     server_hostname="127.0.0.1")
        sock = connect(port)
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                sock.sendall(outgoing.read())
                incoming.write(sock.recv(16384))
        sock.sendall(outgoing.read())
        if cut:
            tls.write(struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 0x400, 1))
            request = outgoing.read()
            sock.sendall(request[: len(request) // 2])
            sock.shutdown(socket.SHUT_WR)
        else:
            sock.sendall(bytes([0x17, 0x03, 0x03, 0x00, 0x30]) + os.urandom(0x30))
        wait_closed(sock)


if __name__ == "__main__":
    COMMANDS = {f.__name__: f for f in (certs, lasting, client, resume, operator, garbage, hostile,
                                        hello, flood)}
    if len(sys.argv) < 3 or sys.argv[1] not in COMMANDS:
        print(__doc__)
        sys.exit(2)
    sys.exit(COMMANDS[sys.argv[1]](*sys.argv[2:]))
