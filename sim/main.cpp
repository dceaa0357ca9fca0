#include "options.h"
#include "simulator.h"
#include "stopsignals.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    SimOptions options;
    QString error;
    if (!parseSimOptions(app.arguments().mid(1), &options, &error)) {
        std::fprintf(stderr, "orvik-sim: %s\nTry 'orvik-sim --help'.\n", qPrintable(error));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(simHelpText()), stdout);
        return 0;
    }
    if (!StopSignals::install(&app, [] { QCoreApplication::quit(); })) {
        std::perror("orvik-sim: socketpair");
        return 1;
    }

    // A test that crashes must not leave its simulator behind.
    if (options.exitWithParent && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() == 1))
        return 0;

    Simulator simulator(options);
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "orvik-sim: %s\n", qPrintable(error));
        return 1;
    }
    app.exec();
    simulator.shutdown();
    return 0;
}
