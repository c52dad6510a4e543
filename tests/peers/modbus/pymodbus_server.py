#!/usr/bin/python3
"""A Modbus TCP server on 127.0.0.1 built on Debian's pymodbus, with fixed
values at known protocol addresses, for the client tests.

The data blocks run in zero mode, so the value listed for address N is what
a request for protocol address N returns (pymodbus otherwise shifts by one).

    pymodbus_server.py --port PORT [--lifetime SECONDS]
"""
import argparse
import asyncio
import os
import threading

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext, ModbusSparseDataBlock
from pymodbus.server import StartAsyncTcpServer

COILS = {0: 1, 1: 0, 2: 1, 40001: 1, 40002: 0, 65535: 1}
DISCRETE = {0: 0, 1: 1, 2: 0, 7: 1}
INPUT = {0: 9, 5: 777, 6: 0, 10: 65535}
HOLDING = {0: 11, 1: 120, 2: 100, 3: 65535, 4: 0, 65535: 4660}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    args = parser.parse_args()

    # Ends the process whatever the event loop is doing.
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()

    slave = ModbusSlaveContext(
        co=ModbusSparseDataBlock(COILS),
        di=ModbusSparseDataBlock(DISCRETE),
        ir=ModbusSparseDataBlock(INPUT),
        hr=ModbusSparseDataBlock(HOLDING),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves=slave, single=True)
    asyncio.run(StartAsyncTcpServer(context=context, address=("127.0.0.1", args.port)))


if __name__ == "__main__":
    main()
