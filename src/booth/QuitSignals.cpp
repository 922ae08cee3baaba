#include "booth/QuitSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "base/Log.h"

namespace {
int pipeFds[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int number) {
    // Async-signal-safe: one write, errno kept for the interrupted code.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}
}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        spdlog::error("QuitSignals: unable to make the signal pipe: {}", std::strerror(errno));
        return;
    }
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::readSignals);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals) {
        if (::sigaction(number, &action, nullptr) != 0)
            spdlog::error("QuitSignals: unable to handle signal {}: {}", number, std::strerror(errno));
    }
}

QuitSignals::~QuitSignals() {
    // Back to the default: a signal after this object is gone ends the
    // process as it would have without us.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals) ::sigaction(number, &action, nullptr);
}

void QuitSignals::readSignals() {
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(pipeFds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            spdlog::info("QuitSignals: signal {} received, quitting", int(bytes[i]));
            emit quitRequested(bytes[i]);
        }
    }
}
