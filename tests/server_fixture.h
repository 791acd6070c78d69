// SPDX-License-Identifier: BSD-2-Clause
// A Server whose output streams are captured, for tests of the request
// path without sockets.
#pragma once

#include "devkit/packets.h"
#include "devkit/streams.h"
#include "server/options.h"
#include "server/request.h"
#include "server/server.h"

namespace kovari::testing {

struct TestServer {
    devkit::Capture out;
    devkit::Capture err;
    Server srv;
    TestServer()
    {
        srv.out = out.stream();
        srv.err = err.stream();
        srv.settings.message_reply = make_message_reply({});
    }
    // Hands bytes to the request path as if one receive had returned them.
    RequestAction receive(const devkit::Bytes& packet, std::uint32_t peer_ip = devkit::ipv4("10.0.0.9"),
                          std::uint16_t peer_port = 40001, std::time_t now = 1000)
    {
        std::copy(packet.begin(), packet.end(), buf.bytes);
        return handle_packet(srv, buf, packet.size(), peer_ip, peer_port, now, 0);
    }
    devkit::Bytes reply_of(const devkit::Bytes& packet)
    {
        const auto act = receive(packet);
        return devkit::Bytes(act.reply.begin(), act.reply.end());
    }
    std::vector<std::string> cnames()
    {
        std::vector<std::string> v;
        for_each_site(srv.table, [&](const SiteView& s) {
            v.emplace_back(*s.cname);
            return true;
        });
        return v;
    }
    RequestBuffer buf;
};

}  // namespace kovari::testing
