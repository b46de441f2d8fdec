#include "views/gui/Icons.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "app/CommandTable.h"

namespace {

const QColor kRed(220, 30, 30);
const QColor kYellow(240, 200, 0);
const QColor kBlue(30, 80, 220);
const QColor kCyan(0, 190, 210);
const QColor kGreen(0, 160, 40);
const QColor kOutline(60, 60, 60);

enum class EDir { Left, Right, Up, Down };

// A filled arrow inside the rectangle, pointing the given way.
void Arrow(QPainter& p, QRectF r, EDir dir, const QColor& fill, const QColor& tail = QColor())
{
    QPainterPath path;
    const bool bHorizontal = dir == EDir::Left || dir == EDir::Right;
    if (bHorizontal) {
        const qreal cy = r.center().y();
        const qreal shaft = r.height() / 5;
        const qreal headLen = r.width() * 0.45;
        if (dir == EDir::Right) {
            path.moveTo(r.left(), cy - shaft);
            path.lineTo(r.right() - headLen, cy - shaft);
            path.lineTo(r.right() - headLen, r.top());
            path.lineTo(r.right(), cy);
            path.lineTo(r.right() - headLen, r.bottom());
            path.lineTo(r.right() - headLen, cy + shaft);
            path.lineTo(r.left(), cy + shaft);
        } else {
            path.moveTo(r.right(), cy - shaft);
            path.lineTo(r.left() + headLen, cy - shaft);
            path.lineTo(r.left() + headLen, r.top());
            path.lineTo(r.left(), cy);
            path.lineTo(r.left() + headLen, r.bottom());
            path.lineTo(r.left() + headLen, cy + shaft);
            path.lineTo(r.right(), cy + shaft);
        }
    } else {
        const qreal cx = r.center().x();
        const qreal shaft = r.width() / 5;
        const qreal headLen = r.height() * 0.45;
        if (dir == EDir::Down) {
            path.moveTo(cx - shaft, r.top());
            path.lineTo(cx - shaft, r.bottom() - headLen);
            path.lineTo(r.left(), r.bottom() - headLen);
            path.lineTo(cx, r.bottom());
            path.lineTo(r.right(), r.bottom() - headLen);
            path.lineTo(cx + shaft, r.bottom() - headLen);
            path.lineTo(cx + shaft, r.top());
        } else {
            path.moveTo(cx - shaft, r.bottom());
            path.lineTo(cx - shaft, r.top() + headLen);
            path.lineTo(r.left(), r.top() + headLen);
            path.lineTo(cx, r.top());
            path.lineTo(r.right(), r.top() + headLen);
            path.lineTo(cx + shaft, r.top() + headLen);
            path.lineTo(cx + shaft, r.bottom());
        }
    }
    path.closeSubpath();
    if (tail.isValid()) {
        // Two-coloured arrow: the tail half in the second colour.
        QLinearGradient g(bHorizontal ? QPointF(r.left(), 0) : QPointF(0, r.top()),
                          bHorizontal ? QPointF(r.right(), 0) : QPointF(0, r.bottom()));
        const bool bTailFirst = dir == EDir::Right || dir == EDir::Down;
        g.setColorAt(0, bTailFirst ? tail : fill);
        g.setColorAt(0.499, bTailFirst ? tail : fill);
        g.setColorAt(0.5, bTailFirst ? fill : tail);
        g.setColorAt(1, bTailFirst ? fill : tail);
        p.setBrush(g);
    } else {
        p.setBrush(fill);
    }
    p.setPen(QPen(kOutline, 0.8));
    p.drawPath(path);
}

void Exclamation(QPainter& p, const QColor& c)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(c);
    QPainterPath bar;
    bar.moveTo(5.5, 1);
    bar.lineTo(10.5, 1);
    bar.lineTo(9, 10);
    bar.lineTo(7, 10);
    bar.closeSubpath();
    p.drawPath(bar);
    p.drawEllipse(QRectF(6, 11.5, 4, 4));
}

