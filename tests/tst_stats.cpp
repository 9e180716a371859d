// `frequency-tallyo stats`: readings as numbers, the published test suite for
// frequency stability software, gaps, the files of `read --output`, and the
// command run as a user runs it, with no display.
#include "readingsfile.h"
#include "readingvalue.h"
#include "stability.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace tallyo::stats;

namespace {

// The printed form of the test suite's tables: seven significant digits.
QString printed(double value)
{
    return QString::number(value, 'g', 7);
}

// The test suite's 1000 fractional frequencies, from its portable generator.
std::vector<double> thousandPoints()
{
    std::vector<double> y;
    long long n = 1234567890;
    for (int i = 0; i < 1000; ++i) {
        y.push_back(double(n) / 2147483647.0);
        n = 16807 * n % 2147483647;
    }
    return y;
}

std::vector<double> indices(std::size_t count)
{
    std::vector<double> t(count);
    for (std::size_t i = 0; i < count; ++i)
        t[i] = double(i);
    return t;
}

// Sums by the y-average definitions, over one stretch: (sum of squares, terms).
std::pair<long double, long long> allanSums(const std::vector<double> &y, std::size_t m)
{
    auto average = [&](std::size_t j) {
        long double s = 0;
        for (std::size_t i = j; i < j + m; ++i)
            s += y[i];
        return s / m;
    };
    std::pair<long double, long long> sums{0, 0};
    for (std::size_t j = 0; j + 2 * m <= y.size(); ++j, ++sums.second)
        sums.first += std::pow(average(j + m) - average(j), 2);
    return sums;
}

std::pair<long double, long long> modifiedSums(const std::vector<double> &y, std::size_t m)
{
    std::pair<long double, long long> sums{0, 0};
    for (std::size_t j = 0; j + 3 * m <= y.size() + 1; ++j, ++sums.second) {
        long double outer = 0;
        for (std::size_t i = j; i < j + m; ++i)
            for (std::size_t k = i; k < i + m; ++k)
                outer += (long double)y[k + m] - y[k];
        sums.first += outer * outer;
    }
    return sums;
}

void write(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

} // namespace

class TestStats : public QObject {
    Q_OBJECT

private slots:
    void publishedNinePoints();
    void publishedThousandPoints();
    void noTermSpansAGap();
    void readingsAsNumbers_data();
    void readingsAsNumbers();
    void timeStamps();
    void aLogWithGapsAndADailySwitchIsOneRun();
    void refusesWhatIsNotARun_data();
    void refusesWhatIsNotARun();
    void commandWithoutADisplay();

private:
    QTemporaryDir m_dir;
};

void TestStats::publishedNinePoints()
{
    const std::vector<double> y{892, 809, 823, 798, 671, 644, 883, 903, 677};
    const Summary summary = summarize(y, indices(y.size()));
    QCOMPARE(printed(summary.mean), QStringLiteral("788.8889"));
    QCOMPARE(printed(summary.standardDeviation), QStringLiteral("100.977")); // printed 100.9770
    const Phase phase(y, stretchesOf(y.size(), {}));
    QCOMPARE(printed(phase.overlappingAllan(1).value), QStringLiteral("91.22945"));
    QCOMPARE(printed(phase.overlappingAllan(2).value), QStringLiteral("85.95287"));
    QCOMPARE(printed(phase.modifiedAllan(1).value), QStringLiteral("91.22945"));
    QCOMPARE(printed(phase.modifiedAllan(2).value), QStringLiteral("74.78849"));
    QCOMPARE(phase.overlappingAllan(2).terms, 6);
    QCOMPARE(phase.modifiedAllan(2).terms, 5);
    QCOMPARE(phase.modifiedAllan(3).terms, 2);
    QCOMPARE(phase.modifiedAllan(4).terms, 0);
}

void TestStats::publishedThousandPoints()
{
    const std::vector<double> y = thousandPoints();
    const Summary summary = summarize(y, indices(y.size()));
    QCOMPARE(printed(summary.mean), QStringLiteral("0.4897745"));
    QCOMPARE(printed(summary.standardDeviation), QStringLiteral("0.2884664"));
    const Phase phase(y, stretchesOf(y.size(), {}));
    const struct {
        std::size_t m;
        const char *overlapping, *modified;
        long long overlappingTerms, modifiedTerms;
    } table[] = {{1, "0.2922319", "0.2922319", 999, 999},
                 {10, "0.09159953", "0.06172376", 981, 972},
                 {100, "0.03241343", "0.02170921", 801, 702}};
    for (const auto &row : table) {
        const Deviation overlapping = phase.overlappingAllan(row.m);
        const Deviation modified = phase.modifiedAllan(row.m);
        QCOMPARE(printed(overlapping.value), QLatin1String(row.overlapping));
        QCOMPARE(printed(modified.value), QLatin1String(row.modified));
        QCOMPARE(overlapping.terms, row.overlappingTerms);
        QCOMPARE(modified.terms, row.modifiedTerms);
    }
}

void TestStats::noTermSpansAGap()
{
    const std::vector<double> y = thousandPoints();
    const std::size_t split = 400;
    const std::vector<double> first(y.begin(), y.begin() + split), second(y.begin() + split, y.end());
    const Phase phase(y, stretchesOf(y.size(), {split}));
    for (const std::size_t m : {1, 7, 50, 140}) {
        const auto a1 = allanSums(first, m), a2 = allanSums(second, m);
        const auto m1 = modifiedSums(first, m), m2 = modifiedSums(second, m);
        const Deviation overlapping = phase.overlappingAllan(m);
        const Deviation modified = phase.modifiedAllan(m);
        QCOMPARE(overlapping.terms, a1.second + a2.second);
        QCOMPARE(modified.terms, m1.second + m2.second);
        const double byHand = double(std::sqrt((a1.first + a2.first) / (2 * (a1.second + a2.second))));
        const double modifiedByHand =
            double(std::sqrt((m1.first + m2.first) / (2.0L * std::pow(m, 4) * (m1.second + m2.second))));
        QVERIFY2(std::abs(overlapping.value / byHand - 1) < 1e-12, qPrintable(QString::number(m)));
        QVERIFY2(std::abs(modified.value / modifiedByHand - 1) < 1e-12, qPrintable(QString::number(m)));
    }
}

void TestStats::readingsAsNumbers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("reads");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("unit");
    QTest::newRow("MHz") << QByteArray("   10.0000453 MHz\r") << true << 10000045.3 << "Hz";
    QTest::newRow("kHz, signed") << QByteArray("+999.99 kHz") << true << 999990.0 << "Hz";
    QTest::newRow("ms") << QByteArray("99.99 ms") << true << 0.09999 << "s";
    QTest::newRow("exponent, s") << QByteArray("1.2e-6 s") << true << 1.2e-6 << "s";
    QTest::newRow("micro sign") << QByteArray("12.5 \xC2\xB5s") << true << 12.5e-6 << "s";
    QTest::newRow("RPM") << QByteArray("1500 RPM") << true << 1500.0 << "RPM";
    QTest::newRow("bare, counter's form") << QByteArray("+1.000000012E+07") << true << 1.000000012e7 << "";
    QTest::newRow("made inert") << QByteArray("'-10.5 mHz") << true << -0.0105 << "Hz";
    QTest::newRow("error text") << QByteArray("ERR 3") << false << 0.0 << "";
    QTest::newRow("two points") << QByteArray("1.2.3 Hz") << false << 0.0 << "";
    QTest::newRow("unknown unit") << QByteArray("5 V") << false << 0.0 << "";
    QTest::newRow("not a number") << QByteArray("nan Hz") << false << 0.0 << "";
    QTest::newRow("formula") << QByteArray("'=1+1") << false << 0.0 << "";
}

