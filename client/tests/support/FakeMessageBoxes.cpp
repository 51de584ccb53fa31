#include "FakeMessageBoxes.h"

#include "ProgramEnd.h"

#include <QtTest/QTest>

namespace quillet::test {

FakeMessageBoxes::FakeMessageBoxes()
    : previous_(installMessageBoxes(this))
{
}

FakeMessageBoxes::~FakeMessageBoxes()
{
    installMessageBoxes(previous_);
}

void FakeMessageBoxes::show(QWidget *parent, const QString &text, const QString &title, BoxIcon icon)
{
    shown.append(ShownBox{text, title, icon, parent});
    if (onShow)
        onShow(shown.last());
}

ProgramEndRecorder::ProgramEndRecorder()
    : previous_(installProgramEnd([this] { ++count; }))
{
}

ProgramEndRecorder::~ProgramEndRecorder()
{
    installProgramEnd(previous_);
}

} // namespace quillet::test

char *toString(quillet::BoxIcon icon)
{
    switch (icon) {
    case quillet::BoxIcon::None:
        return qstrdup("None");
    case quillet::BoxIcon::Information:
        return qstrdup("Information");
    case quillet::BoxIcon::Exclamation:
        return qstrdup("Exclamation");
    case quillet::BoxIcon::Critical:
        return qstrdup("Critical");
    }
    return qstrdup("?");
}
