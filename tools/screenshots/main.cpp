// Renders the main window, attached to the simulator and Ready, and the About
// panel offscreen to OUTDIR/main-window.png and OUTDIR/about.png.

#include "aboutdialog.h"
#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int GiveUpMs = 30000;

int fail(const QString &message)
{
    std::fprintf(stderr, "orvik-screenshots: %s\n", qPrintable(message));
    return 1;
}

bool save(QWidget *widget, const QString &path)
{
    return widget->grab().save(path, "PNG");
}

} // namespace

int main(int argc, char *argv[])
{
    // Rendered without a display; an explicit platform choice still wins.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Offscreen there is no desktop theme and text falls back to a 12-pt face;
    // the generic Unix desktop default shows what an operator actually sees.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QApplication::setFont(QFont(QStringLiteral("Sans Serif"), 9));
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2)
        return fail(QStringLiteral("usage: orvik-screenshots OUTDIR"));
    const QDir outDir(args.at(1));
    if (!QDir().mkpath(outDir.absolutePath()))
        return fail(QStringLiteral("cannot create %1").arg(outDir.absolutePath()));

    QTemporaryDir tempDir;
    if (!tempDir.isValid())
        return fail(QStringLiteral("no temporary directory"));
    const QString link = tempDir.filePath(QStringLiteral("orvik"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(ORVIK_SIM_PATH), { QStringLiteral("--link"), link });
    // The first line is the pty's path; the link is in place by then.
    if (!sim.waitForStarted(GiveUpMs) || !sim.waitForReadyRead(GiveUpMs))
        return fail(QStringLiteral("the simulator did not start: %1").arg(QStringLiteral(ORVIK_SIM_PATH)));

    int status = 1;
    {
        MainWindow window(link);
        window.show();

        // Answer boxes like an operator; the battery box marks the end of the chain.
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, &app, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            const bool battery = box->windowTitle() == QLatin1String("Battery Level");
            if (QAbstractButton *button = box->button(QMessageBox::Ok))
                button->click();
            else
                box->reject();
            if (battery) {
                answerer.stop();
                // Let the window repaint without the box before grabbing it.
                QTimer::singleShot(200, &app, [&] {
                    bool ok = save(&window, outDir.filePath(QStringLiteral("main-window.png")));
                    window.findChild<QAction *>(QStringLiteral("actionAbout"))->trigger();
                    auto *about = window.findChild<AboutDialog *>();
                    ok = ok && about && save(about, outDir.filePath(QStringLiteral("about.png")));
                    app.exit(ok ? 0 : 2);
                });
            }
        });
        answerer.start(50);
        QTimer::singleShot(GiveUpMs, &app, [&app] { app.exit(3); });

        const int result = app.exec();
        if (result == 0)
            status = 0;
        else if (result == 3)
            fail(QStringLiteral("the window did not reach Ready within %1 ms").arg(GiveUpMs));
        else
            fail(QStringLiteral("could not write the pictures to %1").arg(outDir.absolutePath()));
    }
    sim.terminate();
    if (!sim.waitForFinished(5000))
        sim.kill();
    sim.waitForFinished(5000);
    if (status == 0)
        QTextStream(stdout) << outDir.filePath(QStringLiteral("main-window.png")) << '\n'
                            << outDir.filePath(QStringLiteral("about.png")) << '\n';
    return status;
}
