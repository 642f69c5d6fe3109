// Faults on the line, one at every message position, then random mixes: the application is
// started only with a correct flash, and whatever the line loses, corrupts or garbles, the
// update still ends with it.
#include "debugcapture.h"
#include "updaterun.h"

#include <QtTest>

namespace {

// Small, but with program blocks, a short last block and fill blocks.
const QByteArray image = sampleImage(0x4000 + 40 * 32 + 5, 11);

const char *kindName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::LoseCommand:
        return "lose command";
    case FaultKind::LoseReply:
        return "lose reply";
    case FaultKind::CorruptReply:
        return "corrupt reply";
    case FaultKind::NoiseBytes:
        return "noise bytes";
    case FaultKind::NoiseLine:
        return "noise line";
    case FaultKind::SplitReply:
        return "split reply";
    case FaultKind::DelayReply:
        return "delay reply";
    case FaultKind::Unplug:
        return "unplug";
    }
    return "?";
}

struct Tally
{
    int scenarios = 0;
    int correct = 0;
};
Tally tally;

// The outcome every run must have: an application started only on a correct flash.
bool safe(const UpdateOutcome &run)
{
    return run.device.applicationStarts == 0 || run.flash.ok;
}

// A run that must complete: started once, on a correct flash. A lost "$MJAPP" cannot be
// told from a delivered one (it has no answer), so there the application stays unstarted.
bool completed(const UpdateOutcome &run)
{
    if (!run.flash.ok || run.condition != BootTest::Completed || !run.portClosed)
        return false;
    return run.startCommandLost ? run.device.applicationStarts == 0 : run.device.applicationStarts == 1;
}

QString describe(const UpdateOutcome &run)
{
    return QStringLiteral("condition %1, starts %2, ticks %3, flash: %4")
        .arg(run.condition)
        .arg(run.device.applicationStarts)
        .arg(run.ticks)
        .arg(run.flash.description);
}

} // namespace

class TestFaultSweep : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void singleFaultAtEveryMessage_data();
    void singleFaultAtEveryMessage();
    void unplugged_data();
    void unplugged();
    void randomMixes_data();
    void randomMixes();
    void delayedRepliesWithLosses_data();
    void delayedRepliesWithLosses();
    void cleanupTestCase();

private:
    qint64 cleanMessages = 0;
};

void TestFaultSweep::initTestCase()
{
    silenceDebugOutput();
    const UpdateOutcome clean = runUpdate(image, DeviceConfig());
    QVERIFY2(completed(clean), qPrintable(describe(clean)));
    cleanMessages = clean.lastMessage;
    QCOMPARE(cleanMessages, qint64(1 + 128 + 1)); // erase, blocks to 0x5000, start
}

void TestFaultSweep::singleFaultAtEveryMessage_data()
{
    QTest::addColumn<int>("kind");
    for (const FaultKind kind :
         {FaultKind::LoseCommand, FaultKind::LoseReply, FaultKind::CorruptReply, FaultKind::NoiseBytes,
          FaultKind::NoiseLine, FaultKind::SplitReply, FaultKind::DelayReply})
        QTest::newRow(kindName(kind)) << int(kind);
}

void TestFaultSweep::singleFaultAtEveryMessage()
{
    QFETCH(int, kind);
    for (qint64 at = 1; at <= cleanMessages; ++at) {
        DeviceConfig config;
        config.fault(FaultKind(kind)).atMessages = {at};
        const UpdateOutcome run = runUpdate(image, config);
        ++tally.scenarios;
        const bool ok = safe(run) && completed(run);
        tally.correct += ok;
        QVERIFY2(ok, qPrintable(QStringLiteral("fault at message %1: %2").arg(at).arg(describe(run))));
    }
}

void TestFaultSweep::unplugged_data()
{
    QTest::addColumn<bool>("hangUp");
    QTest::newRow("silent") << false;
    QTest::newRow("hung up") << true;
}

void TestFaultSweep::unplugged()
{
    QFETCH(bool, hangUp);
    // The device gone at some message: never a started application, and the engine says why.
    for (qint64 at = 1; at <= cleanMessages; at += 7) {
        DeviceConfig config;
        config.fault(FaultKind::Unplug).atMessages = {at};
        config.unplugClosesLink = hangUp;
        const UpdateOutcome run = runUpdate(image, config, 300);
        ++tally.scenarios;
        const BootTest::Condition expected = hangUp ? BootTest::LinkLost : BootTest::NotAnswering;
        const bool ok = run.device.applicationStarts == 0 && run.condition == expected;
        tally.correct += ok;
        QVERIFY2(ok, qPrintable(QStringLiteral("unplugged at %1: %2").arg(at).arg(describe(run))));
    }
}

void TestFaultSweep::randomMixes_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("5 %") << 0.05;
    QTest::newRow("10 %") << 0.10;
    QTest::newRow("20 %") << 0.20;
}

void TestFaultSweep::randomMixes()
{
    QFETCH(double, rate);
    for (quint64 seed = 1; seed <= 12; ++seed) {
        DeviceConfig config;
        config.seed = seed * 7919 + quint64(rate * 1000);
        // Up to `rate` lost each way (replies lost or corrupted), noise and splits besides.
        config.fault(FaultKind::LoseCommand).rate = rate;
        config.fault(FaultKind::LoseReply).rate = rate / 2;
        config.fault(FaultKind::CorruptReply).rate = rate / 2;
        config.fault(FaultKind::NoiseBytes).rate = rate;
        config.fault(FaultKind::NoiseLine).rate = rate;
        config.fault(FaultKind::SplitReply).rate = rate;
        const UpdateOutcome run = runUpdate(image, config);
        ++tally.scenarios;
        const bool ok = safe(run) && completed(run);
        tally.correct += ok;
        QVERIFY2(ok, qPrintable(QStringLiteral("seed %1: %2").arg(config.seed).arg(describe(run))));
    }
}

void TestFaultSweep::delayedRepliesWithLosses_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("5 %") << 0.05;
    QTest::newRow("15 %") << 0.15;
}

void TestFaultSweep::delayedRepliesWithLosses()
{
    QFETCH(double, rate);
    // Answers carry no address: a reply held past the timeout, and a loss after it, can make
    // the engine count one block too many. Measured, not prevented; never an unsafe start
    // without delays (above).
    int runs = 0, startedWrong = 0, startedRight = 0;
    for (quint64 seed = 1; seed <= 30; ++seed) {
        DeviceConfig config;
        config.seed = seed + quint64(rate * 1000);
        config.fault(FaultKind::DelayReply).rate = rate;
        config.fault(FaultKind::LoseCommand).rate = rate;
        config.fault(FaultKind::LoseReply).rate = rate;
        const UpdateOutcome run = runUpdate(image, config);
        ++runs;
        if (run.device.applicationStarts > 0)
            ++(run.flash.ok ? startedRight : startedWrong);
        else
            QVERIFY2(run.startCommandLost, qPrintable(describe(run))); // it ended all the same
    }
    qInfo("delay_loss_runs: %d at %.0f %% each started_correct: %d started_wrong_flash: %d", runs, rate * 100,
          startedRight, startedWrong);
}

void TestFaultSweep::cleanupTestCase()
{
    qInfo("fault_scenarios: %d correct: %d", tally.scenarios, tally.correct);
}

QTEST_GUILESS_MAIN(TestFaultSweep)
#include "tst_faultsweep.moc"
