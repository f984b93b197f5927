// Built into the process-wide shared library (see quiet_streams.hpp).
#include "mask/quiet_streams.hpp"

#include <iostream>
#include <mutex>
#include <streambuf>

namespace vellumcut {
namespace {

// Accepts and drops every character.
class NullBuffer final : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct State {
    std::mutex mutex;
    int users = 0;
    std::streambuf* out = nullptr;
    std::streambuf* err = nullptr;
    std::streambuf* log = nullptr;
};

NullBuffer& sink() {
    static NullBuffer buffer;
    return buffer;
}

State& state() {
    static State s;
    return s;
}

}  // namespace

QuietStreams::QuietStreams() {
    State& st = state();
    const std::lock_guard<std::mutex> lock(st.mutex);
    if (st.users++ == 0) {
        st.out = std::cout.rdbuf(&sink());
        st.err = std::cerr.rdbuf(&sink());
        st.log = std::clog.rdbuf(&sink());
    }
}

QuietStreams::~QuietStreams() {
    State& st = state();
    const std::lock_guard<std::mutex> lock(st.mutex);
    if (--st.users == 0) {
        std::cout.rdbuf(st.out);
        std::cerr.rdbuf(st.err);
        std::clog.rdbuf(st.log);
    }
}

}  // namespace vellumcut
