// SPDX-License-Identifier: BSD-2-Clause
// Files for the development tools: reading and writing whole files,
// existence checks, waiting for a text to appear in a file, and temporary
// files and folders that remove themselves.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kovari::devkit {

// The whole file; empty when it cannot be read.
std::string read_file(const std::string& path);
// Creates or replaces a file with the bytes; false if it cannot be written.
bool write_file(const std::string& path, std::span<const std::uint8_t> bytes);
bool write_file(const std::string& path, std::string_view text);
// True when something (a file, a directory, a dangling link) has the name.
bool path_exists(const std::string& path);
// Polls a file until it contains `text`; false when timeout_ms pass first.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms);

// A new empty file of a unique name, "<prefix>-XXXXXX<suffix>" in $TMPDIR
// (/tmp when TMPDIR is unset or empty); the empty text when none can be
// made. The caller removes it.
std::string make_temp_file(const std::string& prefix, const std::string& suffix);

// A new folder "<prefix>-XXXXXX" in $TMPDIR (or /tmp), removed with
// everything in it when this goes, unless keep() was called (a tool keeps
// its logs after a failed run).
class TempDir {
public:
    explicit TempDir(const std::string& prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool valid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // The path of a name inside the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    void keep() { keep_ = true; }

private:
    std::string path_;
    bool keep_ = false;
};

}  // namespace kovari::devkit
