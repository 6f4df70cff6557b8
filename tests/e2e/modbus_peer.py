#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Third-party Modbus peer for the end-to-end tests, built on pymodbus (Debian 12's 3.0, 13's 3.8:
the count is passed by name, and the server's data model is left counting from 1).

  modbus_peer.py client PORT read START COUNT     -> "values V1 V2 ..." or "exception N"
  modbus_peer.py client PORT write START V1 ...   -> "ok" or "exception N"
  modbus_peer.py server PORT                      -> prints "write START V1,V2,..." per write
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
        r = c.read_holding_registers(start, count=int(args[1]), slave=1)
        ok = "values " + " ".join(str(v) for v in getattr(r, "registers", []))
    else:
        r = c.write_registers(start, [int(v) for v in args[1:]], slave=1)
        ok = "ok"
    c.close()
    print("exception %d" % getattr(r, "exception_code", -1) if r.isError() else ok)
    return 0


def server(port):
    from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                    ModbusSlaveContext)
    from pymodbus.server import StartTcpServer

    # The context passes a request's address plus one to its blocks (pymodbus 3.8 always does;
    # 3.0 unless zero_mode is set, which 3.8 no longer knows), so the block holds one more value
    # and prints the request's address.
    class PrintingBlock(ModbusSequentialDataBlock):
        def setValues(self, address, values):
            print("write %d %s" % (address - 1, ",".join(str(v) for v in values)), flush=True)
            super().setValues(address, values)

    block = PrintingBlock(0, [0] * 65537)
    store = ModbusSlaveContext(hr=block)
    context = ModbusServerContext(slaves=store, single=True)
    print("listening", flush=True)
    StartTcpServer(context=context, address=("127.0.0.1", port))


if __name__ == "__main__":
    if sys.argv[1] == "server":
        server(int(sys.argv[2]))
    else:
        sys.exit(client(int(sys.argv[2]), sys.argv[3], sys.argv[4:]))
