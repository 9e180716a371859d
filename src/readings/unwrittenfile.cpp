#include "unwrittenfile.h"

#include "readingtext.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace tallyo {

namespace {
constexpr int kMaxAttempts = 99;

QByteArray unwrittenReadingsText(const std::vector<SheetCell> &cells)
{
#ifdef Q_OS_WIN
    QByteArray text = "\xEF\xBB\xBF"; // Excel reads the file as UTF-8 only with it
#else
    QByteArray text;
#endif
    text += "row,reading,note\n";
    for (const SheetCell &cell : cells)
        text += QByteArray::number(cell.row) + ',' + QByteArray::fromStdString(reading::csvField(cell.text)) + ','
            + (cell.inFlight ? "maybe-in-sheet" : "") + '\n';
    return text;
}

// The name for `attempt`: "stem.csv", then "stem-2.csv", "stem-3.csv", ...
QString numbered(const QString &stem, int attempt, const QString &extension)
{
    return attempt == 1 ? stem + extension : QStringLiteral("%1-%2%3").arg(stem).arg(attempt).arg(extension);
}
} // namespace

SavedReadings saveUnwrittenReadings(const std::vector<SheetCell> &cells, const QString &folder, const QDateTime &when)
{
    const QByteArray content = unwrittenReadingsText(cells);
    const QDir dir(folder);
    const QString stem = dir.filePath(
        QStringLiteral("frequency-tallyo-unwritten-%1").arg(when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"))));
    const auto failed = [&](const QString &error) {
        return SavedReadings{{}, QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(folder), error)};
    };
    // Written whole under a name of its own, closed, then renamed: the file
    // the message names is never seen half-written, even by a program
    // watching the folder, and a failure leaves nothing behind.
    QFile part;
    for (int attempt = 1;; ++attempt) {
        part.setFileName(numbered(stem, attempt, QStringLiteral(".part")));
        if (part.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        if (!part.exists() || attempt == kMaxAttempts)
            return failed(part.errorString());
    }
    const bool whole = part.write(content) == content.size() && part.flush();
    part.close();
    QString error = part.errorString();
    for (int attempt = 1; whole && attempt <= kMaxAttempts; ++attempt) {
        const QString name = numbered(stem, attempt, QStringLiteral(".csv"));
        // A rename never replaces a file that is there: its name is taken.
        if (QFile::exists(name))
            continue;
        if (part.rename(name))
            return {QDir::toNativeSeparators(name), {}};
        error = part.errorString();
        if (!QFile::exists(name))
            break;
    }
    part.remove();
    return failed(error);
}

QString unwrittenReadingsFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QDir().mkpath(documents))
        return documents;
    return QDir::homePath();
}

} // namespace tallyo
