#include "stabilityplot.h"

#include "stability.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace tallyo::stats {

namespace {

const QColor kAxis(0x33, 0x33, 0x33);
const QColor kGrid(0xdd, 0xdd, 0xdd);
const QColor kGapShade(0xf2, 0xd7, 0xd5);
const QColor kReadings(0x1f, 0x5f, 0xa8);
const QColor kAllan(0x1f, 0x5f, 0xa8);
const QColor kModified(0xd9, 0x6b, 0x0b);
constexpr double kLabelSize = 12;
constexpr double kTitleSize = 14;

struct Panel {
    double left, top, right, bottom;
    double width() const { return right - left; }
    double height() const { return bottom - top; }
};

void line(Figure &f, std::vector<QPointF> points, const QColor &color, double width = 1)
{
    Shape s;
    s.points = std::move(points);
    s.color = color;
    s.width = width;
    f.shapes.push_back(std::move(s));
}

void box(Figure &f, QPointF topLeft, QPointF bottomRight, const QColor &color, bool filled)
{
    Shape s;
    s.kind = Shape::Kind::Box;
    s.points = {topLeft, bottomRight};
    s.color = color;
    s.filled = filled;
    f.shapes.push_back(std::move(s));
}

void text(Figure &f, QPointF at, const QString &words, Qt::Alignment align, double size = kLabelSize,
          bool upright = false)
{
    Shape s;
    s.kind = Shape::Kind::Text;
    s.points = {at};
    s.text = words;
    s.align = align;
    s.width = size;
    s.upright = upright;
    s.color = kAxis;
    f.shapes.push_back(std::move(s));
}

void mark(Figure &f, Shape::Kind kind, QPointF at, const QColor &color)
{
    Shape s;
    s.kind = kind;
    s.points = {at};
    s.color = color;
    s.width = 7;
    s.filled = true;
    f.shapes.push_back(std::move(s));
}

// The round step (1, 2 or 5 times a power of ten) that cuts `span` into
// about five.
double niceStep(double span)
{
    const double power = std::pow(10.0, std::floor(std::log10(span / 5)));
    double best = power;
    for (const double step : {power, 2 * power, 5 * power, 10 * power})
        if (std::abs(span / step - 5) < std::abs(span / best - 5))
            best = step;
    return best;
}

QString tickLabel(double value, double step)
{
    const int decimals = std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
    return QString::number(std::abs(value) < step / 1e6 ? 0.0 : value, 'f', decimals);
}

QString powerOfTen(int exponent)
{
    static const char16_t *const kSuperscripts[] = {u"\u2070", u"\u00b9", u"\u00b2", u"\u00b3", u"\u2074",
                                                    u"\u2075", u"\u2076", u"\u2077", u"\u2078", u"\u2079"};
    QString digits;
    for (const QChar c : QString::number(std::abs(exponent)))
        digits += QString::fromUtf16(kSuperscripts[c.digitValue()]);
    return QStringLiteral("10") + (exponent < 0 ? QStringLiteral("\u207b") : QString()) + digits;
}

void readingsPanel(Figure &f, const Panel &p, const ReadingRun &run)
{
    const auto &values = run.values;
    const double duration = run.times.back();
    const double timeUnit = duration >= 2 * 3600 ? 3600 : duration >= 120 ? 60 : 1;
    const QString timeName = timeUnit == 3600 ? QStringLiteral("hours")
        : timeUnit == 60                      ? QStringLiteral("minutes")
                                              : QStringLiteral("seconds");
    const auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
    double low = *lowest / run.scale;
    double high = *highest / run.scale;
    const double pad = high > low ? (high - low) * 0.06 : std::max(std::abs(low) * 1e-9, 1e-12);
    low -= pad;
    high += pad;
    const double end = duration > 0 ? duration / timeUnit : 1;
    auto xOf = [&](double t) { return p.left + t / timeUnit / end * p.width(); };
    auto yOf = [&](double v) { return p.bottom - (v / run.scale - low) / (high - low) * p.height(); };

    // Grid and ticks.
    const double yStep = niceStep(high - low);
    for (double v = std::ceil(low / yStep) * yStep; v <= high; v += yStep) {
        const double y = p.bottom - (v - low) / (high - low) * p.height();
        line(f, {{p.left, y}, {p.right, y}}, kGrid);
        text(f, {p.left - 6, y + 4}, tickLabel(v, yStep), Qt::AlignRight);
    }
    const double xStep = niceStep(end);
    for (double t = 0; t <= end * (1 + 1e-9); t += xStep) {
        const double x = p.left + t / end * p.width();
        line(f, {{x, p.top}, {x, p.bottom}}, kGrid);
        text(f, {x, p.bottom + 16}, tickLabel(t, xStep), Qt::AlignHCenter);
    }

    // The gaps, shaded from the reading before to the reading after.
    for (const std::size_t split : run.splits)
        box(f, {xOf(run.times[split - 1]), p.top}, {xOf(run.times[split]), p.bottom}, kGapShade, true);

    // The readings, stretch by stretch: at most the lowest and the highest
    // of each pixel column.
    for (const Stretch &s : stretchesOf(values.size(), run.splits)) {
        std::vector<QPointF> points;
        int column = -1;
        double columnLow = 0, columnHigh = 0;
        auto flush = [&] {
            if (column < 0)
                return;
            points.emplace_back(column + 0.5, yOf(columnLow));
            if (columnHigh != columnLow)
                points.emplace_back(column + 0.5, yOf(columnHigh));
        };
        for (std::size_t i = s.begin; i < s.end; ++i) {
            const int c = int(std::floor(xOf(run.times[i])));
            if (c != column) {
                flush();
                column = c;
                columnLow = columnHigh = values[i];
            } else {
                columnLow = std::min(columnLow, values[i]);
                columnHigh = std::max(columnHigh, values[i]);
            }
        }
        flush();
        if (points.size() == 1)
            mark(f, Shape::Kind::Circle, points.front(), kReadings);
        else
            line(f, std::move(points), kReadings, 1);
    }

    box(f, {p.left, p.top}, {p.right, p.bottom}, kAxis, false);
    const QString unit =
        run.shownUnit.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(run.shownUnit));
    text(f, {p.left, p.top - 10}, QStringLiteral("Readings%1").arg(unit), Qt::AlignLeft, kTitleSize);
    text(f, {(p.left + p.right) / 2, p.bottom + 34},
         run.timed ? QStringLiteral("%1 from %2").arg(timeName, run.firstTime)
                   : QStringLiteral("%1 from the first reading").arg(timeName),
         Qt::AlignHCenter);
}

