# trimlet: crop image files. SPDX-License-Identifier: MIT
"""The distribution's version is the library's: TRIMLET_VERSION_STRING of the
header beside this folder (../include/trimlet.h), so python/ spells no version
of its own. A source distribution carries it in PKG-INFO. Everything else is
in pyproject.toml."""

import os
import re

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))


def version():
    for path, pattern in ((os.path.join(HERE, "..", "include", "trimlet.h"),
                           r'^#define TRIMLET_VERSION_STRING "([^"]+)"$'),
                          (os.path.join(HERE, "PKG-INFO"), r"^Version: (\S+)$")):
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                found = re.search(pattern, f.read(), re.M)
            if found:
                return found.group(1)
    raise RuntimeError("trimlet: no version: build from the repository, where "
                       "include/trimlet.h lies beside python/")


setup(version=version())
