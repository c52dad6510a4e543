#!/usr/bin/python3
"""A Modbus TCP server on 127.0.0.1 built on Debian's pymodbus, with fixed
values at known protocol addresses, for the client tests. With --rtu it
speaks RTU frames over TCP, as a serial gateway does; with --serial it serves
RTU frames on a serial port (one end of a socat pty pair). In RTU framing
the answer to a read of holding register 300 carries a wrong CRC.

The data blocks run in zero mode, so the value listed for address N is what
a request for protocol address N returns (pymodbus otherwise shifts by one).

    pymodbus_server.py --port PORT [--rtu] [--lifetime SECONDS]
    pymodbus_server.py --serial DEVICE --baud BAUD --format 8E1 [--lifetime SECONDS]
"""
import argparse
import asyncio
import os
import threading

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext, ModbusSparseDataBlock
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer

COILS = {0: 1, 1: 0, 2: 1, 40001: 1, 40002: 0, 65535: 1}
DISCRETE = {0: 0, 1: 1, 2: 0, 7: 1}
INPUT = {0: 9, 5: 777, 6: 0, 10: 65535}
HOLDING = {0: 11, 1: 120, 2: 100, 3: 65535, 4: 0, 65535: 4660}
# Register pairs of the 32-bit types, high word first unless named CDAB.
HOLDING.update({
    200: 0x41AC, 201: 0x0000,  # FLOAT32 21.5
    202: 0x0000, 203: 0xC1AC,  # FLOAT32 CDAB -21.5
    204: 0x7FC0, 205: 0x0000,  # FLOAT32 NaN
    206: 0x7F7F, 207: 0xFFFF,  # FLOAT32 largest finite, 3.4028235e38
    208: 0xFFFF, 209: 0xFFFE,  # INT32 -2, UINT32 4294967294
    210: 0x8000, 211: 0x0000,  # INT32 smallest
    212: 0x7F80, 213: 0x0000,  # FLOAT32 infinity
    214: 0x8000,               # INT16 smallest
    216: 0x3DCC, 217: 0xCCCD,  # FLOAT32 0.1
})
# The value whose answer goes out with a damaged CRC.
DAMAGED = 0xBAD0
HOLDING[300] = DAMAGED


class DamagingRtuFramer(ModbusRtuFramer):
    """RTU framing that spoils the CRC of an answer holding DAMAGED."""

    def buildPacket(self, message):
        packet = super().buildPacket(message)
        if getattr(message, "registers", None) == [DAMAGED]:
            packet = packet[:-1] + bytes([packet[-1] ^ 0xFF])
        return packet


async def serve_serial(context, args):
    """Opens the port, says so on standard output, then answers."""
    server = await StartAsyncSerialServer(context=context, framer=DamagingRtuFramer, port=args.serial,
                                          baudrate=args.baud, bytesize=int(args.format[0]),
                                          parity=args.format[1], stopbits=int(args.format[2]),
                                          defer_start=True)
    await server.start()
    print("serving", args.serial, flush=True)
    await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int)
    parser.add_argument("--rtu", action="store_true")
    parser.add_argument("--serial")
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--format", default="8E1")
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
    if args.serial:
        asyncio.run(serve_serial(context, args))
    elif args.rtu:
        asyncio.run(StartAsyncTcpServer(context=context, framer=DamagingRtuFramer,
                                        address=("127.0.0.1", args.port)))
    else:
        asyncio.run(StartAsyncTcpServer(context=context, address=("127.0.0.1", args.port)))


if __name__ == "__main__":
    main()
