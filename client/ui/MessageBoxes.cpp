#include "MessageBoxes.h"

#include "Services.h"

#include <QMessageBox>

namespace quillet {

namespace {

class QtMessageBoxes final : public MessageBoxes
{
public:
    void show(QWidget *parent, const QString &text, const QString &title, BoxIcon icon) override
    {
        QMessageBox box(qtIcon(icon), title, text, QMessageBox::Ok, parent);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }

private:
    static QMessageBox::Icon qtIcon(BoxIcon icon)
    {
        switch (icon) {
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::Exclamation:
            return QMessageBox::Warning;
        case BoxIcon::Critical:
            return QMessageBox::Critical;
        case BoxIcon::None:
            break;
        }
        return QMessageBox::NoIcon;
    }
};

QtMessageBoxes defaultBoxes;

} // namespace

void messageBox(QWidget *parent, const QString &text, const QString &title, BoxIcon icon)
{
    MessageBoxes *boxes = services().boxes ? services().boxes : &defaultBoxes;
    boxes->show(parent, text, title.isEmpty() ? QString(ProgramName) : title, icon);
}

} // namespace quillet
