#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Fails when a library file calls a file on its own floor or a higher one.

Usage: check_layers.py NM LAYERS OBJECT...

LAYERS lists the files from the lowest floor to the highest (src/layers.txt).
Each object's defined and undefined symbols come from nm; a call is an
undefined symbol of one object that another object defines.
"""
import os
import subprocess
import sys


def floors(path):
    order = {}
    with open(path) as f:
        for line in f:
            line = line.split('#', 1)[0].split()
            if line:
                for name in line:
                    order[name] = len(set(order.values()))
    return order


def symbols(nm, obj):
    out = subprocess.run([nm, obj], check=True, capture_output=True, text=True).stdout
    defined, undefined = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == 'U':
            undefined.add(parts[1])
        elif len(parts) == 3 and parts[1] in 'TDBRVW':
            defined.add(parts[2])
    return defined, undefined


def main():
    nm, layers, objects = sys.argv[1], sys.argv[2], sys.argv[3:]
    order = floors(layers)
    files = {}
    for obj in objects:
        name = os.path.basename(obj).split('.')[0]
        if name not in order:
            print(f'{name}: not in {layers}')
            return 1
        files[name] = symbols(nm, obj)
    owner = {sym: name for name, (defined, _) in files.items() for sym in defined}
    bad = 0
    for name, (_, undefined) in sorted(files.items()):
        for sym in sorted(undefined):
            callee = owner.get(sym)
            if callee is not None and callee != name and order[callee] >= order[name]:
                print(f'{name} calls {callee} ({sym}), which is not below it')
                bad += 1
    print(f'{len(files)} files checked, {bad} upward or sideways calls')
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
