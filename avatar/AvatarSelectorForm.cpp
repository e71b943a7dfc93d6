#include "AvatarSelectorForm.h"

#include "ui_AvatarSelectorForm.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

AvatarSelectorForm::AvatarSelectorForm(QWidget *parent) : QWidget(parent), ui(new Ui::AvatarSelectorForm)
{
    ui->setupUi(this);
    setMouseTracking(true);
}

AvatarSelectorForm::~AvatarSelectorForm()
{
    delete ui;
}

QRect AvatarSelectorForm::fitRect(const QSize &widget, const QSize &picture)
{
    const int W = widget.width();
    const int H = widget.height();
    const double ratio = double(picture.width()) / picture.height();
    if (double(W) / H > ratio) {
        const int slack = int(W - ratio * H);
        const int left = slack / 2;
        return QRect(QPoint(left, 0), QPoint(left - slack + W - 1, H - 1));
    }
    const int slack = int(H - W / ratio);
    const int top = slack / 2;
    return QRect(QPoint(0, top), QPoint(W - 1, top - slack + H - 1));
}

QPoint AvatarSelectorForm::handleCentre(const QRect &s, HandleDirection handle)
{
    const int cx = (s.left() + s.right()) / 2;
    const int cy = (s.top() + s.bottom()) / 2;
    const int x = (handle & Left) ? s.left() : (handle & Right) ? s.right() : cx;
    const int y = (handle & Top) ? s.top() : (handle & Bottom) ? s.bottom() : cy;
    return QPoint(x, y);
}

void AvatarSelectorForm::setPixmap(const QPixmap &pixmap)
{
    if (pixmap.isNull())
        return;
    sourcePixmap = pixmap;
    fitPixmap();
    cutAndEmit();
}

void AvatarSelectorForm::fitPixmap()
{
    pixmapRect = fitRect(size(), sourcePixmap.size());
    update();
}

void AvatarSelectorForm::resizeEvent(QResizeEvent *)
{
    const int a = (width() - 1) / 2;
    const int b = (height() - 1) / 2;
    selectedRect = QRect(QPoint(a - 60, b - 60), QPoint(a + 59, b + 59));
    if (sourcePixmap.isNull())
        pixmapRect = QRect(QPoint(0, 0), QPoint(width() - 1, height() - 1));
    else
        fitPixmap();
}

