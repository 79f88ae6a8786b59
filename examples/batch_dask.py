#!/usr/bin/env python3
# trimlet: crop image files. SPDX-License-Identifier: MIT
"""Crops a batch of image files on a Dask cluster, one task per file.

usage: batch_dask.py [--scheduler ADDRESS | --workers N] [--ratio W:H] OUT_DIR FILE...

Each file becomes OUT_DIR/<name>.jpg, the largest centred W:H region
(default 3:2). Without --scheduler, a LocalCluster of N worker processes
(default 2) runs on this machine; with --scheduler tcp://host:8786 the same
tasks go to that cluster, whose workers need the trimlet module and library
installed and must see the files at the same paths (a shared file system).
Prints one line per failed file and exits 1 if any failed.
"""
import argparse
import os
import sys

from dask.distributed import Client, LocalCluster, as_completed

import trimlet


def crop_one(path, out_dir, ratio):
    """The task: one stateless library call. Returns (path, error or None)."""
    name = os.path.splitext(os.path.basename(path))[0] + ".jpg"
    try:
        trimlet.crop(path, "ratio", *ratio, output=os.path.join(out_dir, name), quality=90)
        return path, None
    except trimlet.TrimletError as e:
        return path, e.message


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--ratio", default="3:2", help="W:H (default 3:2)")
    parser.add_argument("out_dir")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    ratio = tuple(int(part) for part in args.ratio.split(":"))
    out_dir = os.path.abspath(args.out_dir)
    os.makedirs(out_dir, exist_ok=True)
    files = [os.path.abspath(f) for f in args.files]

    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    failed = 0
    try:
        futures = client.map(crop_one, files, out_dir=out_dir, ratio=ratio, pure=False)
        for future in as_completed(futures):
            path, error = future.result()
            if error:
                failed += 1
                print("batch_dask: %s: %s" % (path, error), file=sys.stderr)
    finally:
        client.close()
        if cluster:
            cluster.close()
    print("%d cropped, %d failed" % (len(files) - failed, failed), file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
