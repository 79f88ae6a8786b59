"""The Python module's ctypes records against the C header's, as the C
compiler lays them out (records_layout, built from include/trimlet.h):
every record's size and every field's offset must agree.

Usage: check_records.py RECORDS_LAYOUT_PROGRAM
"""
import subprocess
import sys

import trimlet

STRUCTURES = {"trimlet_options": trimlet._Options, "trimlet_box": trimlet._Box,
              "trimlet_request": trimlet._Request, "trimlet_result": trimlet._Result}


def main(program):
    bad = 0
    for line in subprocess.run([program], check=True, capture_output=True, text=True).stdout.splitlines():
        name, value = line.rsplit(" ", 1)
        if name.endswith(" size"):
            record = name[:-5]
            got = trimlet.ctypes.sizeof(STRUCTURES[record])
        else:
            record, field = name.split(".")
            member = getattr(STRUCTURES[record], field, None)
            got = member.offset if member is not None else None
        if got != int(value):
            print(f"{name}: C says {value}, the module's record {got}")
            bad += 1
    print(f"{len(STRUCTURES)} records checked, {bad} differences")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
