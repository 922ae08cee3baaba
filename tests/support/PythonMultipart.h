#pragma once
// An independent reader of multipart bodies: Python's own MIME parser.
#include <cstdio>
#include <string>

#include "TempDir.h"
#include "base/Files.h"

namespace testsupport {

// One line per part: field name, file name, content type, then the payload's hex.
inline std::string parseMultipartWithPython(const std::string& contentType, const std::string& body) {
    TempDir dir;
    base::writeFileAtomically(dir.file("body"), "Content-Type: " + contentType + "\r\n" + body);
    const std::string script = dir.file("parse.py");
    base::writeFileAtomically(script,
                              "import sys, email, email.policy\n"
                              "msg = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.HTTP)\n"
                              "assert msg.is_multipart(), 'not multipart'\n"
                              "for part in msg.iter_parts():\n"
                              "    print(part.get_param('name', header='content-disposition'), part.get_filename(),\n"
                              "          part.get_content_type(), part.get_payload(decode=True).hex())\n");
    std::string out;
    if (FILE* p = ::popen(("python3 " + script + " " + dir.file("body") + " 2>&1").c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

}  // namespace testsupport
