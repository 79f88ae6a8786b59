# SPDX-License-Identifier: MIT
"""Runs examples/batch_dask.py on a LocalCluster of two worker processes and
checks every file it wrote against the module's own crop."""
import io
import os
import subprocess
import sys
import tempfile
import unittest

from PIL import Image

import trimlet

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "batch_dask.py")


class DaskBatch(unittest.TestCase):
    def test_each_file_is_a_task_and_failures_are_reported(self):
        with tempfile.TemporaryDirectory(prefix="trimlet-dask-") as tmp:
            files = []
            for i in range(10):
                path = os.path.join(tmp, "in%02d.png" % i)
                Image.new("RGB", (60 + 10 * i, 40 + 3 * i), (i * 20, 100, 200 - i * 10)).save(path)
                files.append(path)
            broken = os.path.join(tmp, "broken.png")
            with open(broken, "wb") as f:
                f.write(b"not an image")
            out = os.path.join(tmp, "out")
            run = subprocess.run([sys.executable, EXAMPLE, "--workers", "2", "--ratio", "4:3", out]
                                 + files + [broken], capture_output=True, text=True, timeout=300)
            self.assertEqual(run.returncode, 1, run.stderr)
            self.assertIn("batch_dask: %s: cannot decode '%s': unknown image type" % (broken, broken),
                          run.stderr)
            self.assertIn("10 cropped, 1 failed", run.stderr)
            self.assertEqual(sorted(os.listdir(out)), ["in%02d.jpg" % i for i in range(10)])
            for path in files:
                name = os.path.splitext(os.path.basename(path))[0] + ".jpg"
                with open(os.path.join(out, name), "rb") as f:
                    written = f.read()
                self.assertEqual(written, trimlet.crop(path, "ratio", 4, 3, format="jpg", quality=90))
                box = trimlet.plan(path, "ratio", 4, 3)
                self.assertEqual(Image.open(io.BytesIO(written)).size, (box.w, box.h))


if __name__ == "__main__":
    unittest.main()
