#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the benchmark and runs it once at 1/8 scale: every case's output is
# checked, nothing is timed against a limit. About a minute on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/bench.sh --quick >/dev/null
scripts/bench.sh reentrant --quick >/dev/null
