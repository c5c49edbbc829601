#!/usr/bin/env python3
"""Writes the .scf fixture files of the configuration tests, byte by byte from the file
format's tables, independently of the C++ writer. Run it from anywhere; it writes next to
itself. Python 3 standard library only.

Every fixture holds a configuration section, the 48-byte marker and a tag-information section.
The files config_v<N>.scf carry the sample content in configuration-section version N (and a
version 114 tag-information section); the files taginfo_v<N>.scf carry a version 114
configuration section and the tag-information section in version N.
"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MARKER = b"ZZZ2012-12-21:::TAGINFODATASTART:::2012-12-21ZZZ"
assert len(MARKER) == 48


def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def f64(v):
    return struct.pack("<d", v)


class Wide(str):
    """A text that the file carries in the wide form."""


def text(s):
    """A text with the archive's length prefix: one byte below 255, else 0xFF and a u16."""
    if isinstance(s, Wide):
        return wide_text(s)
    b = s.encode("cp1251")
    n = len(b)
    if n < 255:
        return u8(n) + b
    if n < 0xFFFE:
        return u8(0xFF) + u16(n) + b
    return u8(0xFF) + u16(0xFFFF) + u32(n) + b


def wide_text(s):
    """The wide form a reader accepts: 0xFF, u16 0xFFFE, then a count of UTF-16 units."""
    b = s.encode("utf-16-le")
    return u8(0xFF) + u16(0xFFFE) + u8(len(b) // 2) + b


# ---- sample content ------------------------------------------------------------------------
# Every field differs from its default, so a test sees whether it was read or defaulted.
# Identifiers 5, 9 and 12: a version without the counter gets 13 after loading.

GROUP = dict(ID=5, ParentID=0, Kind=2, Name="Котёл", Comment="Группа котла", Range="",
             ShortName="K1", vtType=4, Device=0, DeviceNo=3, Reserved=0, Function=3,
             Register=100, Size=16, Access=0, WriteFunction=6, WriteRegister=1, GroupNo=0,
             Publish=1, Priority=2, DataType=0, ByteOrder=0, Identifier=0, GroupType=4,
             Corrections=[])
TAG = dict(ID=9, ParentID=5, Kind=3, Name="Температура", Comment="Вода на выходе",
           Range="0..150", ShortName="T1", vtType=5, Device=0, DeviceNo=3, Reserved=7,
           Function=4, Register=70000, Size=32, Access=1, WriteFunction=16,
           WriteRegister=70002, GroupNo=4, Publish=1, Priority=3, DataType=2, ByteOrder=3,
           Identifier=123456, GroupType=2,
           Corrections=[(1, 2, 0.1), (1, 1, -273.15)])
ALARM = dict(ID=12, ParentID=0, Kind=3, Name="Alarm", Comment="", Range="", ShortName="",
             vtType=11, Device=1, DeviceNo=1, Reserved=0, Function=1, Register=8, Size=1,
             Access=0, WriteFunction=5, WriteRegister=8, GroupNo=0, Publish=1, Priority=1,
             DataType=1, ByteOrder=1, Identifier=0, GroupType=2,
             Corrections=[(1, 12, 0.0)])
ELEMENTS = [GROUP, TAG, ALARM]
DEVICES = [
    dict(Name="Шкаф 1", Address="192.168.1.10", Port=1502, Slot=3, ID=0, FailThreshold=5,
         CyclePause=100, Timeout=1000, Type=102, ComPort=4, BaudRate=19200, StopBits=2,
         Parity=2, Disconnect=1, PacketPause=20, QualityReset=10),
    dict(Name="RTU", Address="10.0.0.2", Port=503, Slot=1, ID=1, FailThreshold=7,
         CyclePause=50, Timeout=300, Type=101, ComPort=2, BaudRate=115200, StopBits=1,
         Parity=1, Disconnect=0, PacketPause=5, QualityReset=2),
]
PARAMETERS = [("TIME_SYNCH_KARVEX", "0,0,3,60"), ("DEVICE_REQUEST_MAXSIZE", "0,3,3,20")]
NEXT_ID = 20


def document(elements=None, devices=None, parameters=None, next_id=NEXT_ID):
    return dict(elements=ELEMENTS if elements is None else elements,
                devices=DEVICES if devices is None else devices,
                parameters=PARAMETERS if parameters is None else parameters,
                next_id=next_id)


# ---- configuration section -----------------------------------------------------------------

def corrections(e):
    out = u32(len(e["Corrections"]))
    for reserved, operation, param in e["Corrections"]:
        out += u32(reserved) + u8(operation) + f64(param)
    return out


def config_element(v, e):
    out = u8(e["Device"]) + u8(e["DeviceNo"]) + u16(e["vtType"]) + u32(e["ID"])
    out += u32(e["ParentID"]) + u8(e["Kind"]) + text(e["Name"])
    if v >= 112:
        out += text(e["Comment"])
    if v >= 113:
        out += text(e["Range"]) + text(e["ShortName"])
    out += u8(e["Reserved"]) + u8(e["Function"]) + u32(e["Register"]) + u8(e["Size"])
    out += u8(e["Access"]) + u8(e["WriteFunction"]) + u32(e["WriteRegister"])
    out += u8(e["GroupNo"]) + u32(e["Publish"])
    if v >= 104:
        out += u8(e["Priority"])
    if v >= 106:
        out += u8(e["DataType"]) + u8(e["ByteOrder"])
    if v >= 110:
        out += u32(e["Identifier"])
    if v >= 113:
        out += u8(e["GroupType"])
    return out + corrections(e)


def config_device(v, d):
    out = text(d["Name"]) + text(d["Address"]) + u16(d["Port"]) + u8(d["Slot"]) + u8(d["ID"])
    if v >= 102:
        out += u8(d["FailThreshold"]) + u16(d["CyclePause"])
    if v >= 103:
        out += u16(d["Timeout"])
    if v >= 105:
        out += u8(d["Type"]) + u8(d["ComPort"]) + u32(d["BaudRate"]) + u8(d["StopBits"])
        out += u8(d["Parity"])
    if v >= 107:
        out += u8(d["Disconnect"]) + u16(d["PacketPause"])
    if v >= 109:
        out += u8(d["QualityReset"])
    return out


def config_section(v, doc):
    out = u32(v) + u32(len(doc["elements"]))
    if v >= 108:
        out += u32(doc["next_id"])
    for e in doc["elements"]:
        out += config_element(v, e)
    out += u32(len(doc["devices"]))
    for d in doc["devices"]:
        out += config_device(v, d)
    if v >= 111:
        out += u32(len(doc["parameters"]))
        for name, value in doc["parameters"]:
            out += text(name) + text(value)
    return out


# ---- tag-information section ---------------------------------------------------------------

def path_of(doc, e):
    names = [e["Name"]]
    by_id = {x["ID"]: x for x in reversed(doc["elements"])}  # the first match wins
    parent = e["ParentID"]
    while parent in by_id:
        names.append(by_id[parent]["Name"])
        parent = by_id[parent]["ParentID"]
    return "/".join(reversed(names))


def taginfo_tag(v, doc, e):
    out = u32(e["ID"]) + u16(e["vtType"]) + text(e.get("Path", path_of(doc, e)))
    if v >= 112:
        out += text(e["Comment"])
    if v >= 113:
        out += text(e["ShortName"])
    out += u8(e["Reserved"]) + u8(e["DeviceNo"]) + u8(e["Device"]) + u8(e["Function"])
    out += u32(e["Register"]) + u8(e["Size"]) + u8(e["Access"]) + u8(e["WriteFunction"])
    out += u32(e["WriteRegister"]) + u8(e["GroupNo"])
    if v >= 103:
        out += u8(e["Priority"])
    if v >= 106:
        out += u8(e["DataType"]) + u8(e["ByteOrder"])
    if v >= 110:
        out += u32(e["Identifier"])
    if v >= 114:
        out += u32(e["ParentID"])
    return out + corrections(e)


def taginfo_device(v, d):
    # Slot before port here, the other way round in the configuration section.
    out = text(d["Name"]) + text(d["Address"]) + u8(d["Slot"]) + u16(d["Port"]) + u8(d["ID"])
    if v >= 101:
        out += u8(d["FailThreshold"]) + u16(d["CyclePause"])
    if v >= 102:
        out += u16(d["Timeout"])
    if v >= 105:
        out += u8(d["Type"]) + u8(d["ComPort"]) + u32(d["BaudRate"]) + u8(d["StopBits"])
        out += u8(d["Parity"])
    if v >= 107:
        out += u8(d["Disconnect"]) + u16(d["PacketPause"])
    if v >= 109:
        out += u8(d["QualityReset"])
    return out


def taginfo_section(v, doc):
    tags = [e for e in doc["elements"] if e["Kind"] == 3 and e["Publish"] == 1]
    out = u32(v) + u32(len(tags))
    for e in tags:
        out += taginfo_tag(v, doc, e)
    if v >= 114:
        groups = [e for e in doc["elements"] if e["Kind"] == 2 and e["GroupType"] == 4]
        out += u32(len(groups))
        for g in groups:
            out += u32(g["ID"]) + u32(g["ParentID"]) + text(g["Name"]) + text(g["ShortName"])
            out += u8(g["DeviceNo"]) + u8(g["Device"])
    out += u32(len(doc["devices"]))
    for d in doc["devices"]:
        out += taginfo_device(v, d)
    if v >= 111:
        out += u32(len(doc["parameters"]))
        for name, value in doc["parameters"]:
            out += text(name) + text(value)
    return out


def scf(doc, config_version=114, taginfo_version=114):
    return config_section(config_version, doc) + MARKER + taginfo_section(taginfo_version, doc)


# ---- the fixtures --------------------------------------------------------------------------

def fixtures():
    files = {}
    for v in (101, 103, 105, 107, 109, 111, 112, 113, 114):
        files["config_v%d.scf" % v] = scf(document(), config_version=v)
    for v in (100, 102, 103, 105, 106, 107, 110, 111, 113, 114):
        files["taginfo_v%d.scf" % v] = scf(document(), taginfo_version=v)

    # Version 114 with nothing in it: 20 + 48 + 20 bytes.
    empty = scf(document(elements=[], devices=[], parameters=[], next_id=1))
    assert len(empty) == 88
    files["empty.scf"] = empty

    # Slot 3 and port 502: "F6 01 03" in the configuration section, "03 F6 01" after the marker.
    device = dict(DEVICES[0], Port=502, Slot=3)
    files["slot_port.scf"] = scf(document(elements=[], devices=[device], parameters=[]))

    # The last parameter value ends in Z, so the marker's leading "ZZZ" follows more Z bytes.
    files["parameter_z.scf"] = scf(document(parameters=[("NOTE", "ZZZZ"), ("END", "ABCZZ")]))

    # Paths of 254 and 255 bytes (group name, "/", tag name). The 255-byte path, and a comment
    # of 300 bytes, take the long form; the tag after them shows the reader kept in step.
    for length in (254, 255):
        group = dict(GROUP, Name="G" * 100)
        tag = dict(TAG, Name="T" * (length - 101))
        if length == 255:
            tag["Comment"] = "C" * 300
        assert len(path_of(document(elements=[group, tag, ALARM]), tag)) == length
        files["path_%d.scf" % length] = scf(document(elements=[group, tag, ALARM]))

    # A group name in the wide form (UTF-16), which both readers accept.
    files["wide_name.scf"] = scf(document(elements=[dict(GROUP, Name=Wide("Котёл"))]))
    return files


def main():
    for name, data in sorted(fixtures().items()):
        with open(os.path.join(HERE, name), "wb") as out:
            out.write(data)
        print("%-20s %6d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
