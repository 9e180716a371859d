#include "helptext.h"

namespace tallyo::cli {

QString helpText(const QCommandLineParser &parser, const QString &calledAs, const QString &command,
                 const QString &after)
{
    QString text = parser.helpText();
    // "Usage: <whatever the parser calls the program> [options] ..."
    const QLatin1String usage("Usage: ");
    const qsizetype nameEnd = text.indexOf(QLatin1String(" [options]"));
    if (text.startsWith(usage) && nameEnd > 0) {
        QString name = calledAs;
        if (!command.isEmpty())
            name += QLatin1Char(' ') + command;
        text.replace(usage.size(), nameEnd - usage.size(), name);
    }
    if (!after.isEmpty())
        text += QLatin1Char('\n') + after;
    return text;
}

} // namespace tallyo::cli
