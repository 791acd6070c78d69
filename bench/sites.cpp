#include "sites.h"

#include <cstdio>

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

std::string lower(std::string t)
{
    for (char& c : t)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return t;
}

}  // namespace

Ssrc bench_ssrc(std::uint32_t id) { return devkit::make_ssrc(id * 2654435761u + 0x9E37u); }

devkit::Announcement bench_site(std::uint32_t id)
{
    const std::string first = kFirst[id % 16];
    const std::string last = kLast[(id / 16) % 16];
    devkit::Announcement a;
    a.ssrc = bench_ssrc(id);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s%u@host%u.kovari.net", lower(first).c_str(), id, id % 509);
    a.cname = buf;
    std::snprintf(buf, sizeof buf, "%s %s", first.c_str(), last.c_str());
    a.name = buf;
    std::snprintf(buf, sizeof buf, "%s.%s%u@mail.org", first.c_str(), last.c_str(), id);
    a.email = buf;
    if (id % 2 == 0)
        a.loc = kPlace[(id / 2) % 8];
    else if (id % 4 == 1)
    {
        std::snprintf(buf, sizeof buf, "+358 40 %u", 1000000 + id % 9000000);
        a.phone = buf;
    }
    a.port = int(2076 + id % 4000);
    return a;
}

std::string exact_query(std::uint32_t id)
{
    std::string q(1, '*');
    q.append(*bench_site(id).email);
    return q;
}

}  // namespace kovari::bench
