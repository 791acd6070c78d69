// An in-memory FILE* for tests of routines that write to a stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kovari::testing {

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

}  // namespace kovari::testing
