#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The demo's Modbus TCP client: talks to a running kovex4 gateway like any Modbus master would.

  demo_client.py devsim-args   prints the kovex4-devsim options (one per line) that load the
                               demo's items and block into the simulated field device
  demo_client.py run PORT      reads registers from the gateway on 127.0.0.1:PORT, writes some and
                               reads them back, printing tables; exit status 0 when every value is
                               the one the simulated device must give, 1 otherwise

Both commands use the same item table, so the reads are checked against what the simulator holds.
"""
import sys
import time

# Items loaded into the simulated device: (type letter, item number, value).
ITEMS = [
    ("a", 1, 1234),
    ("a", 2, 0xABCD),
    ("i", 1, 100),
    ("i", 2, 2000),
    ("i", 3, 30000),
    ("i", 4, 0xFFFF),
    ("@", 1, 1),
    ("@", 3, 1),
    ("@", 16, 1),
    ("H", 1, 17),
    ("H", 2, 0x80),
    ("H", 4, 255),
]
# The ten block bytes as the device holds them: word (low byte first), then byte 1 ... byte 8.
BLOCK = [0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8]

# Ranges read: (first register, count).
READS = [(0x0000, 1), (0x0010, 3), (0x0200, 5), (0x0400, 4), (0x0600, 9)]
# Writes: (first register, values written, values that must read back, what it shows).
WRITES = [
    (0x0404, [0xBEEF, 0x0102], [0xBEEF, 0x0102], "'i' items carry all 16 bits"),
    (0x0209, [0x0141], [0x0041], "an 'H' item holds one byte: the high byte is dropped"),
    (0x0000, [0x0006], [0x0006], "one bit per '@' item: 2 and 3 set, the others cleared"),
]

def item(letter, number):
    for t, n, v in ITEMS:
        if t == letter and n == number:
            return v
    return 0


def meaning(reg):
    """What stands behind a register in the gateway's map (the registers this demo touches)."""
    if reg == 0x0000:
        return "'@' items 1-16, one bit each (bit 0 = item 1)"
    if 0x0010 <= reg <= 0x0017:
        return "'a' item %d (16 bits)" % (reg - 0x0010 + 1)
    if 0x0200 <= reg <= 0x0263:
        return "'H' item %d (1 byte)" % (reg - 0x0200 + 1)
    if 0x0400 <= reg <= 0x0463:
        return "'i' item %d (16 bits)" % (reg - 0x0400 + 1)
    if reg == 0x0600:
        return "block word"
    if 0x0601 <= reg <= 0x0608:
        return "block byte %d" % (reg - 0x0600)
    return "no item"


def expected(reg):
    """The value the gateway must report for a register, given ITEMS and BLOCK."""
    if reg == 0x0000:
        return sum(1 << j for j in range(16) if item("@", j + 1))
    if 0x0010 <= reg <= 0x0017:
        return item("a", reg - 0x0010 + 1)
    if 0x0200 <= reg <= 0x0263:
        return item("H", reg - 0x0200 + 1) & 0xFF
    if 0x0400 <= reg <= 0x0463:
        return item("i", reg - 0x0400 + 1)
    if reg == 0x0600:
        return BLOCK[0] | BLOCK[1] << 8
    if 0x0601 <= reg <= 0x0608:
        return BLOCK[reg - 0x0600 + 1]
    return 0


def devsim_args():
    for t, n, v in ITEMS:
        print("--set=%s:%d=%d" % (t, n, v))
    print("--block=" + ",".join(str(b) for b in BLOCK))
    return 0


def connect(port):
    from pymodbus.client import ModbusTcpClient

    deadline = time.monotonic() + 5
    while True:
        client = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=1)
        if client.connect():
            return client
        if time.monotonic() > deadline:
            return None
        time.sleep(0.2)


def call(what, request):
    """Runs one request; returns the response, or None after printing why it failed."""
    try:
        response = request()
    except Exception as error:  # pymodbus raises on a lost connection
        print("  %s: failed: %s" % (what, error))
        return None
    if response.isError():
        print("  %s: exception %s" % (what, getattr(response, "exception_code", "?")))
        return None
    return response


def row(reg, value, want):
    check = "ok" if value == want else "MISMATCH, expected 0x%04X" % want
    print("  0x%04X    0x%04X  %7d  %-50s %s" % (reg, value, value, meaning(reg), check))
    return value == want


HEADER = "  register  hex     decimal  %-50s check" % "meaning"


def read_table(client, ranges, want):
    good = True
    for start, count in ranges:
        what = "read 0x%04X+%d" % (start, count)
        response = call(what, lambda: client.read_holding_registers(start, count=count, slave=1))
        if response is None:
            good = False
            continue
        for k, value in enumerate(response.registers):
            good = row(start + k, value, want(start + k)) and good
    return good


def run(port):
    client = connect(port)
    if client is None:
        print("cannot connect to the gateway on 127.0.0.1:%d" % port)
        return 1
    good = True
    try:
        print("Function 3, Read Holding Registers (values as the simulated device holds them):")
        print(HEADER)
        good = read_table(client, READS, expected)

        print("\nFunction 16, Write Multiple Registers, then read back:")
        for start, values, back, note in WRITES:
            what = "write 0x%04X = %s" % (start, ", ".join("0x%04X" % v for v in values))
            print("  %s (%s)" % (what, note))
            if call(what, lambda: client.write_registers(start, values, slave=1)) is None:
                good = False
                continue
            good = read_table(client, [(start, len(back))], lambda r: back[r - start]) and good
    finally:
        client.close()
    print("\nall values as expected" if good else "\nSOME VALUES ARE WRONG")
    return 0 if good else 1


def main(argv):
    if len(argv) == 2 and argv[1] == "devsim-args":
        return devsim_args()
    if len(argv) == 3 and argv[1] == "run":
        return run(int(argv[2]))
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
