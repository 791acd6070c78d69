// SPDX-License-Identifier: BSD-2-Clause
#include "state_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "common/fd.h"
#include "state_codec.h"

namespace kovari {

namespace {

constexpr unsigned kStateMode = 0600;  // it lists the unlisted sites too

}  // namespace

FileBytes::FileBytes(FileBytes&& o) noexcept
    : data(std::exchange(o.data, nullptr)), size(std::exchange(o.size, 0)), room(std::exchange(o.room, 0))
{
}

FileBytes::~FileBytes()
{
    // munmap fails only for a range that was never mapped.
    if (data)
        ::munmap(data, room);
}

bool FileBytes::make_room(std::size_t want)
{
    void* p = data ? ::mremap(data, room, want, MREMAP_MAYMOVE)
                   : ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED)
        return false;
    data = static_cast<std::uint8_t*>(p);
    room = want;
    return true;
}

// Read into room a byte longer than the file: the file fills it and the
// read that returns 0 ends it.
std::optional<FileBytes> read_state_file(const std::string& path, int& error)
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

FileOutcome write_state_file(const SiteTable& t, const std::string& path, std::time_t now)
{
    return replace_file(path + ".new", path, encode_state(t, now), kStateMode, true);
}

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
                // The file is kept aside under its new name; should the
                // old name stay too, the next start moves it aside again.
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

}  // namespace kovari
