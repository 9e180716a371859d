// Every --help of the program written one way: Qt's parser's help (usage,
// description, options, arguments), the program named as it was called, and
// for a command its name after the program's.
#pragma once

#include <QCommandLineParser>
#include <QString>

namespace tallyo::cli {

// `calledAs`: the program as it was called ("./frequency-tallyo"); `command`:
// "read", "set", or "" for the program itself; `after`: text that follows the
// options (the exit statuses).
QString helpText(const QCommandLineParser &parser, const QString &calledAs, const QString &command = {},
                 const QString &after = {});

} // namespace tallyo::cli
