#include "gallery/UDPBroadcaster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <spdlog/spdlog.h>

bool UDPBroadcaster::send(const std::string& message, const std::string& ipAddress, int port,
                          const std::string& sourceAddress) {
    if (message.empty() || ipAddress.empty()) {
        spdlog::warn("UDPBroadcaster: Message and/or ip address is null");
        return false;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, ipAddress.c_str(), &destination.sin_addr) != 1) {
        spdlog::warn("UDPBroadcaster: not an IPv4 address: {}", ipAddress);
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        spdlog::warn("UDPBroadcaster: Failed to create socket");
        return false;
    }
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        spdlog::warn("UDPBroadcaster: setsockopt (SO_BROADCAST): {}", std::strerror(errno));
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            spdlog::debug("UDPBroadcaster: cannot bind to {}: {}", sourceAddress, std::strerror(errno));
            ::close(fd);
            return false;
        }
    }
    ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                            reinterpret_cast<sockaddr*>(&destination), sizeof destination);
    ::close(fd);
    return sent == static_cast<ssize_t>(message.size());
}
