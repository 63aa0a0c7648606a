#!/usr/bin/env python3
"""Send a message through VornBOS and print a user's status, using libVornAX.

    example.py SERVER PORT UIN-FROM UIN-TO "message text"

The library is found through VORNAX_LIB (a path) or the loader's search path.
"""
import ctypes
import os
import socket
import struct
import sys

lib = ctypes.CDLL(os.environ.get("VORNAX_LIB", "libVornAX.so"))
lib.Cmd_Create.restype = ctypes.c_void_p
lib.Cmd_Release.argtypes = [ctypes.c_void_p]
for name in ("Cmd_SendMsg", "Cmd_SendFile"):
    getattr(lib, name).argtypes = [ctypes.c_void_p]
lib.Cmd_put_ICQServer.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
lib.Cmd_put_ICQPort.argtypes = [ctypes.c_void_p, ctypes.c_uint16]
lib.Cmd_put_Message.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
lib.Cmd_put_UINfrom.argtypes = [ctypes.c_void_p, ctypes.c_int32]
lib.Cmd_put_UINto.argtypes = [ctypes.c_void_p, ctypes.c_int32]
lib.Cmd_get_Status.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int32)]
lib.Cmd_GetUinInfo.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
lib.Cmd_get_uinInfo.argtypes = [ctypes.c_void_p, ctypes.c_uint8, ctypes.POINTER(ctypes.c_uint32)]


def status(cmd):
    value = ctypes.c_int32()
    lib.Cmd_get_Status(cmd, ctypes.byref(value))
    return value.value


def info(cmd, tp):
    value = ctypes.c_uint32()
    lib.Cmd_get_uinInfo(cmd, tp, ctypes.byref(value))
    return value.value


def address(number):
    return socket.inet_ntoa(struct.pack(">I", number))


def main(server, port, uin_from, uin_to, text):
    cmd = lib.Cmd_Create()
    try:
        lib.Cmd_put_ICQServer(cmd, server.encode())
        lib.Cmd_put_ICQPort(cmd, int(port, 0))
        lib.Cmd_put_UINfrom(cmd, int(uin_from))
        lib.Cmd_put_UINto(cmd, int(uin_to))
        lib.Cmd_put_Message(cmd, text.encode())
        lib.Cmd_SendMsg(cmd)
        print("send status", status(cmd))

        lib.Cmd_GetUinInfo(cmd, int(uin_to))
        if status(cmd) != 0:
            print("no status reply, status", status(cmd))
        elif info(cmd, 0) == 0xFFFF:
            print("UIN", uin_to, "offline")
        else:
            print(f"UIN {uin_to} online: status {info(cmd, 0)}, flags {info(cmd, 4)}, "
                  f"external {address(info(cmd, 1))}, internal {address(info(cmd, 2))}, "
                  f"port {info(cmd, 3)}")
    finally:
        lib.Cmd_Release(cmd)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
