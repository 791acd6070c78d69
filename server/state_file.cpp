// SPDX-License-Identifier: BSD-2-Clause
// The state file: the table written out at the sweep and at the end, and
// read back at the start. docs/state-file.md describes the bytes.
#include "state_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/clock.h"
#include "server.h"

namespace kovari {

namespace {

// "KOVARI STATE", then CR LF, ^Z, LF: a file mangled by a text-mode copy
// no longer starts with the magic.
constexpr std::string_view kMagic{"KOVARI STATE\r\n\x1a\n", 16};
constexpr std::size_t kHeaderSize = 40;    // magic, version, count, length, written at
constexpr std::size_t kChecksumSize = 4;
constexpr unsigned kStateMode = 0600;      // it lists the unlisted sites too
// StateStatus::write_error of a writer killed for running too long.
constexpr int kWriteTimedOut = -1;

// CRC-32 as in zlib and Ethernet (reflected 0xEDB88320), eight bytes a
// step through eight tables ("slicing by 8"): the byte-wise loop was about
// a fifth of loading a million sites, at one table lookup per byte in a
// chain that each depends on the last.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& crc_tables()
{
    static const CrcTables tables = [] {
        CrcTables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::size_t k = 1; k < 8; ++k)
            for (std::size_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        return t;
    }();
    return tables;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes)
{
    const CrcTables& t = crc_tables();
    std::uint32_t c = 0xffffffffu;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        const std::uint8_t* b = bytes.data() + i;
        const std::uint32_t lo = c ^ (std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                      std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24);
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
            t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]];
    }
    for (; i < bytes.size(); ++i)
        c = t[0][(c ^ bytes[i]) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void put_be(std::string& out, std::uint64_t v, int bytes)
{
    for (int k = bytes - 1; k >= 0; --k)
        out += char((v >> (8 * k)) & 0xff);
}

std::optional<std::uint64_t> read_be(ByteCursor& c, std::size_t bytes)
{
    const auto b = c.read_bytes(bytes);
    if (!b)
        return std::nullopt;
    std::uint64_t v = 0;
    for (const std::uint8_t x : *b)
        v = (v << 8) | x;
    return v;
}

void put_item_text(std::string& out, std::uint8_t type, const std::optional<std::string_view>& text)
{
    if (!text)
        return;
    out += char(type);
    out += char(text->size());  // a site's texts hold at most 255 bytes
    out += *text;
}

void put_record(std::string& out, const SiteView& s)
{
    put_be(out, std::uint64_t(std::int64_t(s.time)), 8);
    out.append(reinterpret_cast<const char*>(s.ssrc.data()), s.ssrc.size());
    out.append(reinterpret_cast<const char*>(&s.ip), 4);  // network order as it is
    put_be(out, std::uint16_t(s.port), 2);
    put_item_text(out, kItemCNAME, s.cname);
    put_item_text(out, kItemNAME, s.name);
    put_item_text(out, kItemEMAIL, s.email);
    put_item_text(out, kItemPHONE, s.phone);
    put_item_text(out, kItemLOC, s.loc);
    put_item_text(out, kItemTOOL, s.tool);
    out += char(kItemEnd);
}

// One record at the cursor, as a look at the file's bytes, or nothing when
// it is malformed. The items are read as read_chunk_items reads them (a
// later item of a type replaces an earlier one, other types are passed
// over, a NUL ends a text), without a copy of any text.
std::optional<SiteView> read_record(ByteCursor& c)
{
    SiteView s;
    const auto time = read_be(c, 8);
    const auto ssrc = c.read_bytes(s.ssrc.size());
    const auto ip = c.read_bytes(4);
    const auto port = read_be(c, 2);
    if (!time || !ssrc || !ip || !port)
        return std::nullopt;
    s.time = std::time_t(std::int64_t(*time));
    std::memcpy(s.ssrc.data(), ssrc->data(), s.ssrc.size());
    std::memcpy(&s.ip, ip->data(), 4);
    s.port = std::int16_t(std::uint16_t(*port));
    while (const auto type = c.peek()) {
        if (*type == kItemEnd) {
            c.skip(1);
            return s.cname ? std::optional<SiteView>(s) : std::nullopt;
        }
        const auto length = c.peek(1);
        const auto item = length ? c.read_bytes(2 + std::size_t(*length)) : std::nullopt;
        if (!item)
            return std::nullopt;
        const char* first = reinterpret_cast<const char*>(item->data() + 2);
        const std::string_view text(first, ::strnlen(first, *length));
        switch (*type) {
        case kItemCNAME: s.cname = text; break;
        case kItemNAME: s.name = text; break;
        case kItemEMAIL: s.email = text; break;
        case kItemPHONE: s.phone = text; break;
        case kItemLOC: s.loc = text; break;
        case kItemTOOL: s.tool = text; break;
        default: break;
        }
    }
    return std::nullopt;
}

// Steps over one record, checking it as read_record does without keeping
// anything; returns its time, or nothing when it is malformed.
std::optional<std::time_t> skip_record(ByteCursor& c)
{
    const auto time = read_be(c, 8);
    c.skip(10);  // SSRC, address, port
    bool cname = false;
    while (const auto type = c.peek()) {
        c.skip(1);
        if (*type == kItemEnd)
            return time && cname ? std::optional<std::time_t>(std::time_t(std::int64_t(*time))) : std::nullopt;
        const auto length = c.peek();
        if (!length || !c.read_bytes(std::size_t(*length) + 1))
            return std::nullopt;
        cname = cname || *type == kItemCNAME;
    }
    return std::nullopt;
}

std::string size_text(std::size_t have, std::uint64_t want)
{
    return format("(%zu of %llu bytes)", have, static_cast<unsigned long long>(want));
}

// The header and the checksum: what is wrong with the file as a whole.
std::optional<std::string> check_frame(std::span<const std::uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (bytes.empty())
        return "is empty";
    if (text.substr(0, kMagic.size()) != kMagic.substr(0, std::min(text.size(), kMagic.size())))
        return "is not a state file";
    if (bytes.size() < kHeaderSize)
        return "is truncated " + size_text(bytes.size(), kHeaderSize);
    ByteCursor c(bytes, kMagic.size(), kHeaderSize);
    const auto version = read_be(c, 4);
    c.skip(4);  // the count, checked against the records
    const auto length = read_be(c, 8);
    if (*version != kStateVersion)
        return format("has version %llu; this server reads version %u",
                      static_cast<unsigned long long>(*version), kStateVersion);
    if (*length < kHeaderSize + kChecksumSize || bytes.size() < *length)
        return "is truncated " + size_text(bytes.size(), *length);
    if (bytes.size() > *length)
        return "is longer than its header says " + size_text(bytes.size(), *length);
    ByteCursor tail(bytes, bytes.size() - kChecksumSize, bytes.size());
    if (crc32(bytes.first(bytes.size() - kChecksumSize)) != *read_be(tail, kChecksumSize))
        return "is corrupted (its checksum does not match)";
    return std::nullopt;
}

}  // namespace

