#pragma once
// Shared set-up of the gallery tests: a private home for the settings, a Qt
// application for the image plugins, and small socket helpers.
#include <QCoreApplication>
#include <QImage>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"

namespace gallerytest {

inline void ensureEnvironment() {
    static testsupport::ScopedHome* home = new testsupport::ScopedHome();
    static int argc = 1;
    static char name[] = "test_gallery";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)home;
    (void)app;
}

// A TCP socket listening on 127.0.0.1:port (0: any free port); -1 on failure.
inline int listenOn(int port, int* chosen = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (chosen) *chosen = ntohs(a.sin_port);
    return fd;
}

inline bool writeJpeg(const std::string& path, int width, int height, QColor color = Qt::red) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    return image.save(QString::fromStdString(path), "JPG", 90);
}

}  // namespace gallerytest
