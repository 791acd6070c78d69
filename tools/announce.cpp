// SPDX-License-Identifier: BSD-2-Clause
// kovari-announce: a stand-in for the voice program during development.
// It sends one site announcement or one sign-off to a directory server on
// loopback and waits until the server has closed the connection, so that a
// lookup started afterwards sees the change.
//
//   kovari-announce -Pport [-Bbind_ip] sdes SSRC CNAME [name=..] [email=..]
//                   [phone=..] [loc=..] [tool=..] [port=..]
//   kovari-announce -Pport [-Bbind_ip] bye SSRC
//   kovari-announce -Pport wait        (until something listens on the port)
//   kovari-announce free-port          (prints a loopback port nobody uses)
//
// SSRC is hexadecimal, the value the server's dumps print.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "devkit/loopback.h"
#include "devkit/packets.h"

namespace {

using namespace kovari;
using namespace kovari::devkit;

constexpr int kWaitMs = 5000;

int usage()
{
    std::fputs("usage: kovari-announce -Pport [-Bbind_ip] sdes SSRC CNAME [name=..] [email=..]\n"
               "                       [phone=..] [loc=..] [tool=..] [port=..]\n"
               "       kovari-announce -Pport [-Bbind_ip] bye SSRC\n"
               "       kovari-announce -Pport wait\n"
               "       kovari-announce free-port\n",
               stderr);
    return 2;
}

bool parse_ssrc(const char* text, Ssrc& out)
{
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 16);
    if (end == text || *end != '\0')
        return false;
    out = make_ssrc(std::uint32_t(v));
    return true;
}

// "key=value" into the announcement; false for an unknown key.
bool take_field(Announcement& a, std::string_view arg)
{
    const auto eq = arg.find('=');
    if (eq == std::string_view::npos)
        return false;
    const std::string_view key = arg.substr(0, eq);
    const std::string value(arg.substr(eq + 1));
    if (key == "name")
        a.name = value;
    else if (key == "email")
        a.email = value;
    else if (key == "phone")
        a.phone = value;
    else if (key == "loc")
        a.loc = value;
    else if (key == "tool")
        a.tool = value;
    else if (key == "port")
        a.port = std::atoi(value.c_str());
    else
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int port = 0;
    const char* bind_ip = nullptr;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (argv[i][1] == 'P')
            port = std::atoi(argv[i] + 2);
        else if (argv[i][1] == 'B')
            bind_ip = argv[i] + 2;
        else
            return usage();
    }
    if (i >= argc)
        return usage();
    const std::string_view command = argv[i++];
    if (command == "free-port") {
        std::printf("%d\n", free_port());
        return 0;
    }
    if (port <= 0)
        return usage();
    if (command == "wait")
        return wait_listening(port, kWaitMs) ? 0 : 1;

    Bytes packet;
    Ssrc ssrc{};
    if (i >= argc || !parse_ssrc(argv[i++], ssrc))
        return usage();
    if (command == "bye" && i == argc) {
        packet = bye_packet(ssrc);
    } else if (command == "sdes" && i < argc) {
        Announcement a;
        a.ssrc = ssrc;
        a.cname = argv[i++];
        for (; i < argc; ++i)
            if (!take_field(a, argv[i]))
                return usage();
        packet = announcement(a);
    } else {
        return usage();
    }
    if (!round_trip(port, packet, kWaitMs, bind_ip)) {
        std::fprintf(stderr, "kovari-announce: no answer from port %d\n", port);
        return 1;
    }
    return 0;
}
