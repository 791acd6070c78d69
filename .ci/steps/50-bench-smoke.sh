#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The benchmark must keep building and running: a short run on tiny tables,
# no thresholds. `make bench` gives the real figures.
set -eu
cmake --build build --target kvbench -j 2 >/dev/null
build/bench/kvbench --quorind build/server/quorind --ref build/bench/kvref --smoke
