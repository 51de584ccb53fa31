// The start-up baseline: the barest Qt Widgets program with a main window of the client's size.
// With --with-text the window also shows one line of text, so that the program loads the fonts
// (any window with text pays for that).
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("bare"));
    if (app.arguments().contains(QStringLiteral("--with-text")))
        window.setCentralWidget(new QLabel(QStringLiteral("A line of text in a bare window.")));
    window.resize(600, 440);
    window.show();
    return QApplication::exec();
}
