// The program's icon: data/quillet.svg, built into the program as a Qt resource and drawn by Qt's
// SVG icon engine, so that it is sharp at every size and device pixel ratio.
#pragma once

#include <QIcon>
#include <QLabel>

namespace quillet {

QIcon programIcon();

// Makes the application's style hand out the standard icons that menu bars and line edits ask for
// as they are built as deferred icons (see AppIcon.cpp), keeping the style the application would have had otherwise.
// Call it once, after the QApplication is made and before the first window.
void deferStandardIcons();

// A picture of an icon that draws it when painted, at the pixel ratio of the screen it is on
// (a pixmap made once would be blurred, or tiny, on a screen of another ratio).
class IconPicture : public QLabel
{
public:
    IconPicture(const QIcon &icon, int size, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QIcon icon_;
};

} // namespace quillet
