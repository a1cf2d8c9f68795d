#!/usr/bin/env python3
"""Writes the seed inputs of handlers_fuzz into fuzz/corpus/handlers/.

Each seed is a short session of meaningful requests in the input format that
fuzz/handlers_fuzz.cc describes; ids are markers that the harness replaces by
the ids the library handed out. Run it again after changing a seed.
"""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "handlers")

ENV, FILE, HANDLE, SEARCH = (b"\xfe\xed\xfa" + k for k in (b"E", b"F", b"H", b"S"))
OTHER_ENV, OTHER_FILE = b"\xfe\xed\xfae", b"\xfe\xed\xfaf"


def i16(v):
    return struct.pack(">h", v)


def i32(v):
    return struct.pack(">i", v)


def block(data):
    return i32(len(data)) + data


def text(s):
    return block(s.encode() + b"\0")


def req(opcode, *fields, second=False):
    body = bytes([opcode]) + b"".join(fields)
    return struct.pack(">H", len(body) | (0x8000 if second else 0)) + body


def open_file(name, mode=0, env=ENV, second=False):
    return req(40, env, text(name), i32(0), i16(mode), i32(0), second=second)


def record(ident, name, city="town", since=b"20240101"):
    return struct.pack("<i", ident) + name.encode().ljust(20) + city.encode().ljust(8) + since


ALLOC = req(38)
HELLO = req(41)