std::string encode_state(const SiteTable& t, std::time_t now)
{
    std::string out(kMagic);
    put_be(out, kStateVersion, 4);
    put_be(out, table_size(t), 4);
    put_be(out, 0, 8);  // the length, filled in below
    put_be(out, std::uint64_t(std::int64_t(now)), 8);
    for_each_site(t, [&](const SiteView& s) {
        put_record(out, s);
        return true;
    });
    const std::uint64_t length = out.size() + kChecksumSize;
    for (int k = 0; k < 8; ++k)
        out[24 + k] = char((length >> (8 * (7 - k))) & 0xff);
    put_be(out, crc32({reinterpret_cast<const std::uint8_t*>(out.data()), out.size()}), 4);
    return out;
}

DecodedState decode_state_views(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                                const std::function<void(std::size_t)>& expect,
                                const std::function<void(const SiteView&)>& take)
{
    DecodedState d;
    if ((d.problem = check_frame(bytes)))
        return d;
    ByteCursor c(bytes, kMagic.size() + 4, bytes.size() - kChecksumSize);
    const auto count = *read_be(c, 4);
    c.skip(16);
    // First the whole file is checked and the sites to take are chosen,
    // head first, keeping only where each starts: a million sites are
    // never held twice. Then they are read and handed over from the tail.
    std::vector<std::size_t> chosen;
    chosen.reserve(std::size_t(std::min<std::uint64_t>(count, bytes.size() / 16)));
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::size_t start = c.offset();
        const auto time = skip_record(c);
        if (!time) {
            d.problem = format("is corrupted (site %llu of %llu is malformed)",
                               static_cast<unsigned long long>(k + 1), static_cast<unsigned long long>(count));
            return d;
        }
        // Compared so that no time in the file, however far off, overflows.
        if (*time < now - kMaxSiteAge)
            ++d.too_old;
        else if (most == 0 || chosen.size() < most)
            chosen.push_back(start);
    }
    if (!c.at_end()) {
        d.problem = format("is corrupted (%zu bytes after the last site)", c.left());
        return d;
    }
    expect(chosen.size());
    for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) {
        ByteCursor at(bytes, *it, bytes.size() - kChecksumSize);
        SiteView s = *read_record(at);
        s.time = std::min(s.time, now);
        take(s);
    }
    return d;
}

