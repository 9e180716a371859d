// `frequency-tallyo stats FILE... [--tau S] [--nominal F] [--plot OUT.png|OUT.svg] [--json]`:
// the figures of a logged run, on standard output, and its picture.
#pragma once

#include "readingsfile.h"
#include "stability.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

namespace tallyo::stats {

// Exit statuses: as `read` has them, less the line.
inline constexpr int kStatsDone = 0;
inline constexpr int kStatsUsage = 2; // the command line or a file cannot be used
inline constexpr int kStatsOutputFailed = 3; // the picture could not be written

struct AllanRow {
    double tau = 0; // seconds
    Deviation overlapping;
    Deviation modified;
};

struct StabilityReport {
    Summary summary;
    bool frequency = false; // readings in hertz: fractional frequency and its deviations
    double nominal = 0; // what the fractional frequency is taken against
    bool nominalGiven = false;
    std::vector<AllanRow> allan;
};

StabilityReport analyse(const ReadingRun &run, std::optional<double> nominal);

// The short plain-text table, and the same as one JSON object.
QString reportTable(const ReadingRun &run, const StabilityReport &report, const QStringList &files);
QJsonObject reportJson(const ReadingRun &run, const StabilityReport &report, const QStringList &files);

// Whether the first argument is "stats".
bool wantsStats(int argc, char *argv[]);

// Makes the process's one application object (a GUI one on the offscreen
// platform only when a picture is asked for) and runs the command.
int runStats(int argc, char *argv[]);

} // namespace tallyo::stats