void AvatarSelectorForm::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (sourcePixmap.isNull()) {
        const QPixmap placeholder(QStringLiteral(":/Avatar/images/no-camera.png"));
        painter.drawPixmap((width() - 1) / 2 - (placeholder.width() - 1) / 2,
                           (height() - 1) / 2 - (placeholder.height() - 1) / 2, placeholder);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawPixmap(pixmapRect, sourcePixmap);

    const QRect square = selectedRect.normalized();
    QPainterPath outside;
    outside.setFillRule(Qt::OddEvenFill);
    outside.addRect(pixmapRect);
    outside.addRect(square);
    painter.fillPath(outside, QColor(0, 0, 0, 128));
    QPainterPath corners;
    corners.addRect(square);
    QPainterPath circle;
    circle.addEllipse(square);
    painter.fillPath(corners.subtracted(circle), QColor(0, 0, 0, 80));

    painter.setPen(QPen(QColor(Qt::yellow), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(selectedRect.topLeft(), QPoint(selectedRect.right() - 1, selectedRect.bottom() - 1)));
    const int half = handleSize / 2;
    for (HandleDirection handle : qAsConst(handles)) {
        const QPoint c = handleCentre(selectedRect, handle);
        painter.fillRect(QRect(QPoint(c.x() - half, c.y() - half), QPoint(c.x() + half, c.y() + half)), Qt::yellow);
    }
}

AvatarSelectorForm::HandleDirection AvatarSelectorForm::handleAt(const QPoint &position) const
{
    const int half = handleSize / 2;
    for (HandleDirection handle : handles) {
        const QPoint c = handleCentre(selectedRect, handle);
        if (QRect(QPoint(c.x() - half, c.y() - half), QPoint(c.x() + half, c.y() + half)).contains(position))
            return handle;
    }
    return NoHandle;
}

void AvatarSelectorForm::mousePressEvent(QMouseEvent *event)
{
    if (sourcePixmap.isNull())
        return;
    const QPoint position = event->localPos().toPoint();
    if (activeHandle != NoHandle) {
        resizing = true;
        computeLengthRange();
    } else if (selectedRect.contains(position)) {
        moving = true;
        dragOffset = position - selectedRect.topLeft();
    }
}

void AvatarSelectorForm::computeLengthRange()
{
    const QRect &P = pixmapRect;
    const QRect &S = selectedRect;
    const int cx = (S.left() + S.right()) / 2;
    const int cy = (S.top() + S.bottom()) / 2;
    const int D = qMax(P.width(), P.height());
    minLineLength = -D;
    maxLineLength = D;
    QList<int> candidates;
    switch (activeHandle) {
    case Top:
        candidates = {S.bottom() - P.top(), 2 * (P.right() - cx), 2 * (cx - P.left()),
                      S.bottom() - P.bottom(), 2 * (cx - P.right()), 2 * (P.left() - cx)};
        break;
    case Bottom:
        candidates = {P.bottom() - S.top(), 2 * (P.right() - cx), 2 * (cx - P.left()),
                      P.top() - S.top(), 2 * (cx - P.right()), 2 * (P.left() - cx)};
        break;
    case Left:
        candidates = {S.right() - P.left(), 2 * (cy - P.top()), 2 * (P.bottom() - cy),
                      S.right() - P.right(), 2 * (P.top() - cy), 2 * (cy - P.bottom())};
        break;
    case Right:
        candidates = {P.right() - S.left(), 2 * (cy - P.top()), 2 * (P.bottom() - cy),
                      P.left() - S.left(), 2 * (P.top() - cy), 2 * (cy - P.bottom())};
        break;
    case TopLeft:
        candidates = {S.right() - P.left(), S.bottom() - P.top(), S.right() - P.right(), S.bottom() - P.bottom()};
        break;
    case BottomLeft:
        candidates = {S.right() - P.left(), P.bottom() - S.top(), S.right() - P.right(), P.top() - S.top()};
        break;
    case TopRight:
        candidates = {P.right() - S.left(), S.bottom() - P.top(), P.left() - S.left(), S.bottom() - P.bottom()};
        break;
    case BottomRight:
        candidates = {P.right() - S.left(), P.bottom() - S.top(), P.top() - S.top(), P.left() - S.left()};
        break;
    case NoHandle:
        break;
    }
    for (int candidate : qAsConst(candidates)) {
        if (candidate > 0)
            maxLineLength = qMin(maxLineLength, candidate);
        else
            minLineLength = qMax(minLineLength, candidate);
    }
}

void AvatarSelectorForm::resizeStep(const QPoint &position)
{
    const QRect S = selectedRect;
    const int cx = (S.left() + S.right()) / 2;
    const int cy = (S.top() + S.bottom()) / 2;
    const int x = position.x();
    const int y = position.y();
    int length = 0;
    switch (activeHandle) {
    case Top: length = S.bottom() - y; break;
    case Bottom: length = y - S.top(); break;
    case Left: case TopLeft: case BottomLeft: length = S.right() - x; break;
    case Right: case TopRight: case BottomRight: length = x - S.left(); break;
    case NoHandle: return;
    }
    length = qMax(qMin(length, maxLineLength), minLineLength);

    QRect next = S;
    switch (activeHandle) {
    case Top:
        next.setTop(S.bottom() - length);
        next.setLeft(cx - length / 2);
        next.setRight(cx + length / 2);
        break;
    case Bottom:
        next.setBottom(S.top() + length);
        next.setLeft(cx - length / 2);
        next.setRight(cx + length / 2);
        break;
    case Left:
        next.setLeft(S.right() - length);
        next.setTop(cy - length / 2);
        next.setBottom(cy + length / 2);
        break;
    case Right:
        next.setRight(S.left() + length);
        next.setTop(cy - length / 2);
        next.setBottom(cy + length / 2);
        break;
    case TopLeft:
        next.setLeft(S.right() - length);
        next.setTop(S.bottom() - length);
        break;
    case BottomLeft:
        next.setLeft(S.right() - length);
        next.setBottom(S.top() + length);
        break;
    case TopRight:
        next.setRight(S.left() + length);
        next.setTop(S.bottom() - length);
        break;
    case BottomRight:
        next.setRight(S.left() + length);
        next.setBottom(S.top() + length);
        break;
    case NoHandle:
        break;
    }
    selectedRect = next;
    update();
}

void AvatarSelectorForm::moveStep(const QPoint &position)
{
    const QRect &P = pixmapRect;
    const QRect S = selectedRect;
    int left = qMax(position.x() - dragOffset.x(), P.left());
    left = qMin(left, P.right() - (S.right() - S.left()));
    int top = qMax(position.y() - dragOffset.y(), P.top());
    top = qMin(top, P.bottom() - (S.bottom() - S.top()));
    selectedRect.moveTo(left, top);
    update();
}

void AvatarSelectorForm::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint position = event->localPos().toPoint();
    if (resizing) {
        resizeStep(position);
        return;
    }
    if (moving) {
        moveStep(position);
        return;
    }
    if (sourcePixmap.isNull())
        return;
    activeHandle = handleAt(position);
    switch (activeHandle) {
    case Top: case Bottom: setCursor(Qt::SizeVerCursor); break;
    case Left: case Right: setCursor(Qt::SizeHorCursor); break;
    case TopLeft: case BottomRight: setCursor(Qt::SizeFDiagCursor); break;
    case TopRight: case BottomLeft: setCursor(Qt::SizeBDiagCursor); break;
    case NoHandle: setCursor(selectedRect.contains(position) ? Qt::SizeAllCursor : Qt::ArrowCursor); break;
    }
}

