// The coverage picture and the day plot; see plots.h.
#include "kvrdb/plots.h"

#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "kvr/store.h"

namespace kvrplot {

namespace {

constexpr int kFontPixels = 11;
constexpr int kTitlePixels = 14;
constexpr int kTargetTicks = 10;  // at most about this many ticks on an axis
const QColor kGrid(0xD0, 0xD0, 0xD0);
const QColor kText(0x20, 0x20, 0x20);

QFont Font(int pixels, bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPixelSize(pixels);
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return font;
}

QDateTime Utc(double t) {
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(t * 1000.0)), QTimeZone::utc());
}

QString Name(const std::string& station, const std::string& channel, const std::string& location,
             double sps) {
    QString name = QString::fromStdString(station + "." + channel);
    if (!kvrLocationIsNone(location)) name += "." + QString::fromStdString(location);
    if (sps > 0) name += QString(" %1").arg(sps, 0, 'g', 6);
    return name;
}

// An axis tick: its time and its two label lines (the second only where the date changes).
struct Tick {
    double t;
    QString top, bottom;
};

// Ticks over [begin, end) at a step that gives at most about kTargetTicks: whole minutes or hours
// of the UTC day, whole days, or first days of months.
std::vector<Tick> Ticks(double begin, double end) {
    static const double kSteps[] = {1,     2,     5,      10,     15,     30,     60,    120,
                                    300,   600,   900,    1800,   3600,   7200,   10800, 21600,
                                    43200, 86400, 172800, 432000, 864000, 1296000};
    const double span = end - begin;
    std::vector<Tick> ticks;
    QString lastDate;
    auto add = [&](double t, const QString& top, const QString& date) {
        ticks.push_back({t, top, date != lastDate ? date : QString()});
        lastDate = date;
    };
    for (double step : kSteps) {
        if (span / step > kTargetTicks) continue;
        for (double t = std::ceil(begin / step) * step; t < end; t += step) {
            const QDateTime d = Utc(t);
            if (step < 86400)
                add(t, d.toString(step < 60 ? "HH:mm:ss" : "HH:mm"), d.toString("yyyy-MM-dd"));
            else
                add(t, d.toString("MM-dd"), d.toString("yyyy"));
        }
        return ticks;
    }
    // Months: the first of every n-th month.
    const int months = std::max(1, int(std::ceil(span / (30.44 * 86400) / kTargetTicks)));
    QDateTime d = Utc(begin);
    d = QDateTime(QDate(d.date().year(), d.date().month(), 1), QTime(0, 0), QTimeZone::utc());
    for (; double(d.toSecsSinceEpoch()) < end; d = d.addMonths(months))
        if (double(d.toSecsSinceEpoch()) >= begin)
            add(double(d.toSecsSinceEpoch()), d.toString("MMM"), d.toString("yyyy"));
    return ticks;
}

int RowHeight(int rows) {
    return std::clamp(600 / std::max(rows, 1), kMinRowHeight, kMaxRowHeight);
}

}  // namespace

int CoverageX(double t, double begin, double end) {
    const double width = kCoverageWidth - kRightMargin - kLabelWidth;
    const double f = std::clamp((t - begin) / (end - begin), 0.0, 1.0);
    return kLabelWidth + int(std::lround(f * width));
}

int CoverageRowY(int row, int rows) {
    return kCoverageTop + row * RowHeight(rows) + RowHeight(rows) / 2;
}