void Page(QPainter& p, QRectF r)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(Qt::white);
    QPainterPath path;
    const qreal fold = r.width() / 3;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.drawPath(path);
    p.setPen(QPen(QColor(150, 150, 150), 0.8));
    for (qreal y = r.top() + fold + 1.5; y < r.bottom() - 1; y += 2.5)
        p.drawLine(QPointF(r.left() + 1.5, y), QPointF(r.right() - 1.5, y));
}

void Figure(QPainter& p, QRectF r)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(kCyan);
    const qreal cx = r.center().x();
    const qreal head = r.width() * 0.55;
    p.drawEllipse(QRectF(cx - head / 2, r.top(), head, head));
    QPainterPath body;
    body.moveTo(r.left(), r.bottom());
    body.lineTo(r.left(), r.top() + head + 2);
    body.quadTo(cx, r.top() + head - 1, r.right(), r.top() + head + 2);
    body.lineTo(r.right(), r.bottom());
    body.closeSubpath();
    p.drawPath(body);
}

// A plug: a body with two pins pointing the given way.
void Plug(QPainter& p, const QColor& c, bool bRight)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(c);
    const QRectF body = bRight ? QRectF(2, 4, 7, 8) : QRectF(7, 4, 7, 8);
    p.drawRoundedRect(body, 1.5, 1.5);
    p.setBrush(QColor(180, 180, 180));
    if (bRight) {
        p.drawRect(QRectF(9, 5.5, 5, 1.5));
        p.drawRect(QRectF(9, 9, 5, 1.5));
        p.drawLine(QPointF(0, 8), QPointF(2, 8));
    } else {
        p.drawRect(QRectF(2, 5.5, 5, 1.5));
        p.drawRect(QRectF(2, 9, 5, 1.5));
        p.drawLine(QPointF(14, 8), QPointF(16, 8));
    }
}

void Socket(QPainter& p, const QColor& c)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(c);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setBrush(QColor(40, 40, 40));
    p.drawRect(QRectF(5, 5, 1.5, 6));
    p.drawRect(QRectF(9.5, 5, 1.5, 6));
}

void Cassette(QPainter& p)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(QColor(90, 90, 90));
    p.drawRoundedRect(QRectF(0.5, 3, 15, 10), 1.5, 1.5);
    p.setBrush(QColor(240, 230, 200));
    p.drawRect(QRectF(2.5, 4.5, 11, 4.5));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(3.5, 5, 3.5, 3.5));
    p.drawEllipse(QRectF(9, 5, 3.5, 3.5));
    p.setBrush(QColor(60, 60, 60));
    p.drawRect(QRectF(5, 10, 6, 2.5));
}

void Dish(QPainter& p, bool bStanding)
{
    p.setPen(QPen(kOutline, 0.8));
    if (bStanding) {
        p.setBrush(kBlue);
        QPainterPath stand;
        stand.moveTo(6, 9);
        stand.lineTo(3, 15.5);
        stand.lineTo(11, 15.5);
        stand.lineTo(8, 9);
        stand.closeSubpath();
        p.drawPath(stand);
        p.setBrush(kYellow);
        p.drawChord(QRectF(0.5, 1, 13, 11), 30 * 16, 180 * 16);
        p.setPen(QPen(kOutline, 1));
        p.drawLine(QPointF(6, 6), QPointF(12, 2.5));
        p.setBrush(kRed);
        p.drawEllipse(QRectF(11, 1, 3.5, 3.5));
    } else {
        p.setBrush(kYellow);
        p.drawChord(QRectF(1.5, 4, 13, 11), 200 * 16, 180 * 16);
        p.setPen(QPen(kOutline, 1));
        p.drawLine(QPointF(8, 10), QPointF(14, 13));
    }
}

