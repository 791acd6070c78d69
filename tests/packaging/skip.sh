#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: skip.sh REASON...
# A test that cannot run in this configuration says why and is skipped.
echo "SKIP: $*"
exit 77
