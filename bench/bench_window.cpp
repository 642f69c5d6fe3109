// The window over a long day: many updates in one session against the rehearsal's simulated
// device, unpaced, ticks driven here. Its resident memory must not grow with the updates done.
#include "procstat.h"
#include "rehearsal.h"
#include "rig.h"

#include <cstdio>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int updates = quick ? 10 : 50;
    Rig rig;
    qInstallMessageHandler(quiet);
    RehearsalOptions options;
    options.paced = false;
    options.imageSize = 0x4000 + 2048 + 12;
    Rehearsal rehearsal(options);
    if (!rehearsal.start() || !placeDirectory(rehearsal.imageFolder())) {
        std::fprintf(stderr, "bench_window: %s\n", qPrintable(rehearsal.errorString()));
        return 1;
    }
    UpdateLog::setFolder(rehearsal.imageFolder() + QStringLiteral("logs"));
    rig.window().setPortEnumerator(rehearsal.enumerator());
    int complete = 0;
    long after5 = -1;
    for (int i = 1; i <= updates; ++i) {
        rig.pressStart();
        BootTest *engine = rig.latest();
        rig.run(engine, [&] { return rehearsal.device().settle() && engine->isDone(); });
        rig.tickWindow();
        complete += engine->condition() == BootTest::Completed;
        if (i == 5)
            after5 = statusKib("VmRSS");
    }
    const long afterAll = statusKib("VmRSS");
    std::printf("window_rss_kib: after 5 updates %ld, after %d %ld; growth per update %.1f KiB; complete %d of %d\n",
                after5, updates, afterAll, double(afterAll - after5) / (updates - 5), complete, updates);
    return complete == updates ? 0 : 1;
}