SEEDS = {
    "navigate": [
        HELLO, ALLOC, open_file("people"),
        req(4, FILE, i16(40), i16(4)),                       # ReadRecord first
        req(4, FILE, i16(40), i16(2)),                       # next
        req(30, FILE, i16(4), i16(1)),                       # GetKey
        req(12, FILE),                                       # GetPosition
        req(13, FILE, i32(3)),                               # SetPosition
        req(5, FILE, i16(1), i16(4), block(struct.pack("<i", 2))),  # SeekKey equal
        req(53, FILE, i16(3), block(b"bob"), i16(2)),        # KeyAdjust to key 2
        req(51, FILE, b"T"),                                 # RawReadMode on
        req(10, FILE),                                       # GetFileError
        req(61, FILE, i32(5)),                               # SetFileCell
        req(2, FILE),                                        # CloseFile
        req(39, ENV),                                        # DeAllocEnv
    ],
    "restricted": [
        HELLO, ALLOC, open_file("people"),
        # PutRestrictInfo: name (offset 4, 3 bytes) equal to "bob", ignoring case
        req(21, FILE, i32(1), i32(4), i32(3), i32(1), i32(1), i32(0), i32(3), block(b"bob")),
        req(33, FILE, i32(40), i16(4), i32(0)),              # RestrictedRead
        req(42, FILE, i32(40), i32(4), i16(2), i16(3), block(b"\x05\x00\x00"),
            block(struct.pack("<i", 1))),                    # ReadFirst, bound, extra
        req(62, FILE, i32(4), i32(40), b"\x00", i16(4), i32(0)),  # RestrictedReadBlock
        req(21, FILE, i32(2), i32(2), i32(0), i32(0), i32(0), i32(0), i32(0)),
        req(62, FILE, i32(8), i32(10), b"\x02", block(b"\x00\x01"), i16(5), i32(1)),
        req(21, FILE, i32(0), i32(0), i32(0), i32(0), i32(0), i32(0), i32(0)),
    ],
    "blocks": [
        HELLO, ALLOC, open_file("people"), req(64, FILE, i32(6)),  # ReadBlock
        req(63, FILE, i32(40), i16(1), i32(2), i32(4)),      # ExtReadDirect, locked
        req(52, FILE, i32(-1)),                              # UnlockRecord all
        req(43, FILE),                                       # DescribeFile
        req(44, FILE, i32(1), i32(3), i32(4), b"\x01", b"\x01"),  # DescribeIndex
        req(3, FILE, i16(0), i16(32)),                       # ReadDictionary
        open_file("notes"),
        req(64, FILE, i32(6)),                               # refused: variable part
        req(63, FILE, i32(100), i16(0), i32(3), i32(8)),
        req(62, FILE, i32(3), i32(300), b"\x00", i16(4), i32(0)),
        req(4, FILE, i16(8), i16(5)),                        # last, buffer too short
    ],
    "index_bounds": [
        HELLO, ALLOC, open_file("people"),
        req(44, FILE, i32(-1), i32(1000000), i32(1000000), b"\x01", b"\x01"),  # refused
        req(44, b"\0\0\0\0", i32(0), i32(1000000), i32(1000000), b"\x01", b"\x01"),
        req(44, FILE, i32(0x7FFFFFFF), i32(0x7FFFFFFF), i32(4), b"\x01", b"\x01"),
        req(44, FILE, i32(0), i32(2), i32(-5), b"\x01", b"\x00"),
    ],
    "writes": [
        HELLO, ALLOC, open_file("people"),
        req(48, ENV),                                        # BeginTX
        req(35, FILE, i32(40), block(record(10, "zed")), i16(0), i32(0), i32(1)),
        req(35, FILE, i32(40), block(record(10, "zoe")), i16(0), i32(1), i32(0)),
        req(35, FILE, i32(40), block(record(2, "bea")), i16(4),
            block(struct.pack("<i", 2)), i32(3), i32(0)),    # upsert by key
        req(7, FILE, i16(0)),                                # RemoveRecord current
        req(54, FILE, i16(3), i16(5), block(b"hello")),      # AddDictionary
        req(3, FILE, i16(3), i16(5)),
        req(50, ENV),                                        # RollbackTX
        req(35, FILE, i32(40), block(record(11, "amy")), i16(0), i32(0), i32(0)),
        req(7, FILE, i16(4), block(struct.pack("<i", 11))),
        req(49, ENV),                                        # CommitTX outside one
    ],
    "metadata": [
        HELLO, ALLOC,
        req(59, ENV),                                        # RequestHandle
        req(55, HANDLE, i32(0), i32(0), i32(1), text("%"), i32(1)),  # GetTables
        req(57, HANDLE, i32(4), i32(0)),                     # FetchTable
        req(56, HANDLE, i32(0), i32(0), i32(1), text("people"), i32(0)),  # GetColumns
        req(58, HANDLE, i32(8)),                             # FetchColumn
        req(57, HANDLE, i32(2), i32(1), text("notes")),
        req(60, HANDLE),                                     # FreeHandle
    ],
    "environment": [
        HELLO, ALLOC,
        req(65, ENV, i32(3)),                                # GetEnvMode lock wait
        req(37, ENV, i32(9), i32(1)),                        # SetEnvMode read-only
        req(37, ENV, i32(21), text("Guarded")),              # select a catalog
        req(65, ENV, i32(21)),
        req(70, ENV, text("default")),                       # GetCatalog
        req(70, ENV, text("guarded")),
        open_file("secret"),                                 # needs a logon
        req(67, ENV, i32(1), text("anna"), i32(1), text("pw"), i32(1), text("ws"),
            i32(0), i32(1), text("app")),                    # Logon
        open_file("secret"),
        req(4, FILE, i16(8), i16(4)),
        req(68, ENV, i32(1), text("anna"), i32(0), i32(0), i32(0), i32(0)),  # Logoff
        req(37, ENV, i32(8), text(".")),                     # data directory
        req(39, ENV),
    ],
    "host_files": [
        HELLO,
        req(25, text("*")),                                  # FindFirstFile
        req(26, SEARCH),                                     # FindNextFile
        req(26, SEARCH),
        req(27, SEARCH),                                     # FindClose
        req(25, text("/etc/*.conf")),
        req(28, text("/etc")),                               # StatFile
        req(28, text("/nonexistent")),
        req(24, text("main"), text("key"), text("none"), i32(64), text("/etc/os-release")),
        req(24, text(""), text(""), text(""), i32(64), text("/etc/os-release")),
    ],
    "session": [
        HELLO,
        req(66, i16(1), text("ada"), i16(1), text("x"), i16(0), i16(1), text("people"),
            i16(1), text("other"), i16(1), text("client-a")),  # IdentifyClient
        req(69, b"\x64", i32(2), i32(8)),                    # SetCompression zlib
        req(16, b"12345678echo back this text, twice: echo back this text"),
        req(18, i16(10)), req(17, i16(0)),                   # global modes
        req(32, text("/nonexistent")), req(31, text("fuzz")),  # global texts
        ALLOC, req(65, ENV, i32(10)),
        req(23), req(99), req(11), req(200),
        req(69, b"\x00", i32(0), i32(0)),
        req(4, b"\x00\x00"),                                 # ends inside a field
    ],
    "two_connections": [
        HELLO, ALLOC, open_file("people"),
        req(41, second=True), req(38, second=True),
        req(4, OTHER_FILE, i16(40), i16(4), second=True),    # another's file
        req(65, OTHER_ENV, i32(3), second=True),
        open_file("people", env=ENV, second=True),
        req(48, ENV), req(35, FILE, i32(40), block(record(20, "tx")), i16(0), i32(0), i32(0)),
        req(35, FILE, i32(40), block(record(21, "other")), i16(0), i32(0), i32(0),
            second=True),                                    # reserved by the transaction
        req(63, OTHER_FILE, i32(40), i16(1), i32(1), i32(0)),
        req(39, OTHER_ENV, second=True),
    ],
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, requests in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(b"".join(requests))


if __name__ == "__main__":
    main()
