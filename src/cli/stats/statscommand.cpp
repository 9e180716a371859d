#include "statscommand.h"

#include "readingvalue.h"
#include "stabilityplot.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <cmath>
#include <cstdio>
#include <memory>

namespace tallyo::stats {

namespace {

const QString kHelp = QStringLiteral(
    "Usage: frequency-tallyo stats FILE... [--tau SECONDS] [--nominal FREQUENCY] [--plot OUT.png|OUT.svg] [--json]\n"
    "\n"
    "The figures of a run of readings: count, gaps, first and last time, mean, standard deviation,\n"
    "minimum, maximum, drift per day and, for frequencies, the overlapping and modified Allan\n"
    "deviation of the fractional frequency at tau = 1, 2, 4, ... spacings up to a third of the run.\n"
    "\n"
    "FILE is a file written by read --output (several, such as daily files, in the order written),\n"
    "or a plain column of readings, one a line. A gap (a gap row, a reading that cannot be read,\n"
    "or a step in time of more than one and a half spacings) splits the run: no deviation spans it.\n"
    "\n"
    "Options:\n"
    "  --tau SECONDS        the spacing of the readings (default: from the time stamps; 1 for a column)\n"
    "  --nominal FREQUENCY  take the fractional frequency against FREQUENCY (\"10 MHz\", 1e7)\n"
    "                       instead of the mean\n"
    "  --plot FILE          draw the readings and the deviations into FILE (.png or .svg)\n"
    "  --json               print the figures as one JSON object\n"
    "  -h, --help           show this help\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  2  the command line was not understood, or a file cannot be used (the message names its line)\n"
    "  3  the picture could not be written\n");

constexpr char kBaseUnits[] = "Hz";

struct StatsRequest {
    QStringList files;
    std::optional<double> tau;
    std::optional<double> nominal;
    QString plot;
    bool json = false;
    bool help = false;
};

void say(const QString &text)
{
    std::fprintf(stderr, "frequency-tallyo: %s\n", text.toLocal8Bit().constData());
}

std::optional<StatsRequest> parseRequest(const QStringList &arguments, QString *problem)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption tau(QStringLiteral("tau"), QString(), QStringLiteral("seconds"));
    const QCommandLineOption nominal(QStringLiteral("nominal"), QString(), QStringLiteral("frequency"));
    const QCommandLineOption plot(QStringLiteral("plot"), QString(), QStringLiteral("file"));
    const QCommandLineOption json(QStringLiteral("json"));
    parser.addOptions({help, tau, nominal, plot, json});
    if (!parser.parse(arguments)) {
        *problem = parser.errorText();
        return std::nullopt;
    }
    StatsRequest request;
    request.help = parser.isSet(help);
    request.files = parser.positionalArguments().mid(1); // after "stats"
    request.json = parser.isSet(json);
    request.plot = parser.value(plot);
    if (parser.isSet(tau)) {
        bool ok = false;
        const double seconds = parser.value(tau).toDouble(&ok);
        if (!ok || !(seconds > 0) || !std::isfinite(seconds)) {
            *problem =
                QStringLiteral("--tau %1: give the spacing in seconds, a number above 0.").arg(parser.value(tau));
            return std::nullopt;
        }
        request.tau = seconds;
    }
    if (parser.isSet(nominal)) {
        const auto value = parseReading(parser.value(nominal).toStdString());
        if (!value || !(value->value > 0) || !(value->unit.empty() || value->unit == kBaseUnits)) {
            *problem = QStringLiteral("--nominal %1: give a frequency above 0, such as \"10 MHz\" or 1e7.")
                           .arg(parser.value(nominal));
            return std::nullopt;
        }
        request.nominal = value->value;
    }
    if (!request.plot.isEmpty() && !request.plot.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)
        && !request.plot.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        *problem = QStringLiteral("--plot %1: the picture's name must end in .png or .svg.").arg(request.plot);
        return std::nullopt;
    }
    if (request.files.isEmpty() && !request.help) {
        *problem = QStringLiteral("name a file of readings.");
        return std::nullopt;
    }
    return request;
}

// " MHz", or nothing for readings without a unit.
QString unitSuffix(const ReadingRun &run)
{
    return run.shownUnit.empty() ? QString() : QLatin1Char(' ') + QString::fromStdString(run.shownUnit);
}

// A value in the run's own unit with the digits of a 1e-12 resolution of
// `reference`: "10.000004530000 MHz".
QString inUnit(const ReadingRun &run, double value, double reference)
{
    const double shown = value / run.scale;
    const double magnitudeOf = std::abs(reference / run.scale);
    const int magnitude = magnitudeOf == 0 ? 0 : int(std::floor(std::log10(magnitudeOf)));
    return QString::number(shown, 'f', std::clamp(12 - magnitude, 0, 24)) + unitSuffix(run);
}

QString spread(const ReadingRun &run, double value, const QString &per = QString())
{
    return QString::number(value / run.scale, 'g', 7) + unitSuffix(run) + per;
}

