// Keeps OpenCV from logging while the loader runs one of its decoders.
//
// OpenCV 4.6 has a single, process-wide log level (the global log tag that
// setLogLevel changes, read by every CV_LOG_* of imgcodecs, and by the libtiff
// handlers OpenCV installs) and no way to replace its writer, which prints to
// std::cerr. So the level is lowered to silent for the length of one decode
// call and the host's own level put back afterwards: the host's setting is
// what it was for every OpenCV call of its own, except one made by another
// thread during those milliseconds.
#pragma once

#include <opencv2/core/utils/logger.hpp>

namespace vellumcut {

class QuietOpenCvLog {
public:
    QuietOpenCvLog()
        : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {}
    ~QuietOpenCvLog() {
        // Put back only what was ours to change: a host that changed the
        // level meanwhile keeps its choice.
        if (cv::utils::logging::getLogLevel() == cv::utils::logging::LOG_LEVEL_SILENT) {
            cv::utils::logging::setLogLevel(previous_);
        }
    }
    QuietOpenCvLog(const QuietOpenCvLog&) = delete;
    QuietOpenCvLog& operator=(const QuietOpenCvLog&) = delete;

private:
    cv::utils::logging::LogLevel previous_;
};

}  // namespace vellumcut
