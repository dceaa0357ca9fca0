#ifndef ORVIK_STOPSIGNALS_H
#define ORVIK_STOPSIGNALS_H

#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

// SIGINT, SIGTERM and SIGHUP for the command-line programs: the handler only
// writes a byte (async-signal-safe); the event loop runs the rest.
namespace StopSignals {

inline int pipe[2] = { -1, -1 };

inline void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipe[1], &byte, 1);
}

// Returns a notifier owned by parent that calls onStop from the event loop,
// or nullptr when the signal pipe cannot be made. SIGPIPE is ignored too.
// The stop signals are unblocked: a parent may have started us with them
// blocked, and one already sent is taken here.
inline QSocketNotifier *install(QObject *parent, const std::function<void()> &onStop)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipe) != 0)
        return nullptr;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : { SIGINT, SIGTERM, SIGHUP }) {
        ::sigaction(signal, &action, nullptr);
        sigaddset(&stops, signal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    auto *notifier = new QSocketNotifier(pipe[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [onStop] {
        char drained[16];
        while (::read(pipe[0], drained, sizeof drained) > 0) { }
        onStop();
    });
    return notifier;
}

// A stop signal arrived that the event loop has not handled yet: for work
// done before the loop runs.
inline bool pending()
{
    char byte;
    return ::recv(pipe[0], &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

} // namespace StopSignals

#endif // ORVIK_STOPSIGNALS_H
