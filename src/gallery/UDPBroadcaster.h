#pragma once
// Sends one announcement datagram; a socket is opened and closed per send.
#include <string>

class UDPBroadcaster {
public:
    // Sends `message` as one UDP datagram to `ipAddress`:`port` with the
    // broadcast option on. With a `sourceAddress` the socket is bound to it
    // first, so that a limited broadcast leaves through that address's
    // interface. True when every byte was sent.
    bool send(const std::string& message, const std::string& ipAddress, int port,
              const std::string& sourceAddress = {});
};
