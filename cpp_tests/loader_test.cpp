// The loader's two steps and its refusals of what is not a regular file.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "mask/loader.hpp"
#include "messages.hpp"

namespace {

std::string temp_path(const std::string& name) { return ::testing::TempDir() + "/" + name; }

// A w x h BGRA image whose alpha is a disc (so the mask is not trivial).
cv::Mat disc_image(int w, int h) {
    cv::Mat image(h, w, CV_8UC4, cv::Scalar(10, 20, 30, 0));
    cv::circle(image, {w / 2, h / 2}, std::min(w, h) / 3, cv::Scalar(10, 20, 30, 200), cv::FILLED);
    return image;
}

void write_image(const std::string& path, const cv::Mat& image) {
    ASSERT_TRUE(cv::imwrite(path, image)) << path;
}

std::string load_error(const std::string& path) {
    try {
        vellumcut::decode(vellumcut::inspect(path, 0));
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

// Every kind of file that is not a regular one is refused from its type, before
// a read could block (a FIFO without a writer used to block forever) or run
// without end (/dev/zero).
TEST(LoaderRefuses, EveryFileThatIsNotRegular) {
    const std::string fifo = temp_path("no_writer.png");
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = temp_path("a_directory.png");
    ::mkdir(dir.c_str(), 0700);
    const std::string sock = temp_path("a_socket.png");
    std::remove(sock.c_str());
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    for (const std::string& path : {fifo, dir, sock, std::string("/dev/zero"),
                                    std::string("/dev/null"), temp_path("missing.png")}) {
        EXPECT_EQ(load_error(path), vellumcut::messages::kNotRgba) << path;
    }
    ::close(s);
    std::remove(sock.c_str());
    std::remove(fifo.c_str());
    ::rmdir(dir.c_str());
}

// inspect() reads the file once; decode() uses only those bytes, so a file
// swapped in between is never seen. The declared size (border included) and
// the decoder are known before any pixel is decoded.
TEST(LoaderTwoSteps, DecodesTheFileInspectedEvenWhenItIsSwapped) {
    struct Case {
        const char* ext;
        vellumcut::MaskDecoder decoder;
    };
    for (const Case& c : {Case{".png", vellumcut::MaskDecoder::png},
                          Case{".tiff", vellumcut::MaskDecoder::opencv}}) {
        const std::string path = temp_path(std::string("swapped") + c.ext);
        const std::string other = temp_path(std::string("other") + c.ext);
        const cv::Mat first = disc_image(40, 30);
        write_image(path, first);
        write_image(other, cv::Mat(5, 7, CV_8UC4, cv::Scalar::all(255)));

        vellumcut::MaskSource source = vellumcut::inspect(path, 3);
        EXPECT_EQ(source.decoder, c.decoder) << c.ext;
        EXPECT_EQ(source.declared_w, 46) << c.ext;
        EXPECT_EQ(source.declared_h, 36) << c.ext;
        ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
        const vellumcut::AlphaMask mask = vellumcut::decode(std::move(source));

        cv::Mat alpha, want;
        cv::extractChannel(first, alpha, 3);
        cv::copyMakeBorder(alpha, alpha, 3, 3, 3, 3, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        cv::threshold(alpha, want, 0.0, 255.0, cv::THRESH_BINARY);
        ASSERT_EQ(mask.mask.size(), want.size()) << c.ext;
        EXPECT_EQ(cv::norm(mask.mask, want, cv::NORM_INF), 0.0) << c.ext;
        EXPECT_EQ(mask.w, 46);
        EXPECT_EQ(mask.h, 36);
    }
}

// No declared size when the header's size is refused by the margin: the
// sampler is not started on a size the loader will refuse.
TEST(LoaderTwoSteps, DeclaresNoSizeForABorderThatDoesNotFit) {
    const std::string path = temp_path("declared.png");
    write_image(path, disc_image(16, 8));
    const vellumcut::MaskSource fits = vellumcut::inspect(path, 0);
    EXPECT_EQ(fits.declared_w, 16);
    EXPECT_EQ(fits.declared_h, 8);
    const vellumcut::MaskSource too_wide = vellumcut::inspect(path, 1 << 24);
    EXPECT_EQ(too_wide.declared_w, 0);
    EXPECT_EQ(too_wide.declared_h, 0);
    EXPECT_THROW(vellumcut::decode(vellumcut::inspect(path, 1 << 24)), std::invalid_argument);
}
