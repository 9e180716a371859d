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

class WinePrefix {
public:
    // Paths from the environment the build sets (TALLYO_WINE64,
    // TALLYO_WINESERVER, TALLYO_WINE_PREFIX).
    WinePrefix();
    ~WinePrefix();

    // Creates the prefix if needed and points COMn at `device`. Empty on
    // success, else what failed.
    QString prepare(int comPort, const QString &device);

    // A process running `exe` (a Linux path) under wine, not yet started.
    void setUp(QProcess &process, const QString &exe, const QStringList &arguments = {}) const;

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
