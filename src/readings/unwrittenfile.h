// Readings that never reached their sheet are kept in a CSV file the user
// can open anywhere: a header line, then one line per reading in the order
// taken, "row,reading,note". The reading is as the sheet would have had it
// (without the counter's line end; one a spreadsheet would evaluate behind
// an apostrophe); the note "maybe-in-sheet" marks a reading that was being
// written when the application stopped answering, so it may be there too.
// UTF-8, with a byte-order mark on Windows (for Excel).
#pragma once

#include "spreadsheet.h"

#include <QDateTime>
#include <QString>
#include <vector>

namespace tallyo {

struct SavedReadings {
    QString path; // the file written; empty when none could be
    QString error; // why no file could be written
};

// Writes `cells` into `folder`, in a new file named after `when`, e.g.
// "frequency-tallyo-unwritten-2026-12-07_10-30-00.csv". Never overwrites a
// file: a name already taken gets "-2", "-3", ...
SavedReadings saveUnwrittenReadings(const std::vector<SheetCell> &cells, const QString &folder, const QDateTime &when);

// The user's documents folder (created if missing), or the home folder.
QString unwrittenReadingsFolder();

} // namespace tallyo
