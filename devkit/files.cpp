// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/fd.h"
#include "devkit/wait.h"

namespace kovari::devkit {
namespace {

// Where temporary files go: $TMPDIR when it is set, as for mktemp(1), else
// /tmp. A test program points TMPDIR at a folder of its own.
std::string temp_root()
{
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool write_file(const std::string& path, std::span<const std::uint8_t> bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f.flush());
}

bool write_file(const std::string& path, std::string_view text)
{
    return write_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool path_exists(const std::string& path)
{
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms)
{
    return wait_until(timeout_ms, 10, [&] { return read_file(path).find(text) != std::string::npos; });
}

std::string make_temp_file(const std::string& prefix, const std::string& suffix)
{
    std::string name = temp_root() + "/" + prefix + "-XXXXXX" + suffix;
    const Fd fd(::mkstemps(name.data(), int(suffix.size())));
    return fd.valid() ? name : std::string();
}

TempDir::TempDir(const std::string& prefix)
{
    std::string name = temp_root() + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(name.data()) != nullptr)
        path_ = name;
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (valid() && !keep_)
        std::filesystem::remove_all(path_, ec);
}

}  // namespace kovari::devkit
