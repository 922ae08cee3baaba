// The application as main() runs it, with its gallery kept on loopback and
// silent, for the tests that launch the booth as a process.
#include <map>
#include <string>

#include "booth/FlashwrenMain.h"
#include "gallery/ManageHTTPServer.h"

int main(int argc, char** argv) {
    return flashwrenMain(argc, argv, [] {
        ManageHTTPServer::Options gallery;
        gallery.bindAddress = "127.0.0.1";
        gallery.localAddresses = [] { return std::map<std::string, std::string>{}; };
        ManageHTTPServer::setSharedOptions(gallery);
    });
}
