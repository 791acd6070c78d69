// SPDX-License-Identifier: BSD-2-Clause
// The run of quorinq: options, the server, one connection per request.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

#include "common/host.h"
#include "lookup.h"
#include "net.h"

namespace kovari {

namespace {

// Opens a connection to the server and sends one request. Returns the
// connection, or the exit status that ends the run.
struct Connected {
    Fd conn;
    int status = 0;
};

Connected open_connection(const sockaddr_in& server, const LookupContext& ctx)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        report_error(ctx.err, "opening stream socket", errno);
        return {Fd(), 1};
    }
    if (!connect_within(s, server, ctx.connect_timeout_ms)) {
        report_error(ctx.err, "connecting stream socket", errno);
        return {Fd(), 1};
    }
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &len) < 0) {
        report_error(ctx.err, "getting socket name", errno);
        return {Fd(), 1};
    }
    return {std::move(s), 0};
}

}  // namespace

int run_lookup(int argc, const char* const* argv, const LookupContext& ctx)
{
    RunState run;
    run.utf8_terminal = ctx.utf8_terminal;
    if (auto status = parse_lookup_options(run, argc, argv, ctx.out, ctx.err))
        return *status;
    // A query that cannot go out whole is refused before anything is sent.
    if (overlong_query(run, argc, argv)) {
        std::fprintf(ctx.err, "%s: query text too long: at most %zu bytes.\n", run.program.c_str(),
                     kMaxQueryText);
        return 2;
    }

    const auto text = choose_server_text(run, ctx.ask, ctx.tell);
    if (!text) {
        report_no_host(ctx.err, run.program);
        return 2;
    }
    const HostPort name = split_host_port(*text);
    const auto ip = resolve_host(name.host);
    if (!ip) {
        std::fprintf(ctx.err, "%s: server %s is unknown.\n", run.program.c_str(),
                     name.host.c_str());
        // "-H host" leaves -H empty and makes the host the first query.
        if (run.server_text && run.server_text->empty())
            std::fprintf(ctx.err, "%s: -H takes the server in the same argument: -Hhost:port\n",
                         run.program.c_str());
        return 2;
    }
    run.server_port = name.port;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(std::uint16_t(run.server_port & 0xffff));
    server.sin_addr.s_addr = *ip;

    LookupBuffer buf{};
    while (run.message_pending || run.query_index < argc) {
        Connected c = open_connection(server, ctx);
        if (c.status != 0)
            return c.status;
        const bool message = run.message_pending;
        const auto request =
            message ? build_message_request(buf) : build_query(buf, argv[run.query_index]);
        if (::send(c.conn.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0)
            report_error(ctx.err,
                         message ? "sending server message request" : "sending quorin query message",
                         errno);
        long n = receive_within(c.conn, buf, ctx.reply_timeout_ms);
        if (n <= 0) {
            // A peer that closes without a byte leaves no error of its own.
            report_error(ctx.err, "reading reply from socket", n == 0 ? ENODATA : errno);
            return 2;
        }
        handle_reply(run, std::span<const std::uint8_t>(buf.data(), std::size_t(n)), ctx.out,
                     ctx.err);
        if (!message)
            ++run.query_index;
    }
    return finish_run(run, ctx.out, ctx.err);
}

}  // namespace kovari
