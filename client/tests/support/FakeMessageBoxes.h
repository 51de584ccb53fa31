// Test doubles for the client's two seams: message boxes and the end of the program.
//
//   FakeMessageBoxes boxes;          // installed for this object's lifetime
//   ... act ...
//   QCOMPARE(boxes.count(), 1);
//   QCOMPARE(boxes.last().text, "Connect Failed!");
//
//   ProgramEndRecorder ends;         // endProgram() only counts while it lives
#pragma once

#include "MessageBoxes.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace quillet::test {

struct ShownBox
{
    QString text;
    QString title; // as the user sees it: an empty title has become "Quillet"
    BoxIcon icon = BoxIcon::None;
    QPointer<QWidget> parent;
};

class FakeMessageBoxes final : public MessageBoxes
{
public:
    FakeMessageBoxes();
    ~FakeMessageBoxes() override;
    FakeMessageBoxes(const FakeMessageBoxes &) = delete;
    FakeMessageBoxes &operator=(const FakeMessageBoxes &) = delete;

    void show(QWidget *parent, const QString &text, const QString &title, BoxIcon icon) override;

    qsizetype count() const { return shown.size(); }
    const ShownBox &last() const { return shown.last(); }
    void clear() { shown.clear(); }

    QList<ShownBox> shown;
    // Runs while the box is "open" (the modal box would be on screen), before show() returns.
    std::function<void(const ShownBox &)> onShow;

private:
    MessageBoxes *previous_;
};

class ProgramEndRecorder
{
public:
    ProgramEndRecorder();
    ~ProgramEndRecorder();
    ProgramEndRecorder(const ProgramEndRecorder &) = delete;
    ProgramEndRecorder &operator=(const ProgramEndRecorder &) = delete;

    int count = 0;

private:
    std::function<void()> previous_;
};

} // namespace quillet::test

// Lets QCOMPARE print icons.
char *toString(quillet::BoxIcon icon);
