// A private wine prefix for running the Windows build: made once, with the
// window's font, and a COM port pointed at a simulated counter's pty.
// Wine's processes of this prefix only are ever stopped.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace tallyo::wine {

// The unzipped Windows package the build made, and the build's folder.
QString windowsPackage();
QString windowsBuild();
// A Linux path as wine's programs name it (Z:\...).
QString windowsPath(const QString &path);
// What a program wrote to a console (setUpInConsole), as plain text: the
// console's cursor and screen controls taken out, its line ends as "\n".
QString consoleText(const QByteArray &screen);

class WinePrefix {
public:
    // Paths from the environment the build sets (TALLYO_WINE64,
    // TALLYO_WINESERVER, TALLYO_WINE_PREFIX).
    WinePrefix();
    ~WinePrefix();

    // Creates the prefix if needed and points COMn at `device`. Empty on
    // success, else what failed.
    QString prepare(int comPort, const QString &device);

    // Runs a Windows program to its end; empty on success, else what failed.
    QString runProgram(const QString &exe, const QStringList &arguments);

    // A process running `exe` (a Linux path) under wine, not yet started.
    void setUp(QProcess &process, const QString &exe, const QStringList &arguments = {}) const;
    // The same, in a wine console on a terminal of its own, as a user runs a
    // program in a console window: "\x03" written to the process is Ctrl+C
    // typed there, its output is the console's screen, and its exit status
    // is the program's.
    void setUpInConsole(QProcess &process, const QString &exe, const QStringList &arguments = {}) const;

    // The prefix's C: drive, and the user's documents folder in it (a
    // folder of the prefix, not a link out of it).
    QString driveC() const;
    QString documents() const;

    // Ends every wine process of this prefix and waits for it.
    void stop();

private:
    QString run(const QString &program, const QStringList &arguments, int timeoutMs) const;
    QProcessEnvironment environment() const;

    QString m_wine;
    QString m_wineserver;
    QString m_prefix;
};

} // namespace tallyo::wine
