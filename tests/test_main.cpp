// SPDX-License-Identifier: BSD-2-Clause
// The main function of every test program. ctest runs each test as a
// process of its own; all the temporary files of one, and of the programs
// it starts, lie in one folder $TMPDIR/kovari-test-XXXXXX that is removed
// with everything in it when the test ends. TMPDIR names that folder to the
// development library's temporary files and folders and to the children.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "devkit/files.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const kovari::devkit::TempDir dir("kovari-test");
    if (!dir.valid()) {
        std::perror("kovari-test: cannot create a temporary folder");
        return 1;
    }
    ::setenv("TMPDIR", dir.path().c_str(), 1);
    return RUN_ALL_TESTS();
}
