// SPDX-License-Identifier: BSD-2-Clause
// Output streams for code that writes to a FILE*: one that keeps what is
// written in memory, for the tests to read back, and one that throws it
// away, for the benchmark and the corpus writer, which run the server's
// routines for their results and not their messages.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kovari::devkit {

class Capture {
public:
    Capture() : f_(open_memstream(&buf_, &len_)) {}
    ~Capture()
    {
        std::fclose(f_);
        std::free(buf_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::FILE* stream() const { return f_; }
    // Everything written so far.
    std::string text()
    {
        std::fflush(f_);
        return std::string(buf_, len_);
    }

private:
    char* buf_ = nullptr;
    std::size_t len_ = 0;
    std::FILE* f_;
};

// /dev/null as a stream, closed when this goes.
class Discard {
public:
    Discard() : f_(std::fopen("/dev/null", "w")) {}
    ~Discard()
    {
        if (f_ != nullptr)
            std::fclose(f_);
    }
    Discard(const Discard&) = delete;
    Discard& operator=(const Discard&) = delete;

    std::FILE* stream() const { return f_; }

private:
    std::FILE* f_;
};

}  // namespace kovari::devkit
