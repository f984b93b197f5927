// The loader's two steps and its refusals of what is not a regular file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
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
#include "mask/refusal.hpp"
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

// Every refusal keeps the core's fixed text and says why as data: the kind,
// the format and the sizes that go with it.
TEST(LoaderRefuses, WithTheKindAndNumbersBesideTheFixedText) {
    using vellumcut::RefusalKind;
    const std::string empty = temp_path("empty.png"), notes = temp_path("notes.png"),
                      photo = temp_path("photo.jpg"), rgb = temp_path("rgb.png"),
                      cut = temp_path("cut.png"), dir = temp_path("refused_dir.png"),
                      huge = temp_path("huge.png");
    std::fclose(std::fopen(empty.c_str(), "wb"));
    if (std::FILE* f = std::fopen(notes.c_str(), "wb")) {
        std::fputs("these are notes", f);
        std::fclose(f);
    }
    write_image(photo, cv::Mat(8, 8, CV_8UC3, cv::Scalar(90, 90, 90)));
    write_image(rgb, cv::Mat(6, 9, CV_8UC3, cv::Scalar(90, 90, 90)));
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(cv::imencode(".png", disc_image(20, 20), png));
    if (std::FILE* f = std::fopen(cut.c_str(), "wb")) {
        std::fwrite(png.data(), 1, 60, f);  // the header, and pixels cut short
        std::fclose(f);
    }
    ::mkdir(dir.c_str(), 0700);
    // A PNG signature and header declaring 5000 x 4000 pixels, nothing else.
    const std::uint8_t header[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                   0, 0, 0x13, 0x88, 0, 0, 0x0f, 0xa0, 8, 6, 0, 0, 0};
    if (std::FILE* f = std::fopen(huge.c_str(), "wb")) {
        std::fwrite(header, 1, sizeof header, f);
        std::fclose(f);
    }
    struct Case {
        std::string path;
        RefusalKind kind;
        const char* text;
        vellumcut::ImageFormat format;
    };
    const Case cases[] = {
        {temp_path("missing.png"), RefusalKind::cannot_open, vellumcut::messages::kNotRgba,
         vellumcut::ImageFormat::unknown},
        {dir, RefusalKind::directory, vellumcut::messages::kNotRgba, vellumcut::ImageFormat::unknown},
        {empty, RefusalKind::empty_file, vellumcut::messages::kNotRgba, vellumcut::ImageFormat::unknown},
        {notes, RefusalKind::not_image, vellumcut::messages::kNotRgba, vellumcut::ImageFormat::unknown},
        {photo, RefusalKind::unsupported_format, vellumcut::messages::kNotRgba, vellumcut::ImageFormat::jpeg},
        {cut, RefusalKind::damaged, vellumcut::messages::kNotRgba, vellumcut::ImageFormat::png},
        {rgb, RefusalKind::no_alpha, vellumcut::messages::kNotRgba, vellumcut::ImageFormat::png},
        {huge, RefusalKind::too_large, vellumcut::messages::kTooBig, vellumcut::ImageFormat::png},
    };
    for (const Case& c : cases) {
        try {
            vellumcut::decode(vellumcut::inspect(c.path, 0));
            ADD_FAILURE() << c.path << " was not refused";
        } catch (const vellumcut::ImageRefused& e) {
            EXPECT_STREQ(e.what(), c.text) << c.path;
            EXPECT_EQ(e.refusal().kind, c.kind) << c.path << ": " << vellumcut::kind_name(e.refusal().kind);
            EXPECT_EQ(e.refusal().format, c.format) << c.path;
            if (c.kind == RefusalKind::cannot_open) {
                EXPECT_EQ(e.refusal().error_number, ENOENT);
            }
            if (c.kind == RefusalKind::no_alpha) {
                EXPECT_EQ(e.refusal().channels, 3);
                EXPECT_EQ(e.refusal().width, 9u);
                EXPECT_EQ(e.refusal().height, 6u);
            }
            if (c.kind == RefusalKind::too_large) {
                EXPECT_EQ(e.refusal().width, 5000u);
                EXPECT_EQ(e.refusal().height, 4000u);
                EXPECT_EQ(e.refusal().limit, 4096u * 4096u);
            }
        }
    }
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

// OpenCV's decoders report failures on std::cerr; the loader hides that from
// the host for the call and gives the host its own stream buffer back.
TEST(LoaderSilence, DecoderFailuresReachNoStreamAndTheStreamsAreGivenBack) {
    const std::string path = temp_path("truncated.bmp");
    {
        // A 32-bit BMP header declaring 64 x 64 pixels that are not there.
        std::vector<unsigned char> bmp = {'B', 'M'};
        auto le32 = [&bmp](std::uint32_t v) {
            for (int i = 0; i < 4; ++i) bmp.push_back(static_cast<unsigned char>(v >> (8 * i)));
        };
        le32(14 + 40 + 16);
        le32(0);
        le32(14 + 40);
        for (std::uint32_t v : {40u, 64u, 64u}) le32(v);
        bmp.insert(bmp.end(), {1, 0, 32, 0});
        for (int i = 0; i < 6; ++i) le32(0);
        bmp.resize(bmp.size() + 16, 0);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bmp.data(), 1, bmp.size(), f);
        std::fclose(f);
    }
    std::ostringstream err, out;
    std::streambuf* const saved_err = std::cerr.rdbuf(err.rdbuf());
    std::streambuf* const saved_out = std::cout.rdbuf(out.rdbuf());
    const std::string message = load_error(path);
    std::streambuf* const err_after = std::cerr.rdbuf(saved_err);
    std::streambuf* const out_after = std::cout.rdbuf(saved_out);
    EXPECT_EQ(message, vellumcut::messages::kNotRgba);
    EXPECT_EQ(err.str(), "");
    // OpenCV on its own does write for this file.
    std::ostringstream direct;
    std::cerr.rdbuf(direct.rdbuf());
    EXPECT_TRUE(cv::imread(path, cv::IMREAD_UNCHANGED).empty());
    std::cerr.rdbuf(saved_err);
    EXPECT_NE(direct.str().find("can't read data"), std::string::npos) << direct.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err_after, err.rdbuf());
    EXPECT_EQ(out_after, out.rdbuf());
}