QString clock(double seconds)
{
    const qint64 whole = qint64(std::llround(seconds));
    return QStringLiteral("%1:%2:%3")
        .arg(whole / 3600)
        .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString significant(double value)
{
    return QString::number(value, 'e', 6);
}

QString unreadableLine(const ReadingRun &run)
{
    QStringList shown;
    for (const Unreadable &u : run.unreadable)
        shown << QStringLiteral("%1 \"%2\"").arg(u.where, u.text);
    return QStringLiteral("%1 could not be read (%2%3)")
        .arg(run.unreadableCount)
        .arg(shown.join(QStringLiteral(", ")))
        .arg(run.unreadableCount > qint64(run.unreadable.size()) ? QStringLiteral(", ...") : QString());
}

// Writes all of `bytes` to `path`, or says why not.
bool writeWhole(const QString &path, const QByteArray &bytes, QString *problem)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *problem = QStringLiteral("cannot write %1: %2.").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool writePlot(const QString &path, const ReadingRun &run, const StabilityReport &report, QString *problem)
{
    std::vector<AllanPoint> points;
    for (const AllanRow &row : report.allan)
        points.push_back(
            {row.tau, row.overlapping.terms ? row.overlapping.value : 0, row.modified.terms ? row.modified.value : 0});
    const QString note = report.frequency ? QStringLiteral("too few readings between the gaps for a deviation")
                                          : QStringLiteral("no Allan deviation: the readings are not frequencies");
    const Figure figure = stabilityFigure(run, points, note);
    if (path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive))
        return writeWhole(path, svgOfFigure(figure), problem);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    paintFigure(figure).save(&buffer, "PNG");
    return writeWhole(path, png, problem);
}

} // namespace

StabilityReport analyse(const ReadingRun &run, std::optional<double> nominal)
{
    StabilityReport report;
    report.summary = summarize(run.values, run.times);
    report.frequency = run.unit == kBaseUnits;
    if (!report.frequency)
        return report;
    report.nominalGiven = nominal.has_value();
    report.nominal = nominal.value_or(report.summary.mean);
    if (!(report.nominal > 0)) {
        report.frequency = false; // no fraction of a frequency of zero or below
        return report;
    }
    const Phase phase(run.values, stretchesOf(run.values.size(), run.splits), report.nominal);
    for (const std::size_t m : octaveFactors(run.values.size())) {
        AllanRow row{double(m) * run.spacing, phase.overlappingAllan(m), phase.modifiedAllan(m)};
        if (row.overlapping.terms == 0 && row.modified.terms == 0)
            break;
        report.allan.push_back(row);
    }
    return report;
}

QString reportTable(const ReadingRun &run, const StabilityReport &report, const QStringList &files)
{
    const Summary &s = report.summary;
    QString t;
    auto row = [&t](const QString &name, const QString &value) {
        t += name.leftJustified(14) + value + QLatin1Char('\n');
    };
    row(QStringLiteral("files"), files.join(QStringLiteral(", ")));
    row(QStringLiteral("count"), QString::number(run.values.size()));
    if (run.unreadableCount > 0)
        row(QStringLiteral("unreadable"), unreadableLine(run));
    row(QStringLiteral("gaps"),
        QStringLiteral("%1, %2 without readings").arg(run.splits.size()).arg(clock(run.gapSeconds)));
    if (run.timed) {
        row(QStringLiteral("first"), run.firstTime);
        row(QStringLiteral("last"), run.lastTime);
    }
    row(QStringLiteral("duration"),
        QStringLiteral("%1 (%2 s)").arg(clock(run.times.back())).arg(run.times.back(), 0, 'f', 3));
    row(QStringLiteral("spacing"),
        QStringLiteral("%1 s (%2)")
            .arg(QString::number(run.spacing, 'g', 6),
                 run.spacingGiven ? QStringLiteral("--tau")
                     : run.timed  ? QStringLiteral("median step of the time stamps")
                                  : QStringLiteral("assumed; give --tau")));
    row(QStringLiteral("mean"), inUnit(run, s.mean, s.mean));
    row(QStringLiteral("std dev"), spread(run, s.standardDeviation));
    row(QStringLiteral("minimum"), inUnit(run, s.minimum, s.mean));
    row(QStringLiteral("maximum"), inUnit(run, s.maximum, s.mean));
    QString drift = spread(run, s.slopePerSecond * 86400, QStringLiteral(" a day"));
    if (report.frequency)
        drift += QStringLiteral(" (%1 a day, fractional)").arg(significant(s.slopePerSecond * 86400 / report.nominal));
    row(QStringLiteral("drift"), drift);
    if (!report.frequency)
        return t;
    row(QStringLiteral("fractional"),
        QStringLiteral("against %1 (%2)")
            .arg(inUnit(run, report.nominal, report.nominal),
                 report.nominalGiven ? QStringLiteral("--nominal") : QStringLiteral("the mean")));
    t += QStringLiteral("\n%1%2%3%4%5\n")
             .arg(QStringLiteral("tau (s)").leftJustified(14), QStringLiteral("Allan dev").leftJustified(16),
                  QStringLiteral("terms").leftJustified(10), QStringLiteral("mod Allan dev").leftJustified(16),
                  QStringLiteral("terms"));
    for (const AllanRow &a : report.allan) {
        auto dev = [](const Deviation &d) {
            return (d.terms ? significant(d.value) : QStringLiteral("-")).leftJustified(16);
        };
        // Time stamps have milliseconds: a tau from them is shown to the
        // millisecond (a finer --tau as given).
        const double tau = a.tau >= 1e-3 ? std::round(a.tau * 1000.0) / 1000.0 : a.tau;
        t += QString::number(tau, 'g', 12).leftJustified(14) + dev(a.overlapping)
            + QString::number(a.overlapping.terms).leftJustified(10) + dev(a.modified)
            + QString::number(a.modified.terms) + QLatin1Char('\n');
    }
    return t;
}

