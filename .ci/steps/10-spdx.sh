#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Every tracked source file, script and build file carries the licence tag.
set -eu
cd "$(dirname "$0")/../.."
sh tools/spdx.sh --check
