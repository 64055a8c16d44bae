#!/usr/bin/env python3
"""Drives libgzarc.so from another language and process, through ctypes, the
way a foreign host would: exports by name, 16-bit status, records by layout,
callbacks with their context."""
import ctypes as C
import os
import sys
import tempfile

lib = C.CDLL(sys.argv[1])
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


lib.GetArchiveStatus.restype = C.c_uint16
lib.SetArchiveStatus.restype = C.c_uint16
lib.AppendFileMask.restype = C.c_uint8
lib.InitFileMaskList.restype = C.c_void_p

check(lib.SetArchiveStatus(0x12345) == 0x2345, "SetArchiveStatus keeps the low 16 bits")
lib.TestArc(1, 2, 3)
check(lib.GetArchiveStatus() == 32770, "TestArc reports not supported")
lib.SetCryptKey(b"x")
check(lib.GetArchiveStatus() == 32770, "SetCryptKey changes nothing")


class FileMaskList(C.Structure):
    _fields_ = [("head", C.c_void_p), ("tail", C.c_void_p)]


class FileMaskEntry(C.Structure):
    pass


FileMaskEntry._fields_ = [("folder", C.c_char_p), ("name", C.c_char * 256),
                          ("extension", C.c_char * 256), ("next", C.POINTER(FileMaskEntry))]

masks = FileMaskList(1, 1)
lib.InitFileMaskList(C.byref(masks))
check(masks.head is None and masks.tail is None, "InitFileMaskList clears the list")
check(lib.AppendFileMask(b"C:/DATA/REPORT.TXT", C.byref(masks)) == 1, "AppendFileMask returns 1")
entry = C.cast(masks.head, C.POINTER(FileMaskEntry)).contents
check(entry.folder == b"C:\\DATA\\", "mask folder %r" % entry.folder)
check(entry.name == b"REPORT" and entry.extension == b"TXT", "mask name and extension")
lib.DoneFileMaskList(C.byref(masks))
check(masks.head is None, "DoneFileMaskList empties the list")

with tempfile.TemporaryDirectory() as d:
    win = lambda p: p.replace("/", "\\").encode()
    lib.CreateArcFile(win(os.path.join(d, "made")))
    check(lib.GetArchiveStatus() == 0, "CreateArcFile succeeds")
    check(os.path.exists(os.path.join(d, "made.GZ")), "CreateArcFile appends .GZ")
    lib.CreateArcFile(win(os.path.join(d, "made.GZ")))
    check(lib.GetArchiveStatus() == 9963, "CreateArcFile refuses an existing file")
    with open(os.path.join(d, "bad.gz"), "wb") as f:
        f.write(b"\x1f\x8b")
    lib.InitArcFile(win(os.path.join(d, "bad.gz")))
    check(lib.GetArchiveStatus() == 9973, "InitArcFile refuses a short file")

if failures:
    print("ctypes host: %d failed" % len(failures))
    for f in failures:
        print("  -", f)
    sys.exit(1)
print("ctypes host: all checks passed")
