// What every fuzz target needs around the harness: an application object for
// timers, silence from Qt's warnings, and a hard stop when a rule is broken.
#ifndef FUZZMAIN_H
#define FUZZMAIN_H

#include "fuzzharness.h"

#include <cstdio>
#include <cstdlib>

namespace FuzzMain {

inline void init()
{
    static int argc = 1;
    static char name[] = "orvik-fuzz";
    static char *argv[] = {name, nullptr};
    // Lives until exit; the targets never tear Qt down.
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    Q_UNUSED(app)
    qInstallMessageHandler(FuzzHarness::quietMessages);
}

inline void require(const QString &problem)
{
    if (problem.isEmpty())
        return;
    std::fprintf(stderr, "broken rule: %s\n", qPrintable(problem));
    std::abort();
}

} // namespace FuzzMain

#endif // FUZZMAIN_H