DecodedState decode_state(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                          const std::function<void(Site&&)>& take)
{
    return decode_state_views(
        bytes, now, most, [](std::size_t) {}, [&](const SiteView& s) { take(site_of(s)); });
}

namespace {

const char* prog(const Server& srv) { return srv.settings.program_name.c_str(); }

// Moves a file that cannot be used out of the way under file.bad, or
// file.bad.1, ... if that is taken: never over an earlier one, so that
// nothing is lost. Returns the new name, or the reason it failed.
std::optional<std::string> move_aside(const std::string& path, int& error)
{
    for (int k = 0; k < 1000; ++k) {
        std::string bad = path + ".bad";
        if (k > 0) {
            bad += '.';
            bad += std::to_string(k);
        }
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, bad.c_str(), RENAME_NOREPLACE) == 0)
            return bad;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the flag: link, which never replaces.
            if (::link(path.c_str(), bad.c_str()) == 0) {
                ::unlink(path.c_str());
                return bad;
            }
        }
        if (errno != EEXIST) {
            error = errno;
            return std::nullopt;
        }
    }
    error = EEXIST;
    return std::nullopt;
}

void set_aside(Server& srv, const std::string& path, const std::string& problem)
{
    int error = 0;
    if (const auto bad = move_aside(path, error)) {
        std::fprintf(srv.err, "%s: state file %s %s; renamed to %s, starting with an empty table.\n",
                     prog(srv), path.c_str(), problem.c_str(), bad->c_str());
        return;
    }
    std::fprintf(srv.err,
                 "%s: state file %s %s; can't rename it to %s.bad: %s; starting with an empty table "
                 "and leaving the file as it is.\n",
                 prog(srv), path.c_str(), problem.c_str(), path.c_str(), std::strerror(error));
    srv.state_status.disabled = true;
}

// A file's bytes as read, in memory mapped for them alone: asked of the
// kernel filled in (MAP_POPULATE), which at 100 MB is several times faster
// than a page fault for each page as the read goes, and never cleared or
// copied as a buffer of the standard library would be.
struct FileBytes {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;  // bytes read
    std::size_t room = 0;  // bytes mapped

    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    FileBytes(FileBytes&& o) noexcept
        : data(std::exchange(o.data, nullptr)), size(std::exchange(o.size, 0)), room(std::exchange(o.room, 0))
    {
    }
    FileBytes& operator=(FileBytes&&) = delete;
    ~FileBytes()
    {
        if (data)
            ::munmap(data, room);
    }