void TestStats::readingsAsNumbers()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, reads);
    const auto reading = parseReading(text.toStdString());
    QCOMPARE(reading.has_value(), reads);
    if (!reads)
        return;
    QFETCH(double, value);
    QFETCH(QString, unit);
    QVERIFY2(std::abs(reading->value - value) <= std::abs(value) * 1e-15,
             qPrintable(QString::number(reading->value, 'g', 17)));
    QCOMPARE(QString::fromStdString(std::string(reading->unit)), unit);
}

void TestStats::timeStamps()
{
    const auto utc = parseTimestamp("2026-12-07T20:01:37.125Z");
    QVERIFY(utc);
    QCOMPARE(*utc, 1796673697.125);
    QCOMPARE(parseTimestamp("2026-12-07T21:01:37.125+01:00"), utc);
    QCOMPARE(parseTimestamp("2026-12-07T15:31:37.125-04:30"), utc);
    const QDateTime local(QDate(2026, 12, 7), QTime(20, 1, 37, 125), Qt::LocalTime);
    QCOMPARE(parseTimestamp("2026-12-07 20:01:37.125"), double(local.toMSecsSinceEpoch()) / 1000);
    QVERIFY(!parseTimestamp("2026-12-07T20:01:37.125+0100x"));
    QVERIFY(!parseTimestamp("2026-13-07T20:01:37Z"));
    QVERIFY(!parseTimestamp("yesterday"));
}

