// SPDX-License-Identifier: BSD-2-Clause
// One received packet after another, against a table that lives on.
#include <cstring>

#include "harness.h"
#include "server/activity.h"
#include "server/options.h"

#if defined(__SANITIZE_ADDRESS__)
#define KOVARI_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVARI_ASAN 1
#endif
#endif
#ifdef KOVARI_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kovari::fuzz {
namespace {

// The bytes past those received (and past the 4 that alignment and the
// forwarding trailer may write) are made unreadable, so that a read beyond
// the packet is caught even though it stays inside the buffer.
void fence_buffer(RequestBuffer& buf, std::size_t n)
{
#ifdef KOVARI_ASAN
    const std::size_t open = n + kTrailerSize;
    ASAN_POISON_MEMORY_REGION(buf.bytes + open, sizeof buf.bytes - open);
#else
    (void)buf;
    (void)n;
#endif
}

void open_buffer(RequestBuffer& buf)
{
#ifdef KOVARI_ASAN
    ASAN_UNPOISON_MEMORY_REGION(buf.bytes, sizeof buf.bytes);
#else
    (void)buf;
#endif
}

const char welcome[] = "Welcome to the test room.\n";

}  // namespace

RequestState::RequestState() : buf(new RequestBuffer{})
{
    srv.out = null_stream();
    srv.err = null_stream();
    srv.settings.message_reply = make_message_reply(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(welcome), sizeof welcome - 1));
}

RequestState::~RequestState() { delete buf; }

const char* run_request_input(RequestState& st, const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return nullptr;
    auto& set = st.srv.settings;
    set.debug = data[0] & 0x01;
    set.very_verbose = data[0] & 0x04;
    set.verbose = (data[0] & 0x02) || set.very_verbose;
    set.peers.clear();
    if (data[0] & 0x08)
        set.peers.push_back(Peer{0x0100007f, -1, false});  // 127.0.0.1, never sent to

    std::size_t pos = 1;
    while (size - pos >= 4) {
        const unsigned step = data[pos];
        const unsigned peer = data[pos + 1];
        const unsigned len = unsigned(data[pos + 2]) << 8 | data[pos + 3];
        pos += 4;
        const std::size_t take = len == 0xFFFF ? 0 : std::min<std::size_t>(len, size - pos);
        const std::size_t n = std::min(take, kMaxRequest);  // a failed receive: none

        // The sweep runs between requests, when its time has come.
        st.now += std::time_t(step) * 8;
        if (st.now >= st.next_sweep) {
            expire_sites(st.srv, st.now);
            st.next_sweep = st.now + kSweepInterval;
        }

        open_buffer(*st.buf);
        if (n > 0)
            std::memcpy(st.buf->bytes, data + pos, n);
        fence_buffer(*st.buf, n);
        const std::uint32_t ip = 0x0000007f | std::uint32_t(peer) << 24;  // 127.0.0.<peer>
        // The socket layer waits for more bytes only for a request that
        // could not be valid as it stands.
        const bool due = n > 0 && more_due({st.buf->bytes, n});
        // A forwarded packet from a server that is no peer is refused
        // before it is checked: that is not taking it either.
        const std::uint64_t invalid_before = st.srv.stats.invalid + st.srv.stats.refused_forwarded;
        const RequestAction act =
            handle_packet(st.srv, *st.buf, n, ip, std::uint16_t(40000 + peer), st.now, long(st.now) * 1000);
        open_buffer(*st.buf);
        if (due && st.srv.stats.invalid + st.srv.stats.refused_forwarded == invalid_before)
            return "a request that waits for more bytes is valid as it stands";
        pos += take;

        if (!act.reply.empty()) {
            if (act.reply.data() == set.message_reply.data()) {
                if (act.reply.size() != set.message_reply.size())
                    return "server message reply is not sent whole";
            } else {
                std::size_t chunks = 0;
                if (const char* bad = check_match_reply(act.reply, chunks))
                    return bad;
            }
            if (act.send_failure == nullptr)
                return "a reply has no failure phrase";
        }
        if (table_size(st.srv.table) > kMaxFuzzSites)
            st.srv.table = SiteTable{};
    }
    return check_table(st.srv.table);
}

}  // namespace kovari::fuzz