QImage DrawCoverage(const KVR_AVAILABILITY& a) {
    const int rows = int(a.channels.size());
    if (rows == 0 || !(a.end > a.begin)) return {};
    const int rowHeight = RowHeight(rows);
    const int plotBottom = kCoverageTop + rows * rowHeight;
    QImage image(kCoverageWidth, plotBottom + kAxisHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    const int left = kLabelWidth, right = kCoverageWidth - kRightMargin;

    size_t gaps = 0;
    for (const KVR_CHANNEL_AVAILABILITY& c : a.channels) gaps += c.gaps.size();
    p.setFont(Font(kTitlePixels, true));
    p.setPen(kText);
    p.drawText(QRect(0, 0, kCoverageWidth, kCoverageTop), Qt::AlignCenter,
               QString("Availability %1 .. %2 UTC: %3 channel(s), %4 gap(s)")
                   .arg(Utc(a.begin).toString("yyyy-MM-dd HH:mm:ss"),
                        Utc(a.end).toString("yyyy-MM-dd HH:mm:ss"))
                   .arg(rows)
                   .arg(gaps));

    for (int r = 0; r < rows; ++r)
        p.fillRect(left, kCoverageTop + r * rowHeight, right - left, rowHeight,
                   r % 2 ? kRowShade : kRowLight);
    const std::vector<Tick> ticks = Ticks(a.begin, a.end);
    p.setPen(kGrid);
    for (const Tick& t : ticks) {
        const int x = CoverageX(t.t, a.begin, a.end);
        p.drawLine(x, kCoverageTop, x, plotBottom);
    }
    // Bars fill the row less a pixel above and below, so that neighbouring rows stay apart; a
    // gap narrower than a pixel still takes one.
    const int inset = rowHeight > 4 ? 1 : 0;
    for (int r = 0; r < rows; ++r) {
        const KVR_CHANNEL_AVAILABILITY& c = a.channels[size_t(r)];
        const int top = kCoverageTop + r * rowHeight + inset;
        const int height = std::max(1, rowHeight - 2 * inset);
        for (const KVR_SPAN& s : c.spans) {
            const int x0 = CoverageX(s.start, a.begin, a.end);
            const int x1 = CoverageX(s.end, a.begin, a.end);
            p.fillRect(x0, top, std::max(1, x1 - x0), height, kSpanGreen);
        }
        for (const KVR_GAP& g : c.gaps) {
            const int x0 = CoverageX(g.start, a.begin, a.end);
            const int x1 = CoverageX(g.end, a.begin, a.end);
            p.fillRect(std::min(x0, right - 1), top, std::max(1, x1 - x0), height, kGapRed);
        }
    }

    // Names: every row's while they fit, else every n-th.
    p.setFont(Font(kFontPixels));
    p.setPen(kText);
    const int lineHeight = QFontMetrics(p.font()).height();
    const int every = std::max(1, (lineHeight + rowHeight - 1) / rowHeight);
    for (int r = 0; r < rows; r += every) {
        const KVR_CHANNEL_AVAILABILITY& c = a.channels[size_t(r)];
        p.drawText(QRect(4, CoverageRowY(r, rows) - lineHeight / 2, left - 8, lineHeight),
                   Qt::AlignRight | Qt::AlignVCenter,
                   Name(c.station, c.channel, c.location, c.sps));
    }
    p.setPen(kText);
    p.drawLine(left, plotBottom, right, plotBottom);
    for (const Tick& t : ticks) {
        const int x = CoverageX(t.t, a.begin, a.end);
        p.drawLine(x, plotBottom, x, plotBottom + 4);
        p.drawText(QRect(x - 60, plotBottom + 5, 120, lineHeight), Qt::AlignHCenter, t.top);
        p.drawText(QRect(x - 60, plotBottom + 5 + lineHeight, 120, lineHeight), Qt::AlignHCenter,
                   t.bottom);
    }
    return image;
}

int DayLineY(int line, int lines) {
    const double spacing = double(kDayHeight - kDayTop - kDayBottom) / lines;
    return kDayTop + int(std::lround((line + 0.5) * spacing));
}

int DayX(double second, double lineSeconds) {
    const double width = kDayWidth - kDayLeft - kDayRight;
    return kDayLeft + int(std::floor(std::clamp(second / lineSeconds, 0.0, 1.0) * (width - 1)));
}

QImage DrawDayPlot(const KVR_CHANNEL_DAY& day, int lineMinutes) {
    if (lineMinutes <= 0 || 1440 % lineMinutes != 0) return {};
    const int lines = 1440 / lineMinutes;
    const double lineSeconds = lineMinutes * 60.0;
    const double spacing = double(kDayHeight - kDayTop - kDayBottom) / lines;
    const int columns = kDayWidth - kDayLeft - kDayRight;

    // Each line's median, then the day's amplitude around them.
    std::vector<std::vector<float>> perLine(static_cast<size_t>(lines));
    auto lineOf = [&](double t) { return int(std::floor((t - day.dayStart) / lineSeconds)); };
    for (const KVR_DAY_SEGMENT& s : day.segments)
        for (size_t i = 0; i < s.samples.size(); ++i) {
            const int l = lineOf(s.start + double(i) / s.sps);
            if (l >= 0 && l < lines) perLine[size_t(l)].push_back(s.samples[i]);
        }
    std::vector<float> medians(static_cast<size_t>(lines), 0.0f);
    std::vector<float> deviations;
    for (int l = 0; l < lines; ++l) {
        std::vector<float>& v = perLine[size_t(l)];
        if (v.empty()) continue;
        std::vector<float> sorted = v;
        std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(sorted.size() / 2),
                         sorted.end());
        medians[size_t(l)] = sorted[sorted.size() / 2];
        for (float x : v) deviations.push_back(std::fabs(x - medians[size_t(l)]));
        v = {};
    }
    double amplitude = 0.0;
    if (!deviations.empty()) {
        const size_t k =
            std::min(deviations.size() - 1, size_t(kScalePercentile * double(deviations.size())));
        std::nth_element(deviations.begin(), deviations.begin() + std::ptrdiff_t(k),
                         deviations.end());
        amplitude = deviations[k];
    }
    const double scale = amplitude > 0 ? kScaleSpacing * spacing / amplitude : 0.0;
    const double clip = kClipSpacing * spacing;

    QImage image(kDayWidth, kDayHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setFont(Font(kTitlePixels, true));
    p.setPen(kText);
    p.drawText(QRect(0, 0, kDayWidth, kDayTop), Qt::AlignCenter,
               QString("%1   %2 UTC   lines of %3 min, %4 counts = %5 of a line")
                   .arg(Name(day.station, day.channel, day.location, 0),
                        Utc(day.dayStart).toString("yyyy-MM-dd"))
                   .arg(lineMinutes)
                   .arg(amplitude, 0, 'g', 4)
                   .arg(kScaleSpacing));

    // Per line and pixel column: the lowest and highest offset, and the first and last, so that
    // a column joins its neighbour; a column after a gap starts afresh.
    struct Column {
        bool has = false, joined = false;
        float low = 0, high = 0, first = 0, last = 0;
    };
    std::vector<std::vector<Column>> grid(static_cast<size_t>(lines),
                                          std::vector<Column>(static_cast<size_t>(columns)));
    for (const KVR_DAY_SEGMENT& s : day.segments) {
        bool continues = false;  // the sample before lies one interval earlier
        int lastLine = -1, lastColumn = -1;
        for (size_t i = 0; i < s.samples.size(); ++i) {
            const double t = s.start + double(i) / s.sps;
            const int l = lineOf(t);
            if (l < 0 || l >= lines) {
                continues = false;
                continue;
            }
            const int x = DayX(t - day.dayStart - l * lineSeconds, lineSeconds) - kDayLeft;
            const double offset =
                std::clamp((double(s.samples[i]) - medians[size_t(l)]) * scale, -clip, clip);
            const float y = float(-offset);  // up is positive
            Column& c = grid[size_t(l)][size_t(x)];
            if (!c.has) {
                c = {true, continues && l == lastLine && x == lastColumn + 1, y, y, y, y};
            } else {
                c.low = std::min(c.low, y);
                c.high = std::max(c.high, y);
                c.last = y;
            }
            continues = true;
            lastLine = l;
            lastColumn = x;
        }
    }
    p.setFont(Font(kFontPixels));
    const int lineHeight = QFontMetrics(p.font()).height();
    const int labelEvery = std::max(1, int(std::ceil(lineHeight / spacing)));
    for (int l = 0; l < lines; ++l) {
        const int y0 = DayLineY(l, lines);
        const QColor colour = kTraceColours[l % 4];
        const std::vector<Column>& row = grid[size_t(l)];
        for (int x = 0; x < columns; ++x) {
            const Column& c = row[size_t(x)];
            if (!c.has) continue;
            p.setPen(colour);
            float low = c.low, high = c.high;
            if (c.joined && x > 0 && row[size_t(x - 1)].has) {
                low = std::min(low, row[size_t(x - 1)].last);
                high = std::max(high, row[size_t(x - 1)].last);
            }
            p.drawLine(kDayLeft + x, y0 + int(std::lround(low)), kDayLeft + x,
                       y0 + int(std::lround(high)));
        }
        if (l % labelEvery == 0) {
            p.setPen(kText);
            p.drawText(QRect(0, y0 - lineHeight / 2, kDayLeft - 8, lineHeight),
                       Qt::AlignRight | Qt::AlignVCenter,
                       Utc(day.dayStart + l * lineSeconds).toString("HH:mm"));
        }
    }
    // Minutes along the lines.
    p.setPen(kText);
    const int axis = kDayHeight - kDayBottom + 4;
    const int stepMinutes = lineMinutes <= 15 ? 1 : lineMinutes <= 30 ? 5 : 10;
    for (int m = 0; m <= lineMinutes; m += stepMinutes) {
        const int x = DayX(m * 60.0, lineSeconds);
        p.drawLine(x, axis - 4, x, axis);
        p.drawText(QRect(x - 30, axis, 60, lineHeight), Qt::AlignHCenter,
                   QString("+%1 min").arg(m));
    }
    return image;
}

void StartOffscreen() {
    if (QCoreApplication::instance() != nullptr) return;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A command-line tool has no use for the platform's notes (a missing runtime folder and the
    // like): only Qt's errors reach standard error.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "kvrdb: %s\n", text.toLocal8Bit().constData());
    });
    static int argc = 1;
    static char name[] = "kvrdb";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

bool SavePng(const QImage& image, const std::string& path, std::string* error) {
    if (image.isNull()) {
        *error = "nothing to draw";
        return false;
    }
    if (image.save(QString::fromStdString(path), "PNG")) return true;
    *error = "cannot write " + path;
    return false;
}

}  // namespace kvrplot
