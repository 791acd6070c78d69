// SPDX-License-Identifier: BSD-2-Clause
// The state file on disk: read whole into memory mapped for it, written
// whole and durably, and a file that cannot be used moved out of the way.
// What the bytes mean is state_codec.h; when they are read and written,
// state_file.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "table.h"
#include "writes.h"

namespace kovari {

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
    FileBytes(FileBytes&& o) noexcept;
    FileBytes& operator=(FileBytes&&) = delete;
    ~FileBytes();

    std::span<const std::uint8_t> bytes() const { return {data, size}; }

    // Room for `want` bytes in all, the bytes read kept; false when there
    // is no memory for them.
    bool make_room(std::size_t want);
};

// The whole file, or the reason it cannot be read (`error`, an errno
// value); nothing and no error when there is no file yet or the path is a
// directory (which the write check reports). A file that grows meanwhile is
// read to its end.
std::optional<FileBytes> read_state_file(const std::string& path, int& error);

// Writes the table as it stands at `now` to path.new (mode 0600: it lists
// the unlisted sites too), flushes it and renames it over `path`.
FileOutcome write_state_file(const SiteTable& t, const std::string& path, std::time_t now);

// Moves a file that cannot be used out of the way under file.bad, or
// file.bad.1, ... if that is taken: never over an earlier one, so that
// nothing is lost. Returns the new name, or nothing and the reason in
// `error`.
std::optional<std::string> move_aside(const std::string& path, int& error);

}  // namespace kovari
