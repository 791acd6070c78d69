// quorinq: asks a directory server who is on line.
#include <cstdlib>

#include "lookup.h"

int main(int argc, char** argv)
{
    kovari::LookupContext ctx;
    ctx.ask = std::getenv("KOVARI_QRN_ASK");
    ctx.tell = std::getenv("KOVARI_QRN_TELL");
    return kovari::run_lookup(argc, argv, ctx);
}
