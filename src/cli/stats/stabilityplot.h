// The picture of a run: the readings against time (gaps shaded) above, the
// Allan deviations against tau on log-log axes below. Drawn once as a list of
// shapes, then painted into a PNG with Qt's raster engine or written as SVG
// text, so both files show the same.
#pragma once

#include "readingsfile.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPointF>
#include <QString>
#include <vector>

namespace tallyo::stats {

struct AllanPoint {
    double tau = 0; // seconds
    double adev = 0; // 0: none
    double mdev = 0; // 0: none
};

struct Shape {
    enum class Kind {
        Line,
        Box,
        Text,
        Circle,
        Square
    };
    Kind kind = Kind::Line;
    std::vector<QPointF> points; // a line's; a box's corners; where a text or a mark is
    QColor color = Qt::black;
    double width = 1; // of a line; a mark's size; a text's pixel size
    bool filled = false;
    QString text;
    Qt::Alignment align = Qt::AlignLeft; // of a text about its point: left, centre or right
    bool upright = false; // a text turned to run upwards
};

struct Figure {
    int width = 1000;
    int height = 700;
    std::vector<Shape> shapes;
};

// `points` with no deviation at all draw the lower panel's reason instead.
Figure stabilityFigure(const ReadingRun &run, const std::vector<AllanPoint> &points, const QString &lowerNote,
                       int width = 1000, int height = 700);

// Needs a QGuiApplication (for its fonts); any platform will do, offscreen too.
QImage paintFigure(const Figure &figure);
QByteArray svgOfFigure(const Figure &figure);

} // namespace tallyo::stats
