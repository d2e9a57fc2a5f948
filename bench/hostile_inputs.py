#!/usr/bin/env python3
"""Writes hostile calendar items, each a file NAME.ics in the given directory, and with
--plists the two hostile Info.plist files (NAME.plist). Generated on demand because several
are megabytes."""
import argparse
import os
import struct


def wrap(body):
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//hostile//EN\r\n" + body + "END:VCALENDAR\r\n"


def event(uid, start, rule=None, extra="", length="DURATION:PT10M"):
    lines = f"BEGIN:VEVENT\r\nUID:{uid}\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:{uid}\r\n{start}\r\n"
    lines += f"{length}\r\n"
    if rule:
        lines += f"RRULE:{rule}\r\n"
    return lines + extra + "END:VEVENT\r\n"


def zone(tzid, observances):
    return f"BEGIN:VTIMEZONE\r\nTZID:{tzid}\r\n{observances}END:VTIMEZONE\r\n"


def observance(kind, start, offset_from, offset_to, rule=None):
    text = f"BEGIN:{kind}\r\nDTSTART:{start}\r\nTZOFFSETFROM:{offset_from}\r\nTZOFFSETTO:{offset_to}\r\n"
    if rule:
        text += f"RRULE:{rule}\r\n"
    return text + f"END:{kind}\r\n"


def items():
    yield "nested-components", wrap("BEGIN:X\r\n" * 300_000 + "END:X\r\n" * 300_000)
    yield "secondly-never", wrap(event("secondly-never", "DTSTART:20240101T000000Z",
                                       "FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30"))
    yield "zone-minutely-rule", wrap(
        zone("Hostile/Minutely", observance("STANDARD", "19700101T000000", "+0100", "+0000",
                                            "FREQ=MINUTELY")
             + observance("DAYLIGHT", "19700329T020000", "+0000", "+0100", "FREQ=YEARLY"))
        + event("zone-minutely-rule", "DTSTART;TZID=Hostile/Minutely:20240301T090000", "FREQ=DAILY"))
    yield "secondly-berlin", wrap(event("secondly-berlin", "DTSTART;TZID=Europe/Berlin:20000101T000000",
                                        "FREQ=SECONDLY;BYMINUTE=0,30;BYSECOND=0"))
    yield "minutely-new-york", wrap(event(
        "minutely-new-york", "DTSTART;TZID=America/New_York:19900101T090000",
        "FREQ=MINUTELY;BYDAY=MO,TU,WE,TH,FR;BYHOUR=9,10,11,12,13,14,15,16"))
    yield "minutely-1900", wrap(event("minutely-1900", "DTSTART:19000101T000000Z",
                                      "FREQ=MINUTELY;INTERVAL=15"))
    # Occurrences every 15 minutes since 1900, each lasting until 2025: all overlap any window.
    yield "century-long", wrap(event("century-long", "DTSTART:19000101T000000Z",
                                     "FREQ=MINUTELY;INTERVAL=15", length="DTEND:20250101T003000Z"))
    yield "secondly", wrap(event("secondly", "DTSTART:20240101T000000Z", "FREQ=SECONDLY",
                                 length="DURATION:PT1S"))
    yield "secondly-events", wrap("".join(
        event(f"secondly-events-{i}", "DTSTART:20240101T000000Z", "FREQ=SECONDLY", length="DURATION:PT1S")
        for i in range(200)))
    rules = "".join(
        observance("STANDARD" if i % 2 else "DAYLIGHT", f"{1600 + i // 2:04d}{3 + 7 * (i % 2):02d}01T020000",
                   "+0100" if i % 2 == 0 else "+0200", "+0200" if i % 2 == 0 else "+0100",
                   f"FREQ=YEARLY;BYMONTH={3 + 7 * (i % 2)};BYDAY=-1SU")
        for i in range(2000))
    yield "zone-2000-rules", wrap(zone("Hostile/Rules", rules)
                                  + event("zone-2000-rules", "DTSTART;TZID=Hostile/Rules:20240301T090000",
                                          "FREQ=WEEKLY"))
    yield "nested-zones", wrap("BEGIN:VTIMEZONE\r\n" * 100_000 + "END:VTIMEZONE\r\n" * 100_000
                               + event("nested-zones", "DTSTART:20240301T090000Z"))
    tzid = "/".join(["a"] * 100_000)
    yield "long-tzid", wrap(event("long-tzid", f"DTSTART;TZID={tzid}:20240301T090000"))
    zones = "".join(zone(f"Hostile/Zone{i}", observance("STANDARD", "19700101T000000", "+0100", "+0100"))
                    for i in range(20_000))
    events = "".join(event(f"many-zones-{i}", f"DTSTART;TZID=Hostile/Zone{i}:20240301T{i % 24:02d}0000")
                     for i in range(20_000))
    yield "many-zones", wrap(zones + events)
    # Broken in many ways at once: unterminated components, bad parameters, junk dates.
    broken = []
    for i in range(4000):
        broken.append(f"BEGIN:VEVENT\r\nUID:broken-{i}\r\nDTSTART;TZID=\"unterminated:2024030{i % 9}T09\r\n"
                      f"RRULE:FREQ=WEEKLY;BYDAY={i}XX;UNTIL=9999\r\n;;;:::\r\n END:VEVENT\r\n")
    yield "malformed", wrap("".join(broken))[:320_000]
    yield "parameters-320kb", wrap(event("parameters-320kb", "DTSTART:20240301T090000Z",
                                         extra="ATTENDEE" + ';X-P="a,b,c"' * 27_000 + ":mailto:a@b\r\n"))
    yield "exdates-320kb", wrap(event("exdates-320kb", "DTSTART:20240301T090000Z", "FREQ=DAILY",
                                      "EXDATE:" + ",".join(["20240302T090000Z"] * 19_000) + "\r\n"))
    yield "long-line", wrap(event("long-line", "DTSTART:20240301T090000Z",
                                  extra="DESCRIPTION:" + "x" * (10 * 1024 * 1024) + "\r\n"))


def xml_plist(depth):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict><key>CFBundleIdentifier</key>'
            "<string>org.example.Deep</string><key>Deep</key>" + "<array>" * depth + "</array>" * depth
            + "</dict></plist>\n").encode()


def binary_plist(depth):
    # Object 0 is the root dictionary {"Deep": array 1}; object k (1 <= k < depth) is an array
    # holding object k + 1; the last object is an empty array. References are 4 bytes.
    count = depth + 2
    objects = []
    key = b"\x54Deep"  # ASCII string of length 4
    objects.append(bytes([0xD1]) + struct.pack(">I", count - 1) + struct.pack(">I", 1))
    for k in range(1, depth):
        objects.append(bytes([0xA1]) + struct.pack(">I", k + 1))
    objects.append(bytes([0xA0]))
    objects.append(key)
    body = b"bplist00"
    offsets = []
    for obj in objects:
        offsets.append(len(body))
        body += obj
    table_offset = len(body)
    body += b"".join(struct.pack(">I", o) for o in offsets)
    trailer = bytes(6) + bytes([4, 4]) + struct.pack(">QQQ", count, 0, table_offset)
    return body + trailer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--plists", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    for name, text in items():
        with open(os.path.join(args.directory, name + ".ics"), "w", newline="") as out:
            out.write(text)
    if args.plists:
        for name, data in (("xml-200000-deep", xml_plist(200_000)), ("binary-100000-deep", binary_plist(100_000))):
            with open(os.path.join(args.directory, name + ".plist"), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
