// Keeps OpenCV's decoders from writing to the host's streams while the loader
// runs one of them.
//
// OpenCV 4.6 reports a decoder's failure by writing straight to std::cerr
// (imdecode_/imread_ "can't read data: ..."), and its logger (CV_LOG_WARNING
// and friends, used by the TIFF and JPEG 2000 decoders) writes to std::cerr
// and std::cout; its log level is a single process-wide setting with no way
// to replace the writer. Rather than change that level, the C++ standard
// streams are pointed at a buffer that discards everything for the length of
// one decode call and put back afterwards. The host's OpenCV settings are
// never touched; what is lost is only C++ stream output of other threads
// during those milliseconds (the module's calls hold the interpreter lock, so
// no Python code runs meanwhile; Python itself never writes through these
// streams). libpng's messages, which go to C's stderr, are handled by the
// loader's own libpng handlers (png_libpng.hpp).
#pragma once

#include <iostream>
#include <streambuf>

namespace vellumcut {

class QuietStreams {
public:
    QuietStreams()
        : out_(std::cout.rdbuf(&sink())), err_(std::cerr.rdbuf(&sink())),
          log_(std::clog.rdbuf(&sink())) {}
    ~QuietStreams() {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(err_);
        std::clog.rdbuf(log_);
    }
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;

private:
    // Accepts and drops every character.
    class NullBuffer final : public std::streambuf {
    protected:
        int_type overflow(int_type c) override { return traits_type::not_eof(c); }
        std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    };
    static NullBuffer& sink() {
        static NullBuffer buffer;
        return buffer;
    }

    std::streambuf* out_;
    std::streambuf* err_;
    std::streambuf* log_;
};

}  // namespace vellumcut