void TestStats::aLogWithGapsAndADailySwitchIsOneRun()
{
    // The first day in local time with its offset, the next in UTC; a gap
    // row, an error reply and a line cut short by a crash.
    const QString day1 = m_dir.filePath(QStringLiteral("log-2026-12-07.csv"));
    const QString day2 = m_dir.filePath(QStringLiteral("log-2026-12-08.csv"));
    write(day1,
          "\xEF\xBB\xBFtime,reading\n"
          "2026-12-08T00:59:56.000+01:00,10.0000001 MHz\n"
          "2026-12-08T00:59:57.000+01:00,10.0000002 MHz\n"
          "# the line was lost\n"
          "2026-12-08T00:59:58.000+01:00,\n"
          "2026-12-08T01:00:01.000+01:00,\"10.0000003 MHz\"\n"
          "2026-12-08T01:00:02.000+01:00,ERR\n"
          "2026-12-08T01:00:03.000+01:00,10.0000004 MHz\n");
    write(day2,
          "time,reading,note\n"
          "2026-12-08T00:00:04.000Z,\"10.0000005 MHz\",\"a, b\"\n"
          "2026-12-08T00:00:05.000Z,10.0000006 MHz\n"
          "2026-12-08T00:00:06.000Z,10.00000");
    ReadingsReader reader;
    QVERIFY2(reader.read(day1) && reader.read(day2) && reader.finish(), qPrintable(reader.problem()));
    const ReadingRun &run = reader.run();
    QVERIFY(run.timed);
    QCOMPARE(run.values.size(), std::size_t(6));
    QCOMPARE(run.values.back(), 10000000.6);
    QCOMPARE(run.times.back(), 9.0);
    QCOMPARE(run.spacing, 1.0);
    QCOMPARE(run.splits, (std::vector<std::size_t>{2, 3})); // the gap row, the error reply
    QCOMPARE(run.gapSeconds, 4.0); // 57 s to 01 s and 01 s to 03 s, less the one spacing each would have had
    QCOMPARE(run.unreadableCount, 2);
    QCOMPARE(run.unreadable[0].where, day1 + QStringLiteral(":7"));
    QCOMPARE(run.unreadable[1].where, day2 + QStringLiteral(":4"));
    QCOMPARE(run.firstTime, QStringLiteral("2026-12-08T00:59:56.000+01:00"));
    QCOMPARE(run.lastTime, QStringLiteral("2026-12-08T00:00:05.000Z"));
}

void TestStats::refusesWhatIsNotARun_data()
{
    QTest::addColumn<QByteArrayList>("files");
    QTest::addColumn<QString>("where");
    QTest::newRow("empty") << QByteArrayList{""} << "f0.csv:1:";
    QTest::newRow("header only") << QByteArrayList{"time,reading\n"} << "f0.csv:1:";
    QTest::newRow("one reading") << QByteArrayList{"time,reading\n2026-12-07T20:00:00Z,1 Hz\n"} << "f0.csv:2:";
    QTest::newRow("mixed units") << QByteArrayList{"1 Hz\n2 Hz\n3 s\n"} << "f0.csv:3:";
    QTest::newRow("not ours") << QByteArrayList{"# export\nname,value\n"} << "f0.csv:2:";
    QTest::newRow("column after a log") << QByteArrayList{"time,reading\n2026-12-07T20:00:00Z,1 Hz\n", "2 Hz\n"}
                                        << "f1.csv:1:";
    QTest::newRow("files out of order") << QByteArrayList{"time,reading\n2026-12-07T20:00:09Z,1 Hz\n",
                                                          "time,reading\n2026-12-07T20:00:00Z,1 Hz\n"}
                                        << "f1.csv:2:";
}