void allanPanel(Figure &f, const Panel &p, const std::vector<AllanPoint> &points, const QString &note)
{
    box(f, {p.left, p.top}, {p.right, p.bottom}, kAxis, false);
    text(f, {p.left, p.top - 10}, QStringLiteral("Allan deviation of fractional frequency"), Qt::AlignLeft, kTitleSize);
    double tauLow = HUGE_VAL, tauHigh = 0, devLow = HUGE_VAL, devHigh = 0;
    for (const AllanPoint &a : points) {
        for (const double d : {a.adev, a.mdev}) {
            if (d > 0) {
                tauLow = std::min(tauLow, a.tau);
                tauHigh = std::max(tauHigh, a.tau);
                devLow = std::min(devLow, d);
                devHigh = std::max(devHigh, d);
            }
        }
    }
    if (devHigh <= 0) {
        text(f, {(p.left + p.right) / 2, (p.top + p.bottom) / 2}, note, Qt::AlignHCenter);
        return;
    }
    const int x0 = int(std::floor(std::log10(tauLow))), x1 = std::max(x0 + 1, int(std::ceil(std::log10(tauHigh))));
    const int y0 = int(std::floor(std::log10(devLow))), y1 = std::max(y0 + 1, int(std::ceil(std::log10(devHigh))));
    auto xOf = [&](double tau) { return p.left + (std::log10(tau) - x0) / (x1 - x0) * p.width(); };
    auto yOf = [&](double dev) { return p.bottom - (std::log10(dev) - y0) / (y1 - y0) * p.height(); };
    for (int e = x0; e <= x1; ++e) {
        line(f, {{xOf(std::pow(10.0, e)), p.top}, {xOf(std::pow(10.0, e)), p.bottom}}, kGrid);
        text(f, {xOf(std::pow(10.0, e)), p.bottom + 18}, powerOfTen(e), Qt::AlignHCenter);
    }
    for (int e = y0; e <= y1; ++e) {
        line(f, {{p.left, yOf(std::pow(10.0, e))}, {p.right, yOf(std::pow(10.0, e))}}, kGrid);
        text(f, {p.left - 6, yOf(std::pow(10.0, e)) + 5}, powerOfTen(e), Qt::AlignRight);
    }
    text(f, {(p.left + p.right) / 2, p.bottom + 38}, QStringLiteral("tau (seconds)"), Qt::AlignHCenter);

    struct Series {
        double AllanPoint::*member;
        Shape::Kind kind;
        QColor color;
        QString name;
    };
    const Series series[] = {{&AllanPoint::adev, Shape::Kind::Circle, kAllan, QStringLiteral("overlapping Allan")},
                             {&AllanPoint::mdev, Shape::Kind::Square, kModified, QStringLiteral("modified Allan")}};
    double legendY = p.top + 20;
    for (const Series &s : series) {
        std::vector<QPointF> joined;
        for (const AllanPoint &a : points)
            if (a.*s.member > 0)
                joined.emplace_back(xOf(a.tau), yOf(a.*s.member));
        if (joined.empty())
            continue;
        line(f, joined, s.color, 1.2);
        for (const QPointF &at : joined)
            mark(f, s.kind, at, s.color);
        mark(f, s.kind, {p.right - 150, legendY - 4}, s.color);
        text(f, {p.right - 140, legendY}, s.name, Qt::AlignLeft);
        legendY += 18;
    }
}