// OpenEXR (which this OpenCV reads by default) goes through the file inspect()
// opened, not the path: a file renamed over it in between is not decoded.
TEST(LoaderTwoSteps, ExrIsReadFromTheOpenFileNotThePath) {
    const std::string path = temp_path("swapped.exr");
    const std::string other = temp_path("other.exr");
    cv::Mat first(30, 40, CV_32FC4, cv::Scalar(0.5f, 0.5f, 0.5f, 0.0f));
    first(cv::Rect(5, 6, 20, 10)).setTo(cv::Scalar(0.5f, 0.5f, 0.5f, 1.0f));
    if (!cv::imwrite(path, first)) GTEST_SKIP() << "this OpenCV writes no EXR";
    ASSERT_TRUE(cv::imwrite(other, cv::Mat(9, 9, CV_32FC4, cv::Scalar::all(1.0f))));

    vellumcut::MaskSource source = vellumcut::inspect(path, 1);
    EXPECT_EQ(source.decoder, vellumcut::MaskDecoder::exr);
    EXPECT_EQ(source.declared_w, 42);
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
    const vellumcut::AlphaMask mask = vellumcut::decode(std::move(source));
    ASSERT_EQ(mask.mask.type(), CV_32FC1);
    ASSERT_EQ(mask.mask.size(), cv::Size(42, 32));
    EXPECT_EQ(cv::countNonZero(mask.mask), 200);
    EXPECT_EQ(mask.mask.at<float>(7, 6), 255.0f);
    EXPECT_EQ(mask.mask.at<float>(0, 0), 0.0f);
}
