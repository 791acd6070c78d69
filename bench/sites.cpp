// SPDX-License-Identifier: BSD-2-Clause
#include "bench/sites.h"

#include "common/report.h"
#include "common/site.h"
#include "common/text.h"

namespace kovari::bench {
namespace {

const char* const kFirst[] = {"Maria", "Jonas", "Aino",   "Pedro", "Lena",  "Tomasz",
                              "Ines",  "Oskar", "Sofia",  "Karel", "Mette", "Ravi",
                              "Hanna", "Luis",  "Greta",  "Milan"};
const char* const kLast[] = {"Lindqvist", "Kovacs",  "Moreau", "Novak",   "Silva",   "Berg",
                             "Rossi",     "Nielsen", "Weber",  "Horvath", "Jansen",  "Dubois",
                             "Kowalski",  "Costa",   "Larsen", "Fischer"};
const char* const kPlace[] = {"Tampere, FI", "Brno, CZ", "Porto, PT", "Graz, AT",
                              "Lyon, FR",    "Aarhus, DK", "Turin, IT", "Leiden, NL"};

}  // namespace

Ssrc bench_ssrc(std::uint32_t id) { return devkit::make_ssrc(id * 2654435761u + 0x9E37u); }

devkit::Announcement bench_site(std::uint32_t id)
{
    const std::string first = kFirst[id % 16];
    const std::string last = kLast[(id / 16) % 16];
    std::string login = first;
    lower_case(login);
    devkit::Announcement a;
    a.ssrc = bench_ssrc(id);
    a.cname = format("%s%u@host%u.kovari.net", login.c_str(), id, id % 509);
    a.name = first + " " + last;
    a.email = format("%s.%s%u@mail.org", first.c_str(), last.c_str(), id);
    if (id % 2 == 0)
        a.loc = kPlace[(id / 2) % 8];
    else if (id % 4 == 1)
        a.phone = format("+358 40 %u", 1000000 + id % 9000000);
    a.port = int(2076 + id % 4000);
    return a;
}

std::string exact_query(std::uint32_t id)
{
    // The marker in front of a query asks for an exact match.
    return kUnlistedMarker + *bench_site(id).email;
}

}  // namespace kovari::bench