void AvatarSelectorForm::mouseReleaseEvent(QMouseEvent *)
{
    if (sourcePixmap.isNull())
        return;
    if (moving) {
        moving = false;
        if (!resizing)
            cutAndEmit();
    }
    if (resizing) {
        resizing = false;
        selectedRect = selectedRect.normalized();
        cutAndEmit();
    }
}

QRect AvatarSelectorForm::cutRect(const QRect &drawn, const QRect &selection, const QSize &picture)
{
    const QRect S = selection.normalized();
    const double sx = double(picture.width()) / drawn.width();
    const double sy = double(picture.height()) / drawn.height();
    const int left = int((S.left() - drawn.left()) * sx);
    const int top = int((S.top() - drawn.top()) * sy);
    // Each side at its own scale; at least one picture pixel keeps a collapsed
    // selection from cutting nothing.
    const int width = qMax(1, int(S.width() * sx));
    const int height = qMax(1, int(S.height() * sy));
    return QRect(left, top, width, height);
}

void AvatarSelectorForm::cutAndEmit()
{
    // Painted rather than copied: a selection reaching past the picture keeps its
    // size, the part outside staying transparent, where a copy would be clipped.
    const QRect source = cutRect(pixmapRect, selectedRect, sourcePixmap.size());
    // The cut is in picture pixels: a picture of device pixel ratio 2 (x@2x.png)
    // would otherwise be painted at half its size.
    QPixmap picture = sourcePixmap;
    picture.setDevicePixelRatio(1);
    QPixmap cut(source.size());
    cut.fill(Qt::transparent);
    {
        QPainter painter(&cut);
        painter.drawPixmap(-source.left(), -source.top(), picture);
    }
    emit avatarSelected(cut);
}