void TestStats::refusesWhatIsNotARun()
{
    QFETCH(QByteArrayList, files);
    QFETCH(QString, where);
    ReadingsReader reader;
    bool read = true;
    for (int i = 0; i < files.size() && read; ++i) {
        const QString path = m_dir.filePath(QStringLiteral("f%1.csv").arg(i));
        write(path, files[i]);
        read = reader.read(path);
    }
    QVERIFY(!read || !reader.finish());
    QVERIFY2(reader.problem().startsWith(m_dir.filePath(where)), qPrintable(reader.problem()));
}

void TestStats::commandWithoutADisplay()
{
    const QString program = qEnvironmentVariable("TALLYO_BUILD_DIR") + QStringLiteral("/src/frequency-tallyo");
    const QString log = m_dir.filePath(QStringLiteral("run.csv"));
    QByteArray text = "time,reading\n";
    for (int i = 0; i < 40; ++i)
        text += QStringLiteral("2026-12-07T20:00:%1.000Z,%2 MHz\n")
                    .arg(i, 2, 10, QLatin1Char('0'))
                    .arg(10 + (i % 3) * 1e-7, 0, 'f', 7)
                    .toLatin1();
    write(log, text);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    auto run = [&](const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(program, QStringList{QStringLiteral("stats")} + arguments);
        if (!process.waitForFinished(60000))
            return -1;
        if (out)
            *out = process.readAllStandardOutput();
        if (err)
            *err = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    };
    QByteArray out, err;
    const QString png = m_dir.filePath(QStringLiteral("run.png"));
    QCOMPARE(run({log, QStringLiteral("--json"), QStringLiteral("--plot"), png}, &out, &err), 0);
    QVERIFY2(err.isEmpty(), err.constData());
    const QJsonObject json = QJsonDocument::fromJson(out).object();
    QCOMPARE(json.value(QStringLiteral("count")).toInt(), 40);
    QCOMPARE(json.value(QStringLiteral("allan")).toArray().size(), 4); // 1, 2, 4, 8 s: up to a third of 40
    QCOMPARE(QImage(png).size(), QSize(1000, 700));
    // Against half the frequency, every fractional deviation doubles.
    const double againstMean =
        json.value(QStringLiteral("allan")).toArray().at(0).toObject().value(QStringLiteral("adev")).toDouble();
    QCOMPARE(run({log, QStringLiteral("--json"), QStringLiteral("--nominal"), QStringLiteral("5 MHz")}, &out), 0);
    const double againstHalf = QJsonDocument::fromJson(out)
                                   .object()
                                   .value(QStringLiteral("allan"))
                                   .toArray()
                                   .at(0)
                                   .toObject()
                                   .value(QStringLiteral("adev"))
                                   .toDouble();
    QVERIFY2(againstMean > 0 && std::abs(againstHalf / againstMean / 2 - 1) < 1e-6,
             qPrintable(QStringLiteral("%1 %2").arg(againstMean).arg(againstHalf)));

    const QString svg = m_dir.filePath(QStringLiteral("run.svg"));
    QCOMPARE(run({log, QStringLiteral("--plot"), svg}, &out), 0);
    QVERIFY(out.contains("tau (s)"));
    QFile svgFile(svg);
    QVERIFY(svgFile.open(QIODevice::ReadOnly));
    QVERIFY(svgFile.readAll().contains("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"700\""));

    const QString mixed = m_dir.filePath(QStringLiteral("mixed.csv"));
    write(mixed, "1 Hz\n2 Hz\n3 s\n");
    QCOMPARE(run({mixed}, nullptr, &err), 2);
    QVERIFY2(err.contains((mixed + QStringLiteral(":3:")).toLocal8Bit()), err.constData());
    QCOMPARE(run({log, QStringLiteral("--plot"), m_dir.filePath(QStringLiteral("run.txt"))}), 2);
    QCOMPARE(run({log, QStringLiteral("--plot"), m_dir.filePath(QStringLiteral("no/such/folder.png"))}), 3);
}

QTEST_GUILESS_MAIN(TestStats)
#include "tst_stats.moc"
