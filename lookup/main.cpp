// SPDX-License-Identifier: BSD-2-Clause
// quorinq: asks a directory server who is on line.
#include <langinfo.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "lookup.h"

int main(int argc, char** argv)
{
    // The terminal's character set decides how texts from a reply are shown.
    std::setlocale(LC_CTYPE, "");
    kovari::LookupContext ctx;
    ctx.utf8_terminal = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    ctx.ask = std::getenv("KOVARI_QRN_ASK");
    ctx.tell = std::getenv("KOVARI_QRN_TELL");
    return kovari::run_lookup(argc, argv, ctx);
}
