// Readings that never reached their sheet are kept in a plain text file the
// user can open anywhere: one line per reading, "row,reading", in the order
// they were taken.
#pragma once

#include "spreadsheet.h"

#include <QDateTime>
#include <QString>
#include <vector>

namespace tallyo {

struct SavedReadings {
    QString path;    // the file written; empty when none could be
    QString error;   // why no file could be written
};

// Writes `cells` as CSV (row,reading; a reading with a comma, quote or line
// break is quoted) into `folder`, in a new file named after `when`, e.g.
// "frequency-tallyo-unwritten-2026-12-07_10-30-00.csv". Never overwrites a
// file: a name already taken gets "-2", "-3", ...
SavedReadings saveUnwrittenReadings(const std::vector<SheetCell> &cells, const QString &folder,
                                    const QDateTime &when);

// The user's documents folder (created if missing), or the home folder.
QString unwrittenReadingsFolder();

} // namespace tallyo
