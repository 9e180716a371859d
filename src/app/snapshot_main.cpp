// Writes a picture of the window as a user first sees it, for the README:
//   frequency-tallyo-snapshot window.png
#include "startup.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    tallyo::applyAppearance();
    tallyo::Form1Dependencies deps;
    deps.portMap = [](int) { return QString(); }; // the picture needs no port
    tallyo::Form1 window(std::move(deps));
    window.Form_Load();
    window.show();
    int rc = 1;
    QTimer::singleShot(300, [&] {
        rc = window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return rc;
}