// A transparent picture of w x h pixels as the layout counts them, holding
// dDpr device pixels for each: painted on it, a painter draws in those
// layout pixels, and the shapes come out as sharp on a screen of that pixel
// ratio as at 1. A 16-pixel picture shown on a screen with a scale factor of
// 2 was blown up, every edge blurred.
QPixmap Blank(int w, int h, qreal dDpr = 1.0)
{
    QPixmap pixmap(static_cast<int>(std::ceil(w * dDpr)), static_cast<int>(std::ceil(h * dDpr)));
    pixmap.setDevicePixelRatio(dDpr);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// The pixel ratios a picture is painted for: 1, the application's own (the
// highest of its screens) and 2 and 3 for windows moved to a finer screen.
std::vector<qreal> IconPixelRatios()
{
    std::vector<qreal> ratios{1.0, 2.0, 3.0};
    const qreal dApp = qApp ? qApp->devicePixelRatio() : 1.0;
    if (std::find(ratios.begin(), ratios.end(), dApp) == ratios.end())
        ratios.push_back(dApp);
    return ratios;
}

QPixmap PaintEventIcon(int nIndex, qreal dDpr)
{
    QPixmap pixmap = Blank(16, 16, dDpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF full(0.5, 2.5, 15, 11);
    const QRectF half(8, 3.5, 7.5, 9);
    const QRectF leftHalf(0.5, 3.5, 7.5, 9);
    switch (nIndex) {
    case 0: Arrow(p, full, EDir::Left, kRed, kYellow); break;
    case 1: Arrow(p, full, EDir::Right, kYellow, kRed); break;
    case 2: Arrow(p, full, EDir::Left, kYellow); break;
    case 3: Arrow(p, full, EDir::Right, kRed); break;
    case 4: Arrow(p, full, EDir::Right, kYellow); break;
    case 5: Arrow(p, full, EDir::Left, kRed); break;
    case 6: Exclamation(p, kRed); break;
    case 7: Exclamation(p, kYellow); break;
    case 8: Exclamation(p, kGreen); break;
    case 9: Plug(p, kYellow, true); break;
    case 10: Plug(p, kRed, false); break;
    case 11: Socket(p, kYellow); break;
    case 12: Socket(p, kRed); break;
    case 13:
        Arrow(p, leftHalf, EDir::Left, kRed);
        Page(p, QRectF(9, 1.5, 6.5, 13));
        break;
    case 14:
        Page(p, QRectF(0.5, 1.5, 6.5, 13));
        Arrow(p, half, EDir::Right, kYellow);
        break;
    case 15:
        Figure(p, QRectF(0.5, 2, 6.5, 12));
        Arrow(p, half, EDir::Right, kRed);
        break;
    case 16:
        Arrow(p, leftHalf, EDir::Left, kRed);
        Figure(p, QRectF(9, 2, 6.5, 12));
        break;
    case 17:
        Arrow(p, leftHalf, EDir::Left, kYellow);
        Figure(p, QRectF(9, 2, 6.5, 12));
        break;
    case 18:
        Figure(p, QRectF(0.5, 2, 6.5, 12));
        Arrow(p, half, EDir::Right, kYellow);
        break;
    case 19: Cassette(p); break;
    case 20: Arrow(p, QRectF(3, 0.5, 10, 15), EDir::Down, kBlue); break;
    case 21: Arrow(p, QRectF(3, 0.5, 10, 15), EDir::Up, kBlue); break;
    case 22: Dish(p, true); break;
    case 23: Dish(p, false); break;
    case 24:
        Arrow(p, QRectF(0.5, 0.5, 7, 15), EDir::Up, kBlue);
        Arrow(p, QRectF(8.5, 0.5, 7, 15), EDir::Down, kCyan);
        break;
    default: break;
    }
    return pixmap;
}

void Floppy(QPainter& p, const QColor& c)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(c);
    p.drawRect(QRectF(1.5, 1.5, 12, 12));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 1.5, 7, 4.5));
    p.setBrush(QColor(200, 200, 200));
    p.drawRect(QRectF(4, 8.5, 7, 5));
}

void Folder(QPainter& p)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(QColor(235, 190, 60));
    QPainterPath path;
    path.moveTo(1, 3);
    path.lineTo(5.5, 3);
    path.lineTo(7, 4.5);
    path.lineTo(14, 4.5);
    path.lineTo(14, 13);
    path.lineTo(1, 13);
    path.closeSubpath();
    p.drawPath(path);
}

