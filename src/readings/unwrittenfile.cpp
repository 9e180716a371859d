#include "unwrittenfile.h"

#include "readingtext.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace tallyo {

namespace {
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
} // namespace

SavedReadings saveUnwrittenReadings(const std::vector<SheetCell> &cells, const QString &folder, const QDateTime &when)
{
    const QByteArray content = unwrittenReadingsText(cells);
    const QString stem =
        QStringLiteral("frequency-tallyo-unwritten-%1").arg(when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")));
    QString lastError;
    for (int attempt = 1; attempt < 100; ++attempt) {
        const QString name =
            attempt == 1 ? stem + QStringLiteral(".csv") : QStringLiteral("%1-%2.csv").arg(stem).arg(attempt);
        QFile file(QDir(folder).filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            lastError = file.errorString();
            if (file.exists())
                continue;
            break;
        }
        if (file.write(content) != content.size() || !file.flush()) {
            lastError = file.errorString();
            file.close();
            file.remove();
            break;
        }
        file.close();
        return {QDir::toNativeSeparators(file.fileName()), {}};
    }
    return {{}, QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(folder), lastError)};
}

QString unwrittenReadingsFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QDir().mkpath(documents))
        return documents;
    return QDir::homePath();
}

} // namespace tallyo
