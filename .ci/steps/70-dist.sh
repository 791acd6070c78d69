#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The source tarball of make dist, unpacked in a folder of its own, builds
# and passes make test there.
set -eu
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
make dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "build/quorin-$version.tar.gz" -C "$work"
cd "$work/quorin-$version"
test ! -e .git
make test JOBS=2
echo "dist: quorin-$version.tar.gz builds and passes make test when unpacked elsewhere"
