// SPDX-License-Identifier: BSD-2-Clause
// quorin-soak: one quorind under a long mixed load, checked against a
// model of what the table must hold.
//
// The tool starts the server on a loopback port with -V, a server message
// file and -F pointing at a peer of its own that accepts slowly, then sends
// announcements of new and known sites (some as forwarded packets),
// sign-offs, queries, server message requests and malformed packets, and
// keeps a few connections open without sending anything. Every reply is
// checked as it comes; at the end every site ever announced is looked up
// and compared with the model, the activity log is counted, the standard
// error stream may hold only the lines that the load provokes, and the
// resident memory at the end must be within 10% of its value after the
// warm-up. The command line is in options.h.
#include <signal.h>

#include <cstdio>

#include "devkit/files.h"
#include "devkit/server_process.h"
#include "soak/options.h"
#include "soak/run.h"
#include "soak/slow_peer.h"
#include "soak/verdict.h"

namespace {

using namespace kovari;
using namespace kovari::soak;

const char* const kMessage = "Soak test server.\nBe patient.\n";

// The reply a server message request must get for kMessage; bytes 2-3 are
// compared as zero.
devkit::Bytes message_reply()
{
    const std::string text = kMessage;
    devkit::Bytes r = {0x81, kTypeAPP, 0, 0, 0, 0, 0, 0, 'K', 'V', 'm', 'r'};
    r.insert(r.end(), text.begin(), text.end());
    r.push_back(0);
    return r;
}

// The server under valgrind's memcheck, whose report goes to `log`.
std::vector<std::string> valgrind_prefix(const std::string& log)
{
    return {"valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
            "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99", "--track-fds=no",
            "--log-file=" + log};
}

bool start_server(devkit::ServerProcess& srv, const Options& opt, const devkit::TempDir& dir, int peer_port)
{
    devkit::ServerLaunch how;
    how.binary = opt.server;
    // -C0: the whole population comes from nine addresses.
    how.options = {"-V", "-C0", "-M" + (dir / "message"), "-F127.0.0.1:" + std::to_string(peer_port)};
    if (opt.valgrind)
        how.prefix = valgrind_prefix(dir / "valgrind.log");
    how.timeout_ms = opt.valgrind ? 60'000 : 5'000;
    return devkit::write_file(dir / "message", kMessage) && devkit::launch_server(srv, how);
}

}  // namespace

int main(int argc, char** argv)
{
    const auto opt = parse_options(argc, argv);
    if (!opt)
        return 2;
    ::signal(SIGPIPE, SIG_IGN);
    SlowPeer peer;
    if (!start_slow_peer(peer)) {
        std::fprintf(stderr, "quorin-soak: cannot open the slow peer's socket\n");
        return 1;
    }
    devkit::TempDir dir("quorin-soak");
    devkit::ServerProcess srv;
    if (!dir.valid() || !start_server(srv, *opt, dir, peer.port)) {
        std::fprintf(stderr, "quorin-soak: the server does not listen\n");
        return 1;
    }
    std::printf("quorin-soak: server pid %d on port %d, slow peer on port %d, logs in %s\n", int(srv.child.pid),
                srv.port, peer.port, dir.path().c_str());

    Load load;
    load.port = srv.port;
    load.population = opt->population;
    load.rng.seed(opt->seed);
    load.message_reply = message_reply();
    const RunFigures figures = run_soak(load, *opt, srv.child.pid);

    ::kill(srv.child.pid, SIGTERM);
    const auto status = devkit::wait_child(srv.child, 120'000);
    stop_slow_peer(peer);
    const bool ok = judge({load, figures, peer.accepted, peer.well_formed, srv.out(), srv.err(), status,
                           opt->valgrind ? std::optional(dir / "valgrind.log") : std::nullopt});
    if (!ok) {
        // The logs are kept only when they have something to show.
        dir.keep();
        srv.keep_output = true;
        std::printf("server output in %s and %s\n", srv.child.out_path.c_str(), srv.child.err_path.c_str());
    }
    std::printf("%s\n", ok ? "soak: PASSED" : "soak: FAILED");
    return ok ? 0 : 1;
}