    std::span<const std::uint8_t> bytes() const { return {data, size}; }

    // Room for `want` bytes in all, the bytes read kept; false when there
    // is no memory for them.
    bool make_room(std::size_t want)
    {
        void* p = data ? ::mremap(data, room, want, MREMAP_MAYMOVE)
                       : ::mmap(nullptr, want, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p == MAP_FAILED)
            return false;
        data = static_cast<std::uint8_t*>(p);
        room = want;
        return true;
    }
};

// The whole file, or the reason it cannot be read; nothing when there is
// no file yet or the path is a directory (which the write check reports).
// Read into room a byte longer than the file: the file fills it and the
// read that returns 0 ends it. A file that grows meanwhile is read to its
// end.
std::optional<FileBytes> read_state(const std::string& path, int& error)
{
    error = 0;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st{};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        error = errno == ENOENT ? 0 : errno;
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode))
        return std::nullopt;
    FileBytes file;
    for (;;) {
        if (file.size == file.room && !file.make_room(file.room == 0 ? std::size_t(st.st_size) + 1 : 2 * file.room)) {
            error = ENOMEM;
            return std::nullopt;
        }
        const ssize_t n = ::read(fd.get(), file.data + file.size, file.room - file.size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        if (n == 0)
            break;
        file.size += std::size_t(n);
    }
    return file;
}

// Says why the file cannot be written, once, and again only when the
// reason changes.
void say_write_problem(Server& srv, const FileOutcome& done)
{
    auto& st = srv.state_status;
    const int key = done.failed == FileStep::done ? 0 : int(done.failed) * 1000 + done.error;
    if (key != 0 && key != st.write_error)
        std::fprintf(srv.err, "%s: can't write state file %s: %s\n", prog(srv),
                     srv.settings.state_file->c_str(), std::strerror(done.error));
    st.write_error = key;
}

void report_state_write(Server& srv, const FileOutcome& done)
{
    say_write_problem(srv, done);
    if (done.failed != FileStep::done) {
        ++srv.state_status.failures;
        srv.state_status.changed = true;  // tried again at the next sweep
        return;
    }
    ++srv.state_status.writes;
    if (srv.settings.debug)
        std::fprintf(srv.err, "%s: saved the sites to %s\n", prog(srv), srv.settings.state_file->c_str());
}

FileOutcome write_state(const SiteTable& t, const std::string& path, std::time_t now)
{
    return replace_file(path + ".new", path, encode_state(t, now), kStateMode, true);
}

// Whether the file can be written where it is: found at start rather
// than two minutes later at the first write. Nothing is created, so a
// second server started on the same file by mistake cannot disturb a
// write of the first.
bool check_writable(Server& srv, const std::string& path)
{
    struct stat st{};
    struct stat folder{};
    const std::string dir = directory_of(path);
    FileOutcome probe;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        probe = {FileStep::rename, EISDIR};
    else if (::stat(dir.c_str(), &folder) != 0)
        probe = {FileStep::open, errno};
    else if (!S_ISDIR(folder.st_mode))
        probe = {FileStep::open, ENOTDIR};  // access() would say "Permission denied"
    else if (::access(dir.c_str(), W_OK | X_OK) != 0)
        probe = {FileStep::open, errno};
    say_write_problem(srv, probe);
    return probe.failed == FileStep::done;
}

}  // namespace

