// The package loader on arbitrary archive bytes given as a file path.
#include "fuzzmain.h"

#include <QTemporaryDir>

#include <cstdlib>

namespace {
QString workDir;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzMain::init();
    // A private temporary location, so that anything the loader leaves or
    // writes beside it shows up.
    static QTemporaryDir base(QDir::tempPath() + QStringLiteral("/orvik-fuzz-XXXXXX"));
    if (!base.isValid() || !QDir(base.path()).mkdir(QStringLiteral("tmp"))) {
        std::fprintf(stderr, "cannot create a work directory\n");
        std::abort();
    }
    workDir = base.path();
    qputenv("TMPDIR", QFile::encodeName(workDir + QStringLiteral("/tmp")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzMain::require(FuzzHarness::checkLoadPackage(data, size, workDir));
    return 0;
}