void Cross(QPainter& p, QRectF r)
{
    p.setPen(QPen(kRed, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(r.topLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomLeft());
}

void Scissors(QPainter& p)
{
    p.setPen(QPen(kOutline, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(4, 1), QPointF(10, 10));
    p.drawLine(QPointF(11, 1), QPointF(5, 10));
    p.setPen(QPen(kRed, 1.4));
    p.drawEllipse(QRectF(1.5, 9.5, 4, 4));
    p.drawEllipse(QRectF(9.5, 9.5, 4, 4));
}

void Printer(QPainter& p)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 1, 8, 5));
    p.setBrush(QColor(190, 190, 190));
    p.drawRoundedRect(QRectF(1, 5.5, 14, 6), 1, 1);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 9.5, 8, 4.5));
    p.setBrush(kGreen);
    p.drawEllipse(QRectF(12, 7, 1.5, 1.5));
}

void Reload(QPainter& p)
{
    p.setPen(QPen(kGreen, 2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(2.5, 2.5, 10, 10), 60 * 16, 280 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    QPainterPath head;
    head.moveTo(9, 0.5);
    head.lineTo(13.5, 3.5);
    head.lineTo(8.5, 6);
    head.closeSubpath();
    p.drawPath(head);
}

void Help(QPainter& p)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(QColor(255, 255, 200));
    p.drawEllipse(QRectF(1, 0.5, 13.5, 13.5));
    QFont font = p.font();
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    p.setPen(kBlue);
    p.drawText(QRectF(1, 0.5, 13.5, 13.5), Qt::AlignCenter, QStringLiteral("?"));
}

void StopHand(QPainter& p, const QColor& c)
{
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(c);
    QPolygonF octagon;
    for (int i = 0; i < 8; ++i) {
        const qreal a = (22.5 + 45.0 * i) * 3.14159265358979 / 180.0;
        octagon << QPointF(7.5 + 6.8 * std::cos(a), 7.5 + 6.8 * std::sin(a));
    }
    p.drawPolygon(octagon);
    p.setPen(QPen(Qt::white, 1.6));
    p.drawLine(QPointF(4.5, 7.5), QPointF(10.5, 7.5));
}

QPixmap PaintToolbarIcon(unsigned int nID, qreal dDpr)
{
    QPixmap pixmap = Blank(16, 15, dDpr);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (nID) {
    case ID_FILE_NEW: Page(p, QRectF(3, 0.5, 10, 14)); break;
    case ID_FILE_OPEN: Folder(p); break;
    case ID_FILE_SAVE: Floppy(p, QColor(60, 90, 170)); break;
    case ID_EDIT_ERASE_EDITOR:
        Page(p, QRectF(2, 0.5, 10, 14));
        Cross(p, QRectF(8, 7, 6, 6));
        break;
    case ID_FILE_LOAD_TO_EDITOR:
        Page(p, QRectF(6, 0.5, 9.5, 14));
        Arrow(p, QRectF(0.5, 4, 8, 7), EDir::Right, kGreen);
        break;
    case ID_FILE_SAVE_FROM_EDITOR:
        Page(p, QRectF(0.5, 0.5, 9.5, 14));
        Arrow(p, QRectF(7.5, 4, 8, 7), EDir::Right, kGreen);
        break;
    case ID_EDIT_ERASE_ALL:
        p.setPen(QPen(kOutline, 0.8));
        p.setBrush(Qt::white);
        for (int i = 0; i < 3; ++i)
            p.drawRect(QRectF(1.5, 1.5 + 4 * i, 12, 3));
        Cross(p, QRectF(3, 2, 9, 10));
        break;
    case ID_FILE_SAVE_SPECIAL:
        Floppy(p, QColor(130, 60, 160));
        p.setPen(Qt::NoPen);
        p.setBrush(kYellow);
        p.drawEllipse(QRectF(10, 9, 5.5, 5.5));
        break;
    case ID_EDIT_CUT: Scissors(p); break;
    case ID_EDIT_COPY:
        Page(p, QRectF(1, 0.5, 8, 10));
        Page(p, QRectF(6, 4.5, 8, 10));
        break;
    case ID_EDIT_PASTE:
        p.setPen(QPen(kOutline, 0.8));
        p.setBrush(QColor(170, 120, 60));
        p.drawRoundedRect(QRectF(1.5, 1.5, 10, 13), 1, 1);
        Page(p, QRectF(6, 5, 8.5, 9.5));
        break;
    case ID_CONNECTION_START: Plug(p, kGreen, true); break;
    case ID_CONNECTION_END: Socket(p, QColor(150, 150, 150)); Cross(p, QRectF(4, 4, 8, 8)); break;
    case ID_CONNECTION_START_PLAYBACK: Cassette(p); break;
    case ID_CONNECTION_GET_FROM_CLIENT:
        Arrow(p, QRectF(0.5, 3.5, 8, 8), EDir::Right, kRed);
        Page(p, QRectF(8.5, 0.5, 7, 14));
        break;
    case ID_CONNECTION_SEND_TO_SERVER:
        Page(p, QRectF(0.5, 0.5, 7, 14));
        Arrow(p, QRectF(7.5, 3.5, 8, 8), EDir::Right, kYellow);
        break;
    case ID_CONNECTION_SEND_TO_CLIENT:
        Arrow(p, QRectF(0.5, 3.5, 8, 8), EDir::Left, kRed);
        Page(p, QRectF(8.5, 0.5, 7, 14));
        break;
    case ID_CONNECTION_GET_FROM_SERVER:
        Page(p, QRectF(0.5, 0.5, 7, 14));
        Arrow(p, QRectF(7.5, 3.5, 8, 8), EDir::Left, kYellow);
        break;
    case ID_CONNECTION_STOP_WAIT_CLIENT: StopHand(p, kRed); break;
    case ID_CONNECTION_STOP_WAITING_SERVER: StopHand(p, kYellow); break;
    case ID_DATAGRAM_START: Dish(p, true); break;
    case ID_DATAGRAM_STOP: Dish(p, false); break;
    case ID_DATAGRAM_SEND: Arrow(p, QRectF(3, 0.5, 10, 14), EDir::Up, kBlue); break;
    case ID_DATAGRAM_SEND_TO:
        Arrow(p, QRectF(0.5, 0.5, 9, 14), EDir::Up, kBlue);
        p.setPen(Qt::NoPen);
        p.setBrush(kOutline);
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QRectF(10.5 + 0 * i, 4 + 3.5 * i, 2.5, 2.5));
        break;
    case ID_VIEW_RELOAD: Reload(p); break;
    case ID_FILE_PRINT: Printer(p); break;
    case ID_APP_ABOUT: Help(p); break;
    default: return QPixmap();
    }
    return pixmap;
}

}  // namespace

