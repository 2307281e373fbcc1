#!/usr/bin/python3
"""A pymodbus server as an outside peer for the program's Modbus master.

    pymodbus_server.py (--tcp | --rtu DEVICE | --ascii DEVICE) [--port N] [--unit N]
                       [--registers N] [--set REG=VALUE ...] [--input REG=VALUE ...]

Holding and input registers 1..N (default 10000) of one unit; registers are
1-based as the program counts them (Modbus address = register - 1); reading
past N is refused with exception 2. Prints one line "ready PORT" (TCP, on
loopback at --port, else a free port) or "ready DEVICE" once it serves, then
runs until killed.
"""
import argparse
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer, ModbusSocketFramer


def preset(pairs):
    out = {}
    for p in pairs:
        reg, value = p.split("=", 1)
        out[int(reg, 0)] = int(value, 0) & 0xFFFF
    return out


async def main():
    ap = argparse.ArgumentParser()
    where = ap.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp", action="store_true")
    where.add_argument("--rtu")
    where.add_argument("--ascii")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--unit", type=int, default=1)
    ap.add_argument("--registers", type=int, default=10000)
    ap.add_argument("--set", action="append", default=[])
    ap.add_argument("--input", action="append", default=[])
    a = ap.parse_args()
    logging.disable(logging.CRITICAL)

    def block(values):
        data = [0] * a.registers
        for reg, v in values.items():
            if 1 <= reg <= a.registers:
                data[reg - 1] = v
        # Without zero mode, Modbus address A lands on index A + 1: the block
        # starting at 1 holds register r at index r.
        return ModbusSequentialDataBlock(1, data)

    unit = ModbusSlaveContext(hr=block(preset(a.set)), ir=block(preset(a.input)),
                              di=ModbusSequentialDataBlock(1, [0]), co=ModbusSequentialDataBlock(1, [0]))
    context = ModbusServerContext(slaves={a.unit: unit}, single=False)

    if a.tcp:
        server = ModbusTcpServer(context, framer=ModbusSocketFramer, address=("127.0.0.1", a.port),
                                 allow_reuse_address=True)
        task = asyncio.create_task(server.serve_forever())
        await asyncio.wait([task, server.serving], return_when=asyncio.FIRST_COMPLETED)
        if not server.serving.done():   # it could not listen there
            print("cannot listen on port", a.port, file=sys.stderr, flush=True)
            sys.exit(1)
        print("ready", server.server.sockets[0].getsockname()[1], flush=True)
        await task
    else:
        device = a.rtu or a.ascii
        framer = ModbusRtuFramer if a.rtu else ModbusAsciiFramer
        server = ModbusSerialServer(context, framer=framer, port=device, baudrate=9600, bytesize=8,
                                    parity="N", stopbits=1, timeout=0)
        await server.start()
        if server.transport is None:
            print("cannot open", device, file=sys.stderr, flush=True)
            sys.exit(1)
        print("ready", device, flush=True)
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
