#!/usr/bin/env python3
"""Prints what a Kindle file's record 0 says, part by part, read independently of TarvoCmd:
"<part> locale <header locale in hex>", then "<part> <EXTH type> <value>" for each EXTH record of
the types asked for (all text types when none are). Part 0 is the first part, part 1 the KF8 part
of a joint file.
Usage: kindle-records.py FILE [TYPE...]"""
import struct
import sys

NUMBERS = {115, 116, 121, 125, 131, 201, 202, 203}


def main():
    data = open(sys.argv[1], "rb").read()
    wanted = {int(t) for t in sys.argv[2:]}
    count = struct.unpack(">H", data[76:78])[0]
    offsets = [struct.unpack(">I", data[78 + 8 * i:82 + 8 * i])[0] for i in range(count)]
    offsets.append(len(data))

    def part(number, base):
        r0 = data[offsets[base]:offsets[base + 1]]
        print("%d locale 0x%x" % (number, struct.unpack(">I", r0[0x5C:0x60])[0]))
        p = 16 + struct.unpack(">I", r0[20:24])[0]
        boundary = None
        if r0[p:p + 4] != b"EXTH":
            return boundary
        records, q = struct.unpack(">I", r0[p + 8:p + 12])[0], p + 12
        for _ in range(records):
            kind, length = struct.unpack(">II", r0[q:q + 8])
            value = r0[q + 8:q + length]
            if kind == 121:
                boundary = struct.unpack(">I", value)[0]
            if (kind in wanted) if wanted else kind not in NUMBERS:
                print("%d %d %s" % (number, kind, value.decode("utf-8", "replace")))
            q += length
        return boundary

    kf8 = part(0, 0)
    if kf8 is not None and 0 < kf8 < count:
        part(1, kf8)


main()