bool load_state(Server& srv, std::time_t now)
{
    if (!srv.settings.state_file)
        return true;
    const std::string& path = *srv.settings.state_file;
    if (!check_writable(srv, path))
        return false;
    int error = 0;
    const auto bytes = read_state(path, error);
    if (error != 0) {
        set_aside(srv, path, format("can't be read (%s)", std::strerror(error)));
    } else if (bytes) {
        const long most = srv.settings.max_sites;
        // Entered from the tail, so that each goes to the head and the
        // order is the file's.
        // The table is sized for the sites first, and each is entered
        // straight from the file's bytes: no index is rebuilt as it grows
        // and no text is copied but into the table. Each site's index
        // cells are fetched kAhead sites before it is entered, so that the
        // cache misses of a large table overlap (a third of the load of a
        // million sites went to them, one after the other). Their search
        // texts are filed later, from the loop, in bulk (table_file_some):
        // filing them was half of the load, and the server serves
        // meanwhile.
        constexpr std::size_t kAhead = 8;
        struct Ahead {
            SiteView site;
            EntryHashes hashes;
        };
        std::array<Ahead, kAhead> ahead;
        std::size_t taken = 0;
        const DecodedState d = decode_state_views(
            bytes->bytes(), now, most > 0 ? std::size_t(most) : 0, [&](std::size_t n) { table_reserve(srv.table, n); },
            [&](const SiteView& s) {
                Ahead& slot = ahead[taken++ % kAhead];
                if (taken > kAhead)
                    table_enter_batched(srv.table, slot.site, slot.hashes);
                slot = {s, table_prefetch(srv.table, s)};
            });
        for (std::size_t k = taken > kAhead ? taken - kAhead : 0; k < taken; ++k)
            table_enter_batched(srv.table, ahead[k % kAhead].site, ahead[k % kAhead].hashes);
        if (d.problem) {
            set_aside(srv, path, *d.problem);
        } else {
            srv.state_status.loaded = table_size(srv.table);
            srv.stats.most_sites = table_size(srv.table);
            if (srv.settings.debug)
                std::fprintf(srv.err, "%s: loaded %zu sites from %s, %zu left out as too old\n",
                             prog(srv), table_size(srv.table), path.c_str(), d.too_old);
        }
    }
    return true;
}

void save_state_if_changed(Server& srv, std::time_t now)
{
    auto& st = srv.state_status;
    if (!srv.settings.state_file || st.disabled || !st.changed || running(srv.writers.state))
        return;
    st.changed = false;
    const std::string& path = *srv.settings.state_file;
    const auto work = [&] {
        JobResult r;
        r.files[0] = write_state(srv.table, path, now);
        return r;
    };
    if (srv.writers.fork && start_job(srv.writers.state, work, monotonic_ms()))
        return;
    report_state_write(srv, write_state(srv.table, path, now));
}

void finish_state_write(Server& srv, const JobResult& result)
{
    if (result.killed_by != 0) {
        ++srv.state_status.failures;
        srv.state_status.changed = true;
        std::fprintf(srv.err, "%s: the state file writer was ended by signal %d.\n", prog(srv),
                     result.killed_by);
        return;
    }
    report_state_write(srv, result.files[0]);
}

void stop_overdue_state_write(Server& srv, long now_ms, std::time_t now)
{
    if (!cancel_if_overdue(srv.writers.state, now_ms))
        return;
    auto& st = srv.state_status;
    ++st.failures;
    st.changed = true;
    // Told once, as another reason a write fails would be, until a write
    // gets through again.
    if (st.write_error != kWriteTimedOut)
        std::fprintf(srv.err, "%s: can't write state file %s: timed out after %ld s\n", prog(srv),
                     srv.settings.state_file->c_str(), kWriteTimeLimitMs / 1000);
    st.write_error = kWriteTimedOut;
    save_state_if_changed(srv, now);
}

bool save_state_at_exit(Server& srv, std::time_t now)
{
    if (!srv.settings.state_file || srv.state_status.disabled)
        return true;
    // A write still running holds an older table: this one replaces it.
    cancel_job(srv.writers.state);
    const FileOutcome done = write_state(srv.table, *srv.settings.state_file, now);
    report_state_write(srv, done);
    return done.failed == FileStep::done;
}

}  // namespace kovari
