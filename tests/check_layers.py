#!/usr/bin/env python3
"""Fails when a library file reaches up: an include of a higher folder's
header, or a call to a file on its own floor or a higher one.

Usage: check_layers.py LAYERS SRC [--nm NM OBJECT...]

LAYERS lists the files as folder/name from the lowest floor to the highest
(src/layers.txt); a folder's floor is that of its first file, and a folder's
files stand together. Every #include "..." of a file under SRC that names a
header of SRC must name one of the file's own folder or of a lower folder.
With --nm, each object's defined and undefined symbols come from nm; a call
is an undefined symbol of one object that another object defines.
"""
import os
import re
import subprocess
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def read_layers(path):
    """(floor of each file, rank of each folder, problems)."""
    floor, rank, problems, last = {}, {}, [], None
    with open(path) as f:
        for line in f:
            names = line.split('#', 1)[0].split()
            if not names:
                continue
            n = len(set(floor.values()))
            for name in names:
                folder = name.split('/')[0] if '/' in name else ''
                if folder != last and folder in rank:
                    problems.append(f'{path}: folder {folder}/ is split by another folder')
                rank.setdefault(folder, len(rank))
                last = folder
                floor[name] = n
    return floor, rank, problems


def check_includes(src, floor, rank):
    bad = []
    listed = set(floor)
    for top, _, files in os.walk(src):
        for fn in sorted(files):
            path = os.path.join(top, fn)
            rel = os.path.relpath(path, src).replace(os.sep, '/')
            folder = rel.split('/')[0] if '/' in rel else ''
            stem, ext = os.path.splitext(rel)
            if ext not in ('.cpp', '.h'):
                continue
            if ext == '.cpp' and stem not in listed:
                bad.append(f'{rel}: not in the layers file')
                continue
            if folder not in rank:
                bad.append(f'{rel}: its folder is not in the layers file')
                continue
            with open(path, encoding='utf-8', errors='replace') as f:
                text = f.read()
            for inc in INCLUDE.findall(text):
                if not os.path.exists(os.path.join(src, inc)):
                    continue  # the public header, a system or generated one
                to = inc.split('/')[0] if '/' in inc else ''
                if rank.get(to, len(rank)) > rank[folder]:
                    bad.append(f'{rel} includes {inc}, which is above it')
    return bad


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


def check_calls(nm, objects, floor):
    by_stem = {name.split('/')[-1]: name for name in floor}
    bad, files = [], {}
    for obj in objects:
        stem = os.path.basename(obj).split('.')[0]
        if stem not in by_stem:
            bad.append(f'{stem}: not in the layers file')
            continue
        files[by_stem[stem]] = symbols(nm, obj)
    owner = {sym: name for name, (defined, _) in files.items() for sym in defined}
    for name, (_, undefined) in sorted(files.items()):
        for sym in sorted(undefined):
            callee = owner.get(sym)
            if callee is not None and callee != name and floor[callee] >= floor[name]:
                bad.append(f'{name} calls {callee} ({sym}), which is not below it')
    return bad, len(files)


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    layers, src, rest = argv[0], argv[1], argv[2:]
    floor, rank, bad = read_layers(layers)
    bad += check_includes(src, floor, rank)
    checked = 0
    if rest[:1] == ['--nm']:
        calls, checked = check_calls(rest[1], rest[2:], floor)
        bad += calls
    for line in bad:
        print(line)
    print(f'{len(floor)} files in {len(rank)} folders, {checked} objects checked, {len(bad)} problems')
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