QString svgColor(const QColor &c)
{
    return c.name(QColor::HexRgb);
}

QString svgNumber(double v)
{
    return QString::number(v, 'f', 1);
}

} // namespace

Figure stabilityFigure(const ReadingRun &run, const std::vector<AllanPoint> &points, const QString &lowerNote,
                       int width, int height)
{
    Figure f;
    f.width = width;
    f.height = height;
    const double left = 110, right = width - 30;
    const double split = height * 0.52;
    readingsPanel(f, {left, 40, right, split - 50}, run);
    allanPanel(f, {left, split + 30, right, double(height) - 55}, points, lowerNote);
    return f;
}

QImage paintFigure(const Figure &figure)
{
    QImage image(figure.width, figure.height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font(QStringLiteral("DejaVu Sans"));
    for (const Shape &s : figure.shapes) {
        switch (s.kind) {
        case Shape::Kind::Line:
            painter.setPen(QPen(s.color, s.width));
            painter.drawPolyline(s.points.data(), int(s.points.size()));
            break;
        case Shape::Kind::Box:
            if (s.filled)
                painter.fillRect(QRectF(s.points[0], s.points[1]), s.color);
            else {
                painter.setPen(QPen(s.color, 1));
                painter.setBrush(Qt::NoBrush);
                painter.drawRect(QRectF(s.points[0], s.points[1]));
            }
            break;
        case Shape::Kind::Circle:
        case Shape::Kind::Square: {
            painter.setPen(Qt::NoPen);
            painter.setBrush(s.color);
            const QRectF r(s.points[0] - QPointF(s.width / 2, s.width / 2), QSizeF(s.width, s.width));
            if (s.kind == Shape::Kind::Circle)
                painter.drawEllipse(r);
            else
                painter.drawRect(r);
            break;
        }
        case Shape::Kind::Text: {
            font.setPixelSize(int(s.width));
            painter.setFont(font);
            painter.setPen(s.color);
            const double w = QFontMetricsF(font).horizontalAdvance(s.text);
            const double shift = s.align & Qt::AlignRight ? -w : s.align & Qt::AlignHCenter ? -w / 2 : 0;
            painter.save();
            painter.translate(s.points[0]);
            if (s.upright)
                painter.rotate(-90);
            painter.drawText(QPointF(shift, 0), s.text);
            painter.restore();
            break;
        }
        }
    }
    return image;
}

QByteArray svgOfFigure(const Figure &figure)
{
    QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
                                 "viewBox=\"0 0 %1 %2\" font-family=\"DejaVu Sans, Verdana, sans-serif\">\n"
                                 "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n")
                      .arg(figure.width)
                      .arg(figure.height);
    for (const Shape &s : figure.shapes) {
        const QPointF at = s.points.empty() ? QPointF() : s.points[0];
        switch (s.kind) {
        case Shape::Kind::Line: {
            QString points;
            for (const QPointF &p : s.points)
                points += svgNumber(p.x()) + QLatin1Char(',') + svgNumber(p.y()) + QLatin1Char(' ');
            svg += QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"%3\"/>\n")
                       .arg(points.trimmed(), svgColor(s.color), QString::number(s.width));
            break;
        }
        case Shape::Kind::Box: {
            const QRectF r(s.points[0], s.points[1]);
            svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" %5/>\n")
                       .arg(svgNumber(r.x()), svgNumber(r.y()), svgNumber(r.width()), svgNumber(r.height()),
                            s.filled ? QStringLiteral("fill=\"%1\"").arg(svgColor(s.color))
                                     : QStringLiteral("fill=\"none\" stroke=\"%1\"").arg(svgColor(s.color)));
            break;
        }
        case Shape::Kind::Circle:
            svg += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>\n")
                       .arg(svgNumber(at.x()), svgNumber(at.y()), QString::number(s.width / 2), svgColor(s.color));
            break;
        case Shape::Kind::Square:
            svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%3\" fill=\"%4\"/>\n")
                       .arg(svgNumber(at.x() - s.width / 2), svgNumber(at.y() - s.width / 2), QString::number(s.width),
                            svgColor(s.color));
            break;
        case Shape::Kind::Text:
            svg +=
                QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"%3\" fill=\"%4\" text-anchor=\"%5\"%6>%7</text>\n")
                    .arg(svgNumber(at.x()), svgNumber(at.y()), QString::number(s.width), svgColor(s.color),
                         s.align & Qt::AlignRight         ? QStringLiteral("end")
                             : s.align & Qt::AlignHCenter ? QStringLiteral("middle")
                                                          : QStringLiteral("start"),
                         s.upright ? QStringLiteral(" transform=\"rotate(-90 %1 %2)\"")
                                         .arg(svgNumber(at.x()), svgNumber(at.y()))
                                   : QString(),
                         s.text.toHtmlEscaped());
            break;
        }
    }
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}

} // namespace tallyo::stats
