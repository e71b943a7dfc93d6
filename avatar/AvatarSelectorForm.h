#ifndef VISAGE_AVATARSELECTORFORM_H
#define VISAGE_AVATARSELECTORFORM_H

#include <QList>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QWidget>

namespace Ui {
class AvatarSelectorForm;
}

// Shows a picture fitted into the widget with a square selection under a circular
// mask; the square is moved by dragging its inside and resized by eight handles.
// Setting a picture and ending a move or resize emit the selected part at the
// picture's own resolution.
class AvatarSelectorForm : public QWidget
{
    Q_OBJECT

public:
    enum HandleDirection {
        NoHandle = 0,
        Top = 1,
        Bottom = 2,
        Left = 4,
        Right = 8,
        TopLeft = Top | Left,
        TopRight = Top | Right,
        BottomLeft = Bottom | Left,
        BottomRight = Bottom | Right
    };

    explicit AvatarSelectorForm(QWidget *parent = nullptr);
    ~AvatarSelectorForm() override;

    // Where a picture of `picture` size is drawn in a widget of `widget` size.
    static QRect fitRect(const QSize &widget, const QSize &picture);
    // The centre of a handle of `selection`.
    static QPoint handleCentre(const QRect &selection, HandleDirection handle);
    // The part of a picture of `picture` size, drawn at `drawn`, under `selection`,
    // each side at its own axis's scale; never empty, and it may reach past the picture.
    static QRect cutRect(const QRect &drawn, const QRect &selection, const QSize &picture);

    QRect pixmapRectangle() const { return pixmapRect; }
    QRect selection() const { return selectedRect; }
    HandleDirection currentHandle() const { return activeHandle; }
    bool isMoving() const { return moving; }
    bool isResizing() const { return resizing; }
    int minimumLength() const { return minLineLength; }
    int maximumLength() const { return maxLineLength; }

signals:
    void avatarSelected(const QPixmap &avatar);

public slots:
    void setPixmap(const QPixmap &pixmap);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void fitPixmap();
    void computeLengthRange();
    void resizeStep(const QPoint &position);
    void moveStep(const QPoint &position);
    void cutAndEmit();
    HandleDirection handleAt(const QPoint &position) const;

    Ui::AvatarSelectorForm *ui;
    QPixmap sourcePixmap;
    QRect pixmapRect;
    QRect selectedRect;
    QPoint dragOffset;
    QList<HandleDirection> handles{Top, Bottom, Left, Right, TopLeft, TopRight, BottomLeft, BottomRight};
    int handleSize = 5;
    bool moving = false;
    bool resizing = false;
    HandleDirection activeHandle = NoHandle;
    int minLineLength = 0;
    int maxLineLength = 0;
};

#endif
