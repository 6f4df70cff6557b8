#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Third-party Modbus peer for the end-to-end tests, built on pymodbus.

  modbus_peer.py client PORT read START COUNT     -> "values V1 V2 ..." or "exception N"
  modbus_peer.py client PORT write START V1 ...   -> "ok" or "exception N"
  modbus_peer.py server PORT                      -> prints "write START V1,V2,..." per write
  modbus_peer.py parallel PORT CLIENTS READS START COUNT
      -> CLIENTS clients in threads, all connected before any reads, each reading READS
         times; "ok" when every read of every client gave the same values, else what went wrong
"""
import sys


def client(port, op, args):
    from pymodbus.client import ModbusTcpClient

    c = ModbusTcpClient("127.0.0.1", port=port, timeout=10)
    if not c.connect():
        print("error connect")
        return 1
    start = int(args[0])
    if op == "read":
        r = c.read_holding_registers(start, int(args[1]), slave=1)
        ok = "values " + " ".join(str(v) for v in getattr(r, "registers", []))
    else:
        r = c.write_registers(start, [int(v) for v in args[1:]], slave=1)
        ok = "ok"
    c.close()
    if r.isError():
        print("exception %d" % getattr(r, "exception_code", -1))
    else:
        print(ok)
    return 0


def server(port):
    from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                    ModbusSlaveContext)
    from pymodbus.server import StartTcpServer

    class PrintingBlock(ModbusSequentialDataBlock):
        def setValues(self, address, values):
            print("write %d %s" % (address, ",".join(str(v) for v in values)), flush=True)
            super().setValues(address, values)

    block = PrintingBlock(0, [0] * 65536)
    store = ModbusSlaveContext(hr=block, zero_mode=True)
    context = ModbusServerContext(slaves=store, single=True)
    print("listening", flush=True)
    StartTcpServer(context=context, address=("127.0.0.1", port))


def parallel(port, clients, reads, start, count):
    import threading
    from pymodbus.client import ModbusTcpClient

    results = []
    connected = threading.Barrier(clients)

    def run():
        c = ModbusTcpClient("127.0.0.1", port=port, timeout=10, retries=0)
        got = []
        ok = c.connect()
        try:
            connected.wait(timeout=10)
        except threading.BrokenBarrierError:
            ok = False
        if ok:
            for _ in range(reads):
                r = c.read_holding_registers(start, count, slave=1)
                got.append("error" if r.isError() else tuple(r.registers))
            c.close()
        results.append(got)

    threads = [threading.Thread(target=run) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seen = {v for got in results for v in got}
    complete = all(len(got) == reads for got in results)
    print("ok" if complete and len(seen) == 1 and "error" not in seen
          else "failed %s" % sorted(str(v) for v in seen))
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server(int(sys.argv[2]))
    elif sys.argv[1] == "parallel":
        sys.exit(parallel(*(int(a) for a in sys.argv[2:7])))
    else:
        sys.exit(client(int(sys.argv[2]), sys.argv[3], sys.argv[4:]))
