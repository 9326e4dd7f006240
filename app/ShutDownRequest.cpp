#include "ShutDownRequest.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

TShutDownDlg::TShutDownDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName("ShutDownDlg");
    setWindowTitle("Select Server to Shutdown...");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* label = new QLabel("Server:", this);
    cbxServer_ = new QComboBox(this); // a drop-down list: selection only
    cbxServer_->setObjectName("cbxServer");
    cbxServer_->setEditable(false);
    cbxServer_->setMinimumWidth(120);
    label->setBuddy(cbxServer_);
    row->addWidget(label);
    row->addWidget(cbxServer_, 1);
    layout->addLayout(row);
    auto* buttons = new QHBoxLayout;
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName("OKBtn");
    ok_->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("CancelBtn");
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    setFixedSize(sizeHint());
}

void TShutDownDlg::AddServer(int slot) { cbxServer_->addItem(QString::number(slot + 1), slot); }

int TShutDownDlg::SelectedSlot() const
{
    const int index = cbxServer_->currentIndex();
    return index < 0 ? -1 : cbxServer_->itemData(index).toInt();
}

void TShutDownDlg::showEvent(QShowEvent* event)
{
    // Centred on the screen, not on the console.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}
