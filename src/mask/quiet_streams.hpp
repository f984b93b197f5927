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
// during those milliseconds (Python itself never writes through these
// streams). The sprite mesher decodes without the interpreter lock, so
// decodes may overlap: the first to start points the streams at the sink and
// the last to end puts them back, under one mutex. libpng's messages, which go to C's stderr, are handled by the
// loader's own libpng handlers (png_libpng.hpp).
#pragma once

namespace vellumcut {

// The count of overlapping decodes and the streams' own buffers live in the
// process's one shared library (quiet_streams.cpp), not in each extension
// module's copy of the geometry core, so that both modules' decodes count
// together.
class QuietStreams {
public:
    QuietStreams();
    ~QuietStreams();
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;
};

}  // namespace vellumcut
