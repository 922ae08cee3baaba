#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "TrellisTestSupport.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"

namespace {

// A stream that takes only a given number of bytes in all.
class ShortStream : public TRLOutputStream {
public:
    explicit ShortStream(size_t capacity) : capacity_(capacity) {}
    bool open() override { return true; }
    long long write(const void*, size_t length) override {
        size_t n = std::min(length, capacity_);
        capacity_ -= n;
        return static_cast<long long>(n);
    }
    bool close() override { return true; }

private:
    size_t capacity_;
};

}  // namespace

TEST(TrellisMultipart, PartsSurviveAnIndependentParserWithBinaryIntact) {
    std::string binary;
    // Every byte but CR: Python's parser turns a CR into a line feed.
    for (int i = 0; i < 256; ++i)
        if (i != '\r') binary.push_back(static_cast<char>(i));
    binary += "\n--not-a-boundary\n";
    TRLURLRequest request;
    ASSERT_TRUE(TRLMultipartMimeStreamEncoder::populateRequest(request, [&](TRLMultipartMimeStreamEncoder& e) {
        e.addValue(std::string("com.example.booth"), "app[identifier]");
        e.addValue(5, "count");
        e.addValue(std::nullopt, "skipped");
        e.addValue(std::string("x"), "");
        e.addFileData(binary, "icon.png", std::string("image/png"), "app[icon][data]");
        e.addFileData("raw", "a.bin", std::nullopt, "blob");
        e.addFileData("nothing", "", std::nullopt, "no-file-name");
    }));
    auto contentType = request.valueForHTTPHeaderField("Content-Type").value_or("");
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length").value_or(""), std::to_string(request.body.size()));
    EXPECT_EQ(request.body.rfind("MIME-Version: 1.0\r\n", 0), 0u);
    std::string boundary = contentType.substr(contentType.find("boundary=") + 9);
    EXPECT_NE(request.body.find("--" + boundary + "--\r\n"), std::string::npos);
    EXPECT_EQ(request.body.find("Content-Transfer-Encoding: binary"), request.body.find("Content-Transfer-Encoding"));
    EXPECT_NE(request.body.find("Content-Type: application/octet-stream\r\n\r\nraw"), std::string::npos);

    std::string parsed = trellistest::parseMultipartWithPython(contentType, request.body);
    std::string expected = "app[identifier] None text/plain " + trellistest::hex("com.example.booth") + "\n" +
                           "count None text/plain " + trellistest::hex("5") + "\n" +
                           "app[icon][data] icon.png image/png " + trellistest::hex(binary) + "\n" +
                           "blob a.bin application/octet-stream " + trellistest::hex("raw") + "\n";
    EXPECT_EQ(parsed, expected);
}

TEST(TrellisMultipart, NamesWithQuotesAndLineBreaksCannotInjectHeaders) {
    TRLURLRequest request;
    ASSERT_TRUE(TRLMultipartMimeStreamEncoder::populateRequest(request, [&](TRLMultipartMimeStreamEncoder& e) {
        e.addValue(std::string("v"), "evil\"\r\nX-Injected: 1");
        e.addFileData("d", "a\"b\nc.txt", std::nullopt, "file");
    }));
    EXPECT_EQ(request.body.find("\r\nX-Injected"), std::string::npos);
    std::string parsed = trellistest::parseMultipartWithPython(request.valueForHTTPHeaderField("Content-Type").value_or(""), request.body);
    EXPECT_EQ(parsed, "evil%22%0D%0AX-Injected: 1 None text/plain 76\nfile a%22b%0Ac.txt application/octet-stream 64\n");
}

TEST(TrellisMultipart, EmptyBodyAndFileOutput) {
    testsupport::TempDir dir;
    auto stream = std::make_shared<TRLFileOutputStream>(dir.file("body"));
    auto encoder = TRLMultipartMimeStreamEncoder::encoderWithStream(stream, "B");
    ASSERT_TRUE(encoder);
    EXPECT_TRUE(encoder->encode([] {}));
    EXPECT_EQ(base::readFile(dir.file("body")).value_or(""), "MIME-Version: 1.0\r\n--B--\r\n");
    EXPECT_EQ(encoder->contentLengthHTTPHeaderValue(), "26");
    EXPECT_EQ(encoder->contentTypeHTTPHeaderValue(), "multipart/form-data; boundary=B");
    EXPECT_EQ(TRLMultipartMimeStreamEncoder::encoderWithStream(nullptr), nullptr);
    EXPECT_FALSE(TRLMultipartMimeStreamEncoder::generateBoundary().empty());

    // A file part streamed from disk, and a file that cannot be read.
    ASSERT_TRUE(base::writeFileAtomically(dir.file("in.bin"), std::string(200000, '\x01')));
    auto memory = std::make_shared<TRLMemoryOutputStream>();
    auto e2 = TRLMultipartMimeStreamEncoder::encoderWithStream(memory, "C");
    bool added = false, missing = true;
    EXPECT_TRUE(e2->encode([&] {
        added = e2->addFile(dir.file("in.bin"), "in.bin", std::string("application/x-test"), "f");
        missing = e2->addFile(dir.file("none"), "none", std::nullopt, "g");
    }));
    EXPECT_TRUE(added);
    EXPECT_FALSE(missing);
    EXPECT_EQ(e2->length(), memory->data().size());
    EXPECT_EQ(memory->data().find("name=\"g\""), std::string::npos);
}

TEST(TrellisMultipart, ShortOrFailedWritesFailTheEncoding) {
    auto encoder = TRLMultipartMimeStreamEncoder::encoderWithStream(std::make_shared<ShortStream>(30), "B");
    EXPECT_FALSE(encoder->encode([&] { encoder->addValue(std::string("value"), "field"); }));
    EXPECT_TRUE(encoder->failed());
    EXPECT_EQ(encoder->length(), 30u);  // only what the stream took

    auto toMissingFolder = std::make_shared<TRLFileOutputStream>("/nonexistent-folder/body");
    auto e2 = TRLMultipartMimeStreamEncoder::encoderWithStream(toMissingFolder, "B");
    EXPECT_FALSE(e2->encode([] {}));
}