const QPixmap& EventIconPixmap(int nIndex)
{
    // Painted for the finest screen of the application, again when that
    // changes (a screen added or its scale changed).
    static std::array<QPixmap, kEventIconCount> icons;
    static qreal dPaintedFor = 0.0;
    const qreal dDpr = qApp ? qApp->devicePixelRatio() : 1.0;
    if (dPaintedFor != dDpr) {
        for (int i = 0; i < kEventIconCount; ++i)
            icons[static_cast<std::size_t>(i)] = PaintEventIcon(i, dDpr);
        dPaintedFor = dDpr;
    }
    if (nIndex < 0 || nIndex >= kEventIconCount)
        nIndex = 0;
    return icons[static_cast<std::size_t>(nIndex)];
}

QIcon ToolbarIcon(unsigned int nID)
{
    // One picture per pixel ratio: the button takes the one of its screen.
    QIcon icon;
    for (const qreal dDpr : IconPixelRatios()) {
        const QPixmap pixmap = PaintToolbarIcon(nID, dDpr);
        if (pixmap.isNull())
            return QIcon();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon AppIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap pixmap = Blank(size, size);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 16.0, size / 16.0);
        p.setPen(QPen(kOutline, 0.6));
        p.setBrush(QColor(40, 40, 60));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 2.5, 2.5);
        Arrow(p, QRectF(1.5, 2, 13, 5.5), EDir::Right, kRed);
        Arrow(p, QRectF(1.5, 8.5, 13, 5.5), EDir::Left, kYellow);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
