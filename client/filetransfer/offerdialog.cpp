#include "offerdialog.h"
#include "transfertexts.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace quillet {

namespace {
QLabel *plain(const char *name, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1StringView(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}
} // namespace

OfferDialog::SaveAs OfferDialog::defaultSaveAs()
{
    return [](QWidget *parent, const QString &suggested) {
        return QFileDialog::getSaveFileName(parent, tr("Save File"), suggested);
    };
}

QString OfferDialog::suggestedPath(const QString &safeName)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return QDir(folder).filePath(safeName);
}

OfferDialog::OfferDialog(const QString &partner, const QString &safeName, qint64 size,
                         FileMessages::Kind kind, QWidget *parent, SaveAs saveAs)
    : QDialog(parent), m_name(safeName), m_kind(kind), m_saveAs(std::move(saveAs))
{
    const bool picture = kind == FileMessages::Kind::Picture;
    setWindowTitle(picture ? tr("Incoming Picture") : tr("Incoming File"));
    setObjectName(QStringLiteral("OfferDialog"));
    lblOffer = plain("lblOffer", (picture ? tr("%1 sends you a picture:") : tr("%1 sends you a file:"))
                                     .arg(partner), this);
    lblName = plain("lblName", safeName, this);
    lblName->setAccessibleName(tr("File name: %1").arg(safeName));
    lblSize = plain("lblSize", TransferTexts::size(size), this);
    lblSize->setAccessibleName(tr("Size: %1").arg(lblSize->text()));
    cmdAccept = new QPushButton(tr("&Accept"), this);
    cmdAccept->setObjectName(QStringLiteral("cmdAccept"));
    cmdRefuse = new QPushButton(tr("&Refuse"), this);
    cmdRefuse->setObjectName(QStringLiteral("cmdRefuse"));
    cmdAccept->setDefault(true);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdAccept);
    buttons->addWidget(cmdRefuse);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblOffer);
    layout->addWidget(lblName);
    layout->addWidget(lblSize);
    layout->addLayout(buttons);

    connect(cmdAccept, &QPushButton::clicked, this, &OfferDialog::onAccept);
    connect(cmdRefuse, &QPushButton::clicked, this, &QDialog::reject);
}

void OfferDialog::withdraw()
{
    m_answered = true;
    close();
}

void OfferDialog::onAccept()
{
    QString target;
    bool replace = false;
    if (m_kind == FileMessages::Kind::File) {
        // The save dialog runs its own event loop: the offer may be withdrawn meanwhile.
        const QPointer<OfferDialog> self(this);
        target = m_saveAs(this, suggestedPath(m_name));
        if (!self || m_answered || target.isEmpty())
            return;
        replace = QFileInfo::exists(target);
    }
    m_answered = true;
    emit acceptedAs(target, replace);
    accept();
}

void OfferDialog::done(int result)
{
    // Refuse, Esc and the close box all end here without an answer: a refusal.
    if (!m_answered) {
        m_answered = true;
        emit refused();
    }
    QDialog::done(result);
}

} // namespace quillet