QJsonObject reportJson(const ReadingRun &run, const StabilityReport &report, const QStringList &files)
{
    const Summary &s = report.summary;
    QJsonObject o;
    o[QStringLiteral("files")] = QJsonArray::fromStringList(files);
    o[QStringLiteral("count")] = qint64(run.values.size());
    QJsonArray unreadable;
    for (const Unreadable &u : run.unreadable)
        unreadable.append(QJsonObject{{QStringLiteral("where"), u.where}, {QStringLiteral("text"), u.text}});
    o[QStringLiteral("unreadable")] =
        QJsonObject{{QStringLiteral("count"), run.unreadableCount}, {QStringLiteral("first"), unreadable}};
    o[QStringLiteral("gaps")] =
        QJsonObject{{QStringLiteral("count"), qint64(run.splits.size())}, {QStringLiteral("seconds"), run.gapSeconds}};
    if (run.timed) {
        o[QStringLiteral("first")] = run.firstTime;
        o[QStringLiteral("last")] = run.lastTime;
    }
    o[QStringLiteral("duration_s")] = run.times.back();
    o[QStringLiteral("spacing_s")] = run.spacing;
    o[QStringLiteral("unit")] = QString::fromStdString(run.unit);
    o[QStringLiteral("mean")] = s.mean;
    o[QStringLiteral("std_dev")] = s.standardDeviation;
    o[QStringLiteral("minimum")] = s.minimum;
    o[QStringLiteral("maximum")] = s.maximum;
    o[QStringLiteral("drift_per_day")] = s.slopePerSecond * 86400;
    if (report.frequency) {
        o[QStringLiteral("nominal")] = report.nominal;
        o[QStringLiteral("fractional_drift_per_day")] = s.slopePerSecond * 86400 / report.nominal;
        QJsonArray allan;
        for (const AllanRow &a : report.allan) {
            QJsonObject r{{QStringLiteral("tau_s"), a.tau},
                          {QStringLiteral("adev_terms"), a.overlapping.terms},
                          {QStringLiteral("mdev_terms"), a.modified.terms}};
            if (a.overlapping.terms)
                r[QStringLiteral("adev")] = a.overlapping.value;
            if (a.modified.terms)
                r[QStringLiteral("mdev")] = a.modified.value;
            allan.append(r);
        }
        o[QStringLiteral("allan")] = allan;
    }
    return o;
}

bool wantsStats(int argc, char *argv[])
{
    return argc > 1 && qstrcmp(argv[1], "stats") == 0;
}

int runStats(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QString problem;
    const std::optional<StatsRequest> request = parseRequest(arguments, &problem);
    if (!request) {
        say(problem + QStringLiteral(" (frequency-tallyo stats --help for more)"));
        return kStatsUsage;
    }
    if (request->help) {
        std::fputs(kHelp.toLocal8Bit().constData(), stdout);
        return kStatsDone;
    }

    // A picture needs fonts, and fonts a GUI application: on the offscreen
    // platform, so no display is ever needed. Figures alone need neither.
    // Qt's own notes about its platform (no runtime folder, ...) are not the
    // user's business here.
    std::unique_ptr<QCoreApplication> app;
    if (!request->plot.isEmpty()) {
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        });
#ifndef Q_OS_WIN
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    ReadingsReader reader(request->tau);
    for (const QString &file : request->files) {
        if (!reader.read(file)) {
            say(reader.problem());
            return kStatsUsage;
        }
    }
    if (!reader.finish()) {
        say(reader.problem());
        return kStatsUsage;
    }
    const ReadingRun &run = reader.run();
    if (run.unreadableCount > 0)
        say(QStringLiteral("%1 lines held no reading the program could read and are left out, each a gap: %2.")
                .arg(run.unreadableCount)
                .arg(unreadableLine(run)));
    const StabilityReport report = analyse(run, request->nominal);
    const QByteArray out = request->json
        ? QJsonDocument(reportJson(run, report, request->files)).toJson(QJsonDocument::Indented)
        : reportTable(run, report, request->files).toUtf8();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fflush(stdout);
    if (!request->plot.isEmpty() && !writePlot(request->plot, run, report, &problem)) {
        say(problem);
        return kStatsOutputFailed;
    }
    return kStatsDone;
}

} // namespace tallyo::stats
