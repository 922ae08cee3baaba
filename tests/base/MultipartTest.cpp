#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "PythonMultipart.h"
#include "base/Crypto.h"
#include "base/Files.h"
#include "base/Multipart.h"


TEST(Multipart, AnIndependentParserReadsEveryPartBackWhole) {
    // Python's parser turns CR LF inside a payload into LF, so the payloads it
    // checks hold none; the bytes with CR LF are checked as sent below.
    std::string photo("\xFF\xD8\n--not-the-boundary\n\0\xFF\xD9", 25);
    std::string withLineBreaks("\x01\r\n--flashwren-test-boundary\r\n\x02", 31);
    base::MultipartBody body("flashwren-test-boundary");
    body.addField("message", "Hello \xC3\xA9t\xC3\xA9\nsecond line")
        .addField("kind", "plain", {"Content-Type: text/plain"})
        .addFile("source", "source.jpg", photo, {"Content-Type: image/jpeg"});
    EXPECT_EQ(body.contentType(), "multipart/form-data; boundary=flashwren-test-boundary");
    std::string bytes = body.finish();
    EXPECT_TRUE(bytes.ends_with("\r\n--flashwren-test-boundary--\r\n"));
    EXPECT_EQ(testsupport::parseMultipartWithPython(body.contentType(), bytes),
              "message None text/plain " + base::hexEncode("Hello \xC3\xA9t\xC3\xA9\nsecond line") + "\n" +
                  "kind None text/plain " + base::hexEncode("plain") + "\n" +
                  "source source.jpg image/jpeg " + base::hexEncode(photo) + "\n");

    base::MultipartBody binary("b0undary");
    binary.addFile("data", "data.bin", withLineBreaks, {"Content-Type: application/octet-stream"});
    EXPECT_EQ(binary.finish(), "--b0undary\r\nContent-Disposition: form-data; name=\"data\"; filename=\"data.bin\"\r\n"
                               "Content-Type: application/octet-stream\r\n\r\n" +
                                   withLineBreaks + "\r\n--b0undary--\r\n");
}

TEST(Multipart, NamesCannotBreakOutOfTheirHeader) {
    std::string header = base::multipartPartHeader("b", "a\"b\r\nX-Injected: 1", std::string("f\".jpg"));
    EXPECT_EQ(header, "--b\r\nContent-Disposition: form-data; name=\"a%22b%0D%0AX-Injected: 1\"; "
                      "filename=\"f%22.jpg\"\r\n\r\n");
    EXPECT_EQ(base::multipartClosing("b"), "--b--\r\n");
    base::MultipartBody empty("b");
    EXPECT_EQ(empty.finish(), "--b--\r\n");
}
